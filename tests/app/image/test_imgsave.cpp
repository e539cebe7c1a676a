// The record of a saved view: size, densities, view angles and view description rewritten for
// the pixels a crop and an orientation made.
#include <gtest/gtest.h>

#include <cmath>

#include "app/image/pforms.h"
#include "app/image/pimgsave.h"
#include "catalog/pfieldset.h"
#include "catalog/pdbase.h"
#include "picture/view.h"
#include "support/cnumber.h"

namespace {

DBRecord Sized(long w, long h, const char* view) {
  DBRecord r(&PDBFInfo);
  PDBsetInt(&r, PDBFxsize, w);
  PDBsetInt(&r, PDBFysize, h);
  if (view) PDBsetString(&r, PDBFview, view);
  return r;
}

float Get(const DBRecord& r, PDBFieldID f) {
  float v = NAN;
  PDBgetFloat(r, f, &v);
  return v;
}

VIEW ViewOf(const DBRecord& r) {
  VIEW v = stdview;
  const char* s = PDBgetString(r, PDBFview);
  EXPECT_TRUE(s != nullptr && sscanview(&v, s) > 0) << (s ? s : "(no view)");
  return v;
}

TEST(FixImageSettings, CropsTurnsAndFlipsRewriteTheView) {
  const _ImgRect centre = {100, 300, 75, 225}, left = {0, 200, 0, 300}, whole = {0, 400, 0, 300};
  DBRecord r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  fixImageSettings(&r, nullptr, &centre);
  EXPECT_NEAR(Get(r, PDBFxangle), 32.204, 0.001);
  EXPECT_NEAR(Get(r, PDBFyangle), 20.628, 0.001);
  EXPECT_EQ(PDBgetField(r, PDBFxsize).GetInt(0), 200);
  EXPECT_NEAR(ViewOf(r).horiz, 32.204, 0.001);

  r = Sized(400, 300, "-vth -vh 60 -vv 60");
  fixImageSettings(&r, nullptr, &centre);
  EXPECT_NEAR(Get(r, PDBFxangle), 28.955, 0.001);
  EXPECT_EQ(ViewOf(r).type, VT_HEM);

  r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  fixImageSettings(&r, nullptr, &left);
  EXPECT_NEAR(ViewOf(r).hoff, -0.5, 1e-6);
  EXPECT_NEAR(ViewOf(r).voff, 0.0, 1e-6);

  // A whole-image crop keeps the angles; a quarter turn swaps them and the size, a mirror
  // turns the shift around.
  r = Sized(400, 300, nullptr);
  PDBsetFloat(&r, PDBFxangle, 60);
  PDBsetFloat(&r, PDBFyangle, 40);
  fixImageSettings(&r, nullptr, &whole);
  EXPECT_FLOAT_EQ(Get(r, PDBFxangle), 60);
  EXPECT_FLOAT_EQ(Get(r, PDBFyangle), 40);
  POrient turn;
  turn.SetOrigSize(400, 300);
  turn.RotateCW(90);
  fixImageSettings(&r, &turn, &whole);
  EXPECT_FLOAT_EQ(Get(r, PDBFxangle), 40);
  EXPECT_FLOAT_EQ(Get(r, PDBFyangle), 60);
  EXPECT_EQ(PDBgetField(r, PDBFxsize).GetInt(0), 300);
  EXPECT_EQ(PDBgetField(r, PDBFysize).GetInt(0), 400);

  r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  POrient mirror;
  mirror.SetOrigSize(200, 300);
  mirror.HFlip();
  fixImageSettings(&r, &mirror, &left);
  EXPECT_NEAR(ViewOf(r).hoff, 0.5, 1e-6);
}

TEST(FixImageSettings, DensitiesAndRecordsWithoutASize) {
  const _ImgRect half = {0, 200, 0, 300};
  DBRecord r = Sized(400, 300, nullptr);
  PDBsetFloat(&r, PDBFxdensity, 300);
  PDBsetFloat(&r, PDBFydensity, 0.5);  // 1.0 or less means nothing: dropped
  fixImageSettings(&r, nullptr, &half);
  EXPECT_FLOAT_EQ(Get(r, PDBFxdensity), 300);
  EXPECT_FALSE(PDBgetField(r, PDBFydensity).IsSet());

  // No size: nothing to scale the view by, so it stays as it was (no division by 0).
  DBRecord n(&PDBFInfo);
  PDBsetString(&n, PDBFview, "-vtv -vh 60 -vv 40");
  PDBsetFloat(&n, PDBFxangle, 60);
  fixImageSettings(&n, nullptr, &half);
  EXPECT_STREQ(PDBgetString(n, PDBFview), "-vtv -vh 60 -vv 40");
  EXPECT_FLOAT_EQ(Get(n, PDBFxangle), 60);
}

}  // namespace

