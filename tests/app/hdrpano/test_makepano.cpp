// The Panorama command through its dialog's real widgets: the dialog's answers, the canvas and
// border sizes on the written pixels, the new record, and a whole run from the main window's
// command to the image window on tiles of a shared test picture.
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QSlider>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <tuple>

#include "app/core/pwindows.h"
#include "app/hdrpano/pforms.h"
#include "display/pdispimg.h"
#include <QDir>
#include "app/hdrpano/makepano.h"
#include "app/hdrpano/ptempimg.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "apptest.h"
#include "catalog/pfieldset.h"
#include "catalog/plocate.h"
#include "hdr/pano_test_util.h"
#include "savetest.h"
#include "testutil/message_log.h"

namespace {

using panotest::SetLinks;
using panotest::WriteMember;

struct Options {
  int pct = 100, matte = 1;
  bool expand = false, trim = false, random = false;
};

// Answers the panorama dialog with the options when it shows (build, or the button given).
void Answer(const Options& o, const char* sig = "pano", int id = 137) {
  WhenShown(
      gPanoWindow,
      [o] {
        qobject_cast<QSlider*>(WidgetOf(gPanoWindow, "pano", 134))->setValue(o.pct);
        qobject_cast<QComboBox*>(WidgetOf(gPanoWindow, "pano", 135))->setCurrentIndex(o.matte - 1);
        qobject_cast<QCheckBox*>(WidgetOf(gPanoWindow, "pano", 138))->setChecked(o.expand);
        qobject_cast<QCheckBox*>(WidgetOf(gPanoWindow, "pano", 139))->setChecked(o.trim);
        qobject_cast<QCheckBox*>(WidgetOf(gPanoWindow, "pano", 140))->setChecked(o.random);
      },
      sig, id);
}

_ImgStruct Solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  _ImgStruct im{w, h, &ICS_sRGB, 0, nullptr, nullptr};
  EXPECT_TRUE(PnewImage(&im, 0));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = im.img + ptrdiff_t(y) * im.rowsize + 3 * x;
      p[0] = r, p[1] = g, p[2] = b;
    }
  return im;
}

_ImgStruct ReadBack(const DBRecord& rec) {
  _ImgStruct im{};
  _ImgReader* ir = PopenImageD(rec, false);
  EXPECT_NE(ir, nullptr);
  if (ir == nullptr) return im;
  im.xres = ir->xres, im.yres = ir->yres, im.csp = &ICS_sRGB;
  EXPECT_TRUE(PrenderImageR(&im, ir, 0));
  ir->ri->Close(ir);
  return im;
}

const uint8_t* Px(const _ImgStruct& im, int x, int y) {
  return im.img + ptrdiff_t(y) * im.rowsize + 3 * x;
}

std::string TempPath(const DBRecord& rec) {
  char path[1024];
  return PcurrentFile(path, sizeof path, rec) ? path : "";
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class Pano : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    phototest::LoadReaders();
    gCurPano.ClearPano();
  }
  // The colour space the linking operators take from the first image read.
  static void TakeColorSpace() {
    gCurPano.cspc = ICS_sRGB;
    gCurPano.cspc.cstatic = 0;
  }
  void TearDown() override { gCurPano.ClearPano(); }
  TempHome home;
  AppInterface app;
  phototest::ScratchDir dir;
};