// ---- The save command on images in the window, through its dialogs.

#include "imagetest.h"
#include "savetest.h"

namespace {

using savetest::Accept;
using savetest::HaveTool;
using savetest::OnSaveDialog;
using savetest::RunTool;

class SaveView : public ImageWindowTest {
 protected:
  // Opens rec, then runs the save command with the options checked (131 + bit number - 3) and
  // the file chosen; the command's result.
  int Save(const DBRecord& rec, int opts, const std::string& path, const char* format = nullptr) {
    if (!w->AddImage(rec, false) || !w->Present()) return -1;
    return SaveShown(opts, path, format);
  }
  int SaveShown(int opts, const std::string& path, const char* format = nullptr, int quality = 0) {
    WhenShown(
        gSaveWindow,
        [opts, quality] {
          if (quality > 0) SetControlValue(ControlOf(gSaveWindow, "save", 129), quality);
          savetest::Shot(gSaveWindow, "save-options");
          for (int bit = 3; bit <= 6; ++bit)  // (bit 6 is offered only with a selection)
            if (ControlRef c = ControlOf(gSaveWindow, "optn", 128 + bit))
              if (IsControlEnabled(c)) SetControlValue(c, (opts >> bit) & 1);
        },
        "bttn", 1);
    OnSaveDialog([path, format](QFileDialog* d) {
      auto* combo = d->findChild<QComboBox*>("fileTypeCombo");
      const int k = format && combo ? combo->findText(format, Qt::MatchContains) : -1;
      if (k >= 0) savetest::PickFormat(d, k);
      Accept(d, path);
    });
    return w->SaveImage();
  }
  // Whether oiiotool finds two pictures equal pixel for pixel.
  static bool Same(const std::string& a, const std::string& b) {
    int st = -1;
    const std::string out =
        RunTool("oiiotool", {QString::fromStdString(a), QString::fromStdString(b), "--diff"}, &st);
    if (st != 0) std::cerr << out;
    return st == 0;
  }
  // oiiotool's mean of the first channel.
  static double Mean(const std::string& path) {
    const std::string s = RunTool("oiiotool", {"--stats", QString::fromStdString(path)});
    const size_t k = s.find("Stats Avg:");
    return k == std::string::npos ? -1 : Catof(s.c_str() + k + 10);
  }
};

// Some 2.5 s: each image shown makes the main window's status line linger.
TEST_F(SaveView, CropAndTurnOfTheOriginalPixelsAndAFixedExposureWrittenIn) {
  if (!HaveTool("oiiotool")) GTEST_SKIP() << "no oiiotool";
  const std::string in = Temp("in16.tif"), ref = Temp("ref.tif"), out = Temp("out.tif");
  int st = -1;
  RunTool("oiiotool",
          {"--pattern",
           "fill:topleft=0,0,0:topright=1,0.2,0:bottomleft=0,1,0.3:"
           "bottomright=0.1,0,1",
           "120x80", "3", "--noise:type=uniform:min=0:max=0.1", "-d", "uint16", "-o",
           QString::fromStdString(in)},
          &st);
  ASSERT_EQ(st, 0);
  DBRecord rec = savetest::RecordOf(in);
  const long crop[4] = {10, 5, 90, 65};
  PDBsetInts(&rec, PDBFcrop, crop, 4);
  PDBsetInt(&rec, PDBForient, 90);
  ASSERT_EQ(Save(rec, 0x18, out), 1);
  RunTool("oiiotool",
          {QString::fromStdString(in), "--cut", "80x60+10+5", "--rotate90", "-o",
           QString::fromStdString(ref)},
          &st);
  ASSERT_EQ(st, 0);
  EXPECT_TRUE(Same(out, ref));
  const DBRecord& saved = w->GetCurrentIR()->GetRec();
  EXPECT_EQ(PDBgetField(saved, PDBFxsize).GetInt(0), 60);
  EXPECT_EQ(PDBgetField(saved, PDBFysize).GetInt(0), 80);
  EXPECT_FALSE(PDBgetField(saved, PDBFcrop).IsSet());
  EXPECT_TRUE(savetest::HashMatches(saved, out));

  // A float picture shown at a fixed exposure of 2: its pixels doubled in the file, the
  // sample-to-nits factor halved, and the window back at 1.
  const std::string fin = Temp("float.tif"), fout = Temp("float2.exr");
  RunTool("oiiotool",
          {"--pattern", "fill:top=0.1,0.2,0.3:bottom=2,1,0.5", "64x48", "3", "-d", "float", "-o",
           QString::fromStdString(fin)},
          &st);
  ASSERT_EQ(st, 0);
  DBRecord frec = savetest::RecordOf(fin);
  PDBsetFloat(&frec, PDBFstonits, 100);
  ASSERT_TRUE(w->AddImage(frec, false) && w->Present());
  ASSERT_TRUE(w->ManualExposure(2.0));
  ASSERT_EQ(SaveShown(0x08, fout, "EXR"), 1);
  EXPECT_NEAR(Mean(fout), 2 * Mean(fin), 1e-3);
  float s = 0;
  ASSERT_TRUE(PDBgetFloat(w->GetCurrentIR()->GetRec(), PDBFstonits, &s));
  EXPECT_FLOAT_EQ(s, 50);
  double m = 0;
  w->GetCurrentIR()->GetExposure(&m);
  EXPECT_DOUBLE_EQ(m, 1.0);
}

TEST_F(SaveView, AJpegIsWrittenAgainAsItIsUnlessLoweredOrCut) {
  if (!HaveTool("identify")) GTEST_SKIP() << "no identify";
  const std::string in = Temp("q90.jpg"), same = Temp("same.jpg"), lower = Temp("q70.jpg");
  _ImgStruct pic = savetest::Picture(2400, 1600);
  ASSERT_TRUE(savetest::WriteJPEG(in, pic, 90));
  PfreeImage(&pic);
  DBRecord rec = savetest::RecordOf(in);
  PDBsetInt(&rec, PDBFquality, 90);
  // Nothing asked for: the file's own data, byte for byte.
  ASSERT_EQ(Save(rec, 0, same, "JPEG"), 1);
  EXPECT_EQ(savetest::Read(same), savetest::Read(in));
  // A lower quality: rendered again at 1:1 (the window shows it smaller) and encoded anew.
  ASSERT_TRUE(w->AddImage(rec, false) && w->Present());
  ASSERT_LT(w->GetCurrentIR()->GetZoom(nullptr), 0.95);
  ASSERT_EQ(SaveShown(0, lower, "JPEG", 70), 1);
  EXPECT_EQ(RunTool("identify", {"-format", "%Q %w %h", QString::fromStdString(lower)}),
            "70 2400 1600");
  // A rubber-band selection: only it is written.
  const std::string part = Temp("part.jpg");
  ASSERT_TRUE(w->AddImage(rec, false) && w->Present());
  const _ImgRect sel = {100, 1100, 50, 850};
  w->GetCurrentIR()->SetOrigSelection(&sel);
  w->imd->rectShown = true;
  ASSERT_EQ(SaveShown(0x40, part, "JPEG"), 1);
  EXPECT_EQ(RunTool("identify", {"-format", "%w %h", QString::fromStdString(part)}), "1000 800");
  EXPECT_FALSE(PDBgetField(w->GetCurrentIR()->GetRec(), PDBFcrop).IsSet());
}

// While Save's suffix question waits, a second Save is refused, from its shortcut typed into
// the image window and from its menu item, which is greyed; the question stays above the image
// window. The one save writes one file once answered.
TEST_F(SaveView, ASecondSaveWaitsWhileTheSuffixQuestionIsOpen) {
  const std::string in = Temp("in.tif"), typed = Temp("out.picture"), out = Temp("out.tif");
  ASSERT_TRUE(WriteTestTiff(in, 64, 48));
  ASSERT_TRUE(w->AddImage(savetest::RecordOf(in), false) && w->Present());
  int optionDialogs = 0, secondSaves = 0;
  bool above = false, greyed = false, shortcutKept = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gSaveWindow)) return;
    // The first options dialog is answered by its own helper; a later one is a second save.
    if (++optionDialogs > 1) {
      ++secondSaves;
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gSaveWindow, "bttn", 2)),
                        Qt::LeftButton);
    }
  });
  WhenShown(
      gConfirmWindow,
      [&] {
        QWindow* q = PlatformFrameWidget(gConfirmWindow)->windowHandle();
        above = q && q->transientParent() == PlatformFrameWidget(w->GetWindow())->windowHandle();
        // The user goes back to the image window and tries again.
        SelectWindow(w->GetWindow());
        checkEvents(0.02);
        watch.start(5);
        QTest::keyClick(PlatformContentWidget(w->GetWindow()), Qt::Key_S, Qt::ControlModifier);
        shortcutKept = IsWindowVisible(gConfirmWindow);
        if (QAction* save = MenuAction("save")) {
          if (QMenu* m = qobject_cast<QMenu*>(save->parent())) Q_EMIT m->aboutToShow();
          greyed = !save->isEnabled();
          save->setEnabled(true);  // chosen all the same
          save->trigger();
        }
        checkEvents(0.05);
        watch.stop();
      },
      "cfrm", 129);
  WhenShown(gSaveWindow, nullptr, "bttn", 1);
  OnSaveDialog([&](QFileDialog* d) { Accept(d, typed); });
  EXPECT_EQ(w->SaveImage(), 1);
  EXPECT_TRUE(above);
  EXPECT_TRUE(shortcutKept);
  EXPECT_TRUE(greyed);
  EXPECT_EQ(secondSaves, 0);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(out)));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(typed)));
  // Once answered, Save is offered again.
  if (QAction* save = MenuAction("save")) {
    if (QMenu* m = qobject_cast<QMenu*>(save->parent())) Q_EMIT m->aboutToShow();
    EXPECT_TRUE(save->isEnabled());
  }
}

TEST_F(SaveView, SavingOverACataloguedFileKeepsWhatTheUserEntered) {
  PContext* ctx = w->GetBrowser() ? w->GetBrowser()->GetContext() : nullptr;
  ASSERT_NE(ctx, nullptr);
  const std::string cat = Temp("c.qdb"), src = Temp("src.jpg"), target = Temp("target.jpg");
  _ImgStruct pic = savetest::Picture(300, 200), other = savetest::Picture(90, 60);
  ASSERT_TRUE(savetest::WriteJPEG(src, pic, 90) && savetest::WriteJPEG(target, other, 90));
  PfreeImage(&pic);
  PfreeImage(&other);
  ASSERT_TRUE(ctx->OpenDB(cat.c_str()));
  DBRecord old = savetest::RecordOf(target);
  PDBsetString(&old, PDBFtitle, "The title I gave it");
  ASSERT_EQ(ctx->pdb.AddRecords(&old, 1), 1);
  DBRecord rec = savetest::RecordOf(src);
  PDBsetInt(&rec, PDBFquality, 90);
  ASSERT_TRUE(w->AddImage(rec, false) && w->Present());
  ASSERT_EQ(SaveShown(0, target, "JPEG", 80), 1);  // re-encoded over the catalogued file

  DBQuery q(&PDBFInfo, false);
  q.rlo.Init(&PDBFInfo);
  q.rhi.Link(&q.rlo);
  PDBsetString(&q.rlo, PDBFfile, "target.jpg");
  DBRecord found[4];
  int pos = 0;
  ctx->pdb.Checkpoint(nullptr, nullptr);
  ASSERT_EQ(ctx->pdb.FindRecords(&q, found, 4, &pos), 1);
  EXPECT_STREQ(PDBgetString(found[0], PDBFtitle), "The title I gave it");
  EXPECT_EQ(PDBgetField(found[0], PDBFxsize).GetInt(0), 300);
  EXPECT_TRUE(savetest::HashMatches(found[0], target));
  ctx->CloseDB();
}