TEST_F(Pano, DialogExplainsAnUnjoinedSetAndItsClearButtonEmptiesIt) {
  gCurPano.InsertImage(panotest::Record("a.jpg", 400, 300));
  gCurPano.InsertImage(panotest::Record("b.jpg", 400, 300));
  std::string msg, names;
  bool buildOn = true;
  WhenShown(
      gPanoWindow,
      [&] {
        msg = TextOf(gPanoWindow, "pano", 132);
        names = TextOf(gPanoWindow, "pano", 133);
        buildOn = WidgetOf(gPanoWindow, "pano", 137)->isEnabled();
      },
      "bttn", 3);
  EXPECT_EQ(panoDialogOK(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(msg, "Image set not fully joined");
  EXPECT_EQ(names, "a.jpg b.jpg");
  EXPECT_FALSE(buildOn);
  EXPECT_EQ(gCurPano.irl.GetSize(), 0);  // the custom button cleared it
}

TEST_F(Pano, CanvasBorderAndRecordOfAHalfSizePanorama) {
  // Two 2200 x 1000 members overlapping by 400: a 4000 x 1000 panorama, built at 50%.
  for (int i = 0; i < 2; ++i) {
    _ImgStruct t = Solid(2200, 1000, 60, 120, 200);
    DBRecord r = WriteMember(dir, i == 0 ? "a.tif" : "b.tif", t);
    r.SetField(PDBFxdensity, 300.f);
    r.SetField(PDBFydensity, 300.f);
    r.SetField(PDBFtitle, "Shore");
    r.SetField(PDBFsubject, "Sea");
    ASSERT_EQ(gCurPano.InsertImage(r), i);
    PfreeImage(&t);
  }
  TakeColorSpace();
  SetLinks(&gCurPano, 0, {2000, 500, 1});
  SetLinks(&gCurPano, 1, {200, 500, 0});

  // The dialog's answer: the option bits, the percentage and the full size.
  Options o;
  o.pct = 50, o.matte = 4, o.expand = o.trim = o.random = true;
  Answer(o);
  int xy[2] = {0, 0}, pct = 0;
  _ImgColorSpace cs{};
  EXPECT_EQ(panoDialogOK(&cs, xy, &pct), 4 | 16 | 32 | 64);
  EXPECT_EQ(TextOf(gPanoWindow, "pano", 132), "Ready to build Panorama using:");
  EXPECT_EQ(pct, 50);
  EXPECT_EQ(xy[0], 4000);
  EXPECT_EQ(xy[1], 1000);

  for (bool expand : {false, true}) {
    SCOPED_TRACE(expand);
    o.expand = expand, o.trim = o.random = false;
    Answer(o);
    DBRecord rec;
    ASSERT_TRUE(recordTempPano(&rec));
    const std::string path = TempPath(rec);
    EXPECT_NE(path.find("/cache/lumerin/"), std::string::npos) << path;  // the private folder
    long v = 0;
    const int w = expand ? 2050 : 2000, h = expand ? 550 : 500;
    EXPECT_TRUE(PDBgetInt(rec, PDBFxsize, &v) && v == w);
    EXPECT_TRUE(PDBgetInt(rec, PDBFysize, &v) && v == h);
    float d = 0;
    EXPECT_TRUE(PDBgetFloat(rec, PDBFxdensity, &d) && d == 600.f);
    EXPECT_TRUE(PDBgetFloat(rec, PDBFydensity, &d) && d == 600.f);
    EXPECT_STREQ(PDBgetString(rec, PDBFhistory), "Lumerin created panorama from 'a.tif' 'b.tif'");
    EXPECT_STREQ(PDBgetString(rec, PDBFsubject), "Sea");  // shared, kept
    EXPECT_EQ(PDBgetString(rec, PDBFtitle), nullptr);     // cleared
    _ImgStruct out = ReadBack(rec);
    ASSERT_EQ(out.xres, w);
    ASSERT_EQ(out.yres, h);
    // Inside: the members' colour; the 25-pixel border: the mean colour turned to (G, B, R).
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; x += (y < 30 || y >= h - 30) ? 1 : 7) {
        const bool border = expand && (x < 25 || y < 25 || x >= w - 25 || y >= h - 25);
        const uint8_t* p = Px(out, x, y);
        const int want[3] = {border ? 120 : 60, border ? 200 : 120, border ? 60 : 200};
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(p[c], want[c], 1) << x << "," << y << " c" << c;
      }
    PfreeImage(&out);
    PremoveTempImage(rec);
  }
}

// Three tiles cut from a shared picture at different heights, linked where they overlap
// through the image window, joined by the main window's command through its dialog.
TEST_F(Pano, WholeRunFromTheMainWindowToTheImageWindow) {
  const std::string src = std::string(LUMERIN_TESTDATA) + "/jpeg/desk_baseline_444.jpg";
  if (!Exists(src)) GTEST_SKIP() << "no test data at " << src;
  _ImgReader* ir = PopenImageF(src.c_str(), 0, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgStruct pic{ir->xres, ir->yres, &ICS_sRGB, 0, nullptr, nullptr};  // 640 x 864
  ASSERT_TRUE(PrenderImageR(&pic, ir, 0));
  ir->ri->Close(ir);
  const int at[3][2] = {{0, 100}, {170, 40}, {340, 160}};  // the tiles in the picture
  for (int i = 0; i < 3; ++i) {
    _ImgStruct t{300, 600, &ICS_sRGB, 0, nullptr, nullptr};
    ASSERT_TRUE(PnewImage(&t, 0));
    for (int y = 0; y < 600; ++y)
      memcpy(t.img + ptrdiff_t(y) * t.rowsize, Px(pic, at[i][0], at[i][1] + y), 900);
    WriteMember(dir, "t" + std::to_string(i) + ".tif", t);
    PfreeImage(&t);
  }
  PfreeImage(&pic);
  // The tiles are linked in the image window as a person links them: each tile opened in turn,
  // a small selection around picture point (235, 400) or (405, 400) in an overlap, then Pano
  // Orig on one tile and Pano Dest on the next.
  auto* w = static_cast<PImageWindow*>(gImager);
  const EventTargetRef wt = GetWindowEventTarget(w->GetWindow());
  auto link = [&](const char* code, int x, int y) {
    const _ImgRect r{x - 10, x + 10, y - 20, y + 20};
    w->iring->SetOrigSelection(&r);
    w->imd->ShowRect(true);
    w->UpdateOperator();
    SendCommand(code, kEventCommandUpdateStatus, wt);
    EXPECT_TRUE(MenuEnabled(code)) << code;
    EXPECT_EQ(SendCommand(code, kEventCommandProcess, wt), noErr) << code;
  };
  auto open = [&](int i) {
    ASSERT_TRUE(w->AddImage(dir.Path("t" + std::to_string(i) + ".tif").c_str()));
    ASSERT_TRUE(w->Present());
    w->Redraw();
  };
  open(0);
  link("porg", 235, 300);
  open(1);
  link("pdst", 65, 360);
  link("porg", 235, 360);
  open(2);
  link("pdst", 65, 240);
  ASSERT_EQ(gCurPano.irl.GetSize(), 3);
  // Each anchor moves to a feature near the selection; the two ends of a link still meet at
  // one picture point.
  for (int m = 0; m < 3; ++m) {
    long v[PPANO_MAXVALUES], u[PPANO_MAXVALUES];
    const int n = gCurPano.GetLinks(m, v);
    ASSERT_EQ(n, m == 1 ? 6 : 3) << m;
    for (int k = 0; k < n; k += 3) {
      const int o = static_cast<int>(v[k + 2]);
      ASSERT_EQ(o, m == 1 ? k / 3 * 2 : 1);
      const int no = gCurPano.GetLinks(o, u);
      int j = 0;
      while (j < no && u[j + 2] != m) j += 3;
      ASSERT_LT(j, no);
      EXPECT_NEAR(v[k] + at[m][0], u[j] + at[o][0], 1) << m << "-" << o;
      EXPECT_NEAR(v[k + 1] + at[m][1], u[j + 1] + at[o][1], 1) << m << "-" << o;
      EXPECT_NEAR(v[k], m == 1 && k == 3 ? 235 : m == 0 ? 235 : 65, 8);  // near the selection
    }
  }
  EXPECT_EQ(gImager->CloseImages(true), 1);
  // The canvas the links call for: the picture's span of the tiles, give or take the pixel the
  // alignment may shift.
  _ImgColorSpace csp;
  int size[2] = {0, 0}, origin[2] = {0, 0};
  ASSERT_EQ(gCurPano.CheckPano(&csp, size, origin), nullptr);
  const int cw = size[0], ch = size[1];
  EXPECT_NEAR(cw, 640, 2);
  EXPECT_NEAR(ch, 720, 2);

  SendCommand("pano", kEventCommandUpdateStatus, GetWindowEventTarget(gMain->GetWindow()));
  EXPECT_TRUE(MenuEnabled("pano"));
  Options o;
  o.trim = o.random = true;
  Answer(o);
  srandom(5);
  SendCommand("pano", kEventCommandProcess, GetWindowEventTarget(gMain->GetWindow()));
  ASSERT_EQ(gImager->ImageCount(), 1);
  const DBRecord rec = gImager->GetCurrentIR()->GetRec();
  const std::string path = TempPath(rec);
  ASSERT_TRUE(Exists(path)) << path;
  EXPECT_TRUE(IsWindowVisible(gImager->GetWindow()));
  const QPixmap shot = PlatformFrameWidget(gImager->GetWindow())->grab();
  QDir().mkpath(LUMERIN_SHOTS);
  shot.save(QString(LUMERIN_SHOTS) + "/pano_result.png");

  if (fmttest::HaveTool("oiiotool")) {
    const std::string info =
        fmttest::Output({"oiiotool", "--info", path}, testutil::Errors::kShown);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(info, m, std::regex("(\\d+) x +(\\d+)"))) << info;
    EXPECT_EQ(m[1], std::to_string(cw));
    EXPECT_EQ(m[2], std::to_string(ch));
  }

  // The coverage again, trimmed as the command trimmed it.
  _ImgStruct again{cw, ch, &ICS_sRGB, 0, nullptr, nullptr};
  ABitMap2 cover;
  ASSERT_TRUE(gCurPano.RenderPano(&again, &cover));
  PfreeImage(&again);
  ASSERT_EQ(TrimCornerRad, 32);
  ABitMap2 trimmed(cover);
  trimPano(&trimmed);
  ABitMap2 gone(cover);
  gone ^= trimmed;
  EXPECT_GT(gone.SumTotal(), 0u);  // the steps between the tiles lost their corners
  ABitMap2 kept(trimmed);
  kept &= cover;
  EXPECT_TRUE(kept == trimmed);
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x)
      if (gone.Check(x, y)) {  // only pixels at an edge of the coverage are trimmed
        bool edge = false;
        for (int k = -32; k <= 32 && !edge; ++k)
          edge = !cover.Check(x + k, y) || !cover.Check(x, y + k);
        ASSERT_TRUE(edge) << x << "," << y;
      }

  // Every uncovered pixel holds the value of a covered one (or the black matte).
  _ImgStruct out = ReadBack(rec);
  ASSERT_EQ(out.xres, cw);
  ASSERT_EQ(out.yres, ch);
  std::set<std::tuple<int, int, int>> covered{{0, 0, 0}};
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x)
      if (trimmed.Check(x, y))
        covered.insert({Px(out, x, y)[0], Px(out, x, y)[1], Px(out, x, y)[2]});
  long uncovered = 0;
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x)
      if (!trimmed.Check(x, y)) {
        ++uncovered;
        const uint8_t* p = Px(out, x, y);
        ASSERT_TRUE(covered.count({p[0], p[1], p[2]})) << x << "," << y;
      }
  EXPECT_GT(uncovered, 10000);
  PfreeImage(&out);

  // Closing the image without saving it removes the temporary file.
  WhenShown(gConfirmWindow, nullptr, "cfrm", 131);
  EXPECT_EQ(gImager->CloseImages(true), 1);
  EXPECT_FALSE(Exists(path));
}