// A picture of pixels twice as tall as wide, turned right and saved with its own pixels: each
// format that keeps a pixel shape keeps the turned picture's (wider than tall), as the window
// showed it.
TEST_F(SaveView, AQuarterTurnOfTallPixelsKeepsItsShapeInEachFormat) {
  const std::string src = Temp("tall.hdr");
  {
    _ImgStruct im = {48, 32, &ICS_RGB709, 0, nullptr, nullptr};
    ASSERT_TRUE(PnewImage(&im, 0));
    for (int y = 0; y < im.yres; ++y)
      for (int x = 0; x < im.xres; ++x) {
        float* p = reinterpret_cast<float*>(im.img + static_cast<size_t>(y) * im.rowsize) + 3 * x;
        p[0] = 0.1f + x * 0.02f;
        p[1] = 0.2f + y * 0.03f;
        p[2] = 0.5f;
      }
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    wb.pixAspect = 0.5f;  // PIXASPECT=2
    ASSERT_GT(IWInterfaceRad.WriteImage(src.c_str(), &wb), 0);
    PfreeImage(&im);
  }
  DBRecord rec = savetest::RecordOf(src);
  PDBsetInt(&rec, PDBForient, 90);
  const std::pair<const char*, const char*> formats[] = {
      {"Vortelux", "a.hdr"}, {"TIFF", "a.tif"}, {"EXR", "a.exr"}};
  for (const auto& [format, name] : formats) {
    const std::string out = Temp(name);
    ASSERT_EQ(Save(rec, 0x18, out, format), 1) << format;
    _ImgReader* ir = PopenImageF(out.c_str(), 1, nullptr);
    ASSERT_NE(ir, nullptr) << format;
    EXPECT_EQ(ir->xres, 32) << format;
    EXPECT_EQ(ir->yres, 48) << format;
    // Width over height as shown: 32 pixels of 2 by 48 of 1.
    EXPECT_NEAR(ir->xres * ir->pixAspect / ir->yres, 4.0 / 3, 1e-4) << format;
    ir->ri->Close(ir);
  }
}

// A picture without a sample-to-nits factor, cropped and saved in turn as TIFF, EXR, RGBE and
// JPEG-HDR: each saved file shows the luminance the window showed before, to the window and to
// a record made afresh from the file, and a calibration right after the save reads the value
// given.
TEST_F(SaveView, EachKindOfSaveKeepsTheLuminanceAndCalibratesRight) {
  const int W = 200, H = 150;
  const std::string src = Temp("sky.exr");
  {
    _ImgStruct im = {W, H, &ICS_RGB709, 0, nullptr, nullptr};
    ASSERT_TRUE(PnewImage(&im, 0));
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        float* p = reinterpret_cast<float*>(im.img + static_cast<size_t>(y) * im.rowsize) + 3 * x;
        p[0] = 0.5f + x * 0.01f;
        p[1] = 0.4f + y * 0.02f;
        p[2] = 1.0f + ((x ^ y) & 7) * 0.1f;
      }
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);  // no factor in the file
    ASSERT_GT(IWInterfaceEXR.WriteImage(src.c_str(), &wb), 0);
    PfreeImage(&im);
  }
  DBRecord rec = savetest::RecordOf(src);
  const long crop[4] = {20, 10, 180, 130};
  PDBsetInts(&rec, PDBFcrop, crop, 4);
  ASSERT_TRUE(w->AddImage(rec, false) && w->Present());
  // The mean luminance of one patch of the sky, in the saved pictures' pixels.
  const _ImgRect patch{40, 60, 30, 45};
  auto spot = [&](PImageRing* ir, int dx, int dy) {
    const _ImgRect r{patch.xleft + dx, patch.xright + dx, patch.ytop + dy, patch.ybottom + dy};
    ir->SetOrigSelection(&r);
    return ir->AvgLuminance(nullptr);
  };
  auto shown = [&](int dx, int dy) {
    w->Redraw();
    const double v = spot(w->iring, dx, dy);
    w->imd->ShowRect(true);
    return v;
  };
  double before = shown(crop[0], crop[1]);
  ASSERT_GT(before, 0);
  const struct {
    const char *format, *name;
    int opts;
    double tolerance;
  } saves[] = {{"TIFF", "a.tif", 0x18, 0.01},
               {"EXR", "a.exr", 0x08, 0.01},
               {"Vortelux", "a.hdr", 0x08, 0.01},
               {"JPEG", "a.jpg", 0x08, 0.03}};
  for (const auto& s : saves) {
    ASSERT_EQ(SaveShown(s.opts, Temp(s.name), s.format), 1) << s.name;
    const double v = shown(0, 0);
    EXPECT_NEAR(v / before, 1.0, s.tolerance) << s.name;
    {
      PImageRing fresh(Temp(s.name).c_str(), nullptr);
      fresh.SetDisplaySpace(&ICS_sRGB, 32, 100);
      EXPECT_NEAR(spot(&fresh, 0, 0) / v, 1.0, 1e-3) << s.name;
    }
    char text[32];
    Csnprintf(text, sizeof text, "%.9g", 3.0 * v);
    const std::string answer = text;
    WhenShown(
        gInputWindow,
        [answer] {
          qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText(answer.c_str());
        },
        "bttn", 1);
    ASSERT_TRUE(w->Calibrate()) << s.name;
    before = shown(0, 0);
    EXPECT_NEAR(before / (3.0 * v), 1.0, 1e-4) << s.name;
  }
}

}  // namespace