// A member cut short, the first one placed or a partner, is named with the decoder's reason in
// the one alert the command raises; no panorama is made and no Progress window stays up.
TEST_F(Pano, ACutMemberIsNamedAndNoProgressWindowStays) {
  std::string paths[2], bytes[2];
  for (int i = 0; i < 2; ++i) {
    _ImgStruct pic = savetest::Picture(400, 300);
    paths[i] = dir.Path(i == 0 ? "a.jpg" : "b.jpg");
    ASSERT_TRUE(savetest::WriteJPEG(paths[i], pic, 90));
    PfreeImage(&pic);
    bytes[i] = savetest::Read(paths[i]);
    ASSERT_EQ(gCurPano.InsertImage(savetest::RecordOf(paths[i])), i);
  }
  TakeColorSpace();
  SetLinks(&gCurPano, 0, {350, 150, 1});
  SetLinks(&gCurPano, 1, {50, 150, 0});
  const QDir temp(QString(getenv("XDG_CACHE_HOME")) + "/lumerin/tmp");
  MessageLog log;
  log.alerts = true;
  for (int cut : {0, 1}) {
    SCOPED_TRACE(cut);
    std::ofstream(paths[cut], std::ios::binary | std::ios::trunc)
        << bytes[cut].substr(0, bytes[cut].size() * 6 / 10);
    Answer(Options{});
    AlertsAnswered alerts;
    SendCommand("pano", kEventCommandProcess, GetWindowEventTarget(gMain->GetWindow()));
    EXPECT_EQ(alerts.texts,
              std::vector<std::string>{paths[cut] + ": Truncated file: Premature end of JPEG file"})
        << log.All();
    EXPECT_FALSE(IsWindowVisible(gProgressWindow)) << curMsg;
    EXPECT_EQ(gImager->ImageCount(), 0);
    EXPECT_TRUE(temp.entryList(QDir::Files).isEmpty());
    std::ofstream(paths[cut], std::ios::binary | std::ios::trunc) << bytes[cut];
  }
}

}  // namespace
