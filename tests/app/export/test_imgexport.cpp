// Image export: names, sizes and trims, copies of unedited JPEG files, the record's own file,
// orientation, and the high-dynamic-range path.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/export/pforms.h"
#include "display/pdispimg.h"
#include "exptest.h"
#include "formats/exrformat.h"
#include "formats/tiffimg.h"
#include "support/bytetext.h"
#include "testutil/process_locale.h"

namespace {

class ImgExport : public ExportTest {};

// The size of a picture file; {0, 0} when it does not open.
std::pair<int, int> SizeOf(const std::string& path) {
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  if (ir == nullptr) return {0, 0};
  std::pair<int, int> s{ir->xres, ir->yres};
  ir->ri->Close(ir);
  return s;
}

// A picture file's 8-bit RGB pixels.
std::vector<unsigned char> Pixels(const std::string& path, int* w, int* h) {
  std::vector<unsigned char> out;
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  if (ir == nullptr) return out;
  _ImgStruct im = {};
  im.xres = *w = ir->xres;
  im.yres = *h = ir->yres;
  im.csp = &ICS_sRGB;
  if (PrenderImageR(&im, ir, 1)) {
    for (int y = 0; y < im.yres; y++)
      out.insert(out.end(), im.img + y * im.rowsize, im.img + y * im.rowsize + im.xres * 3);
    PfreeImage(&im);
  }
  ir->ri->Close(ir);
  return out;
}

double Psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) se += (a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// A w x h floating-point TIFF whose pixels are pixAspect times as tall as wide.
std::string MakeFloatTiff(const std::string& path, int w, int h, float pixAspect) {
  std::vector<float> px(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < px.size(); i++) px[i] = 0.01f + 10.0f * static_cast<float>(i % 997) / 997;
  _ImgWriteBuf wb = {};
  wb.xres = w;
  wb.yres = h;
  wb.rowsize = w * 12;
  wb.pixAspect = pixAspect;
  wb.csp = &ICS_RGB709;
  wb.img = px.data();
  IWInterfaceTIFF.WriteImage(path.c_str(), &wb);
  return path;
}

TEST_F(ImgExport, StandardSizesAndNumberedNames) {
  EXPECT_EQ(snap2size(1000), 1024);
  EXPECT_EQ(snap2size(2000), 1920);
  EXPECT_EQ(snap2size(900), 900);
  EXPECT_EQ(snap2size(2100), 2100);
  EXPECT_EQ(snap2size(250), 256);
  EXPECT_EQ(snap2size(5), 5);

  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  EXPECT_EQ(ImgExporter(out.c_str()).nextimage, 1);
  for (int i = 1; i <= 5; i++) WriteAll(out + "/img000" + std::to_string(i) + ".jpg", "x");
  // What an export killed in the folder left there goes when the next one starts.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string left = out + "/.img0006.jpg.lumerin-" + std::to_string(child) + "-a1b2c3.tmp";
  WriteAll(left, "part");
  ImgExporter e(out.c_str());
  EXPECT_FALSE(FileExists(left));
  EXPECT_EQ(e.nextimage, 6);
  EXPECT_STREQ(e.GetFolder(), out.c_str());
  DBRecord r = RecordOf(MakeJpeg(Path("a.jpg"), 64, 48));
  EXPECT_TRUE(e.Export(r));
  EXPECT_TRUE(FileExists(out + "/img0006.jpg"));
  EXPECT_EQ(e.nextimage, 7);
  // Restarted at 1 without overwrite: refused, and the number is used all the same.
  e.nextimage = 1;
  EXPECT_FALSE(e.Export(r));
  EXPECT_TRUE(log.Has(DMCresource, "Destination file '" + out + "/img0001.jpg' exists"));
  EXPECT_EQ(ReadAll(out + "/img0001.jpg"), "x");
  e.overwrite = true;
  EXPECT_TRUE(e.Export(r));
  EXPECT_EQ(SizeOf(out + "/img0002.jpg"), std::make_pair(64, 48));

  EXPECT_FALSE(e.SetFolder(Path("none").c_str()));
  EXPECT_TRUE(log.Has(DMCresource, "Cannot write to directory '" + Path("none") + "'"));
  EXPECT_STREQ(e.GetFolder(), out.c_str());
}

TEST_F(ImgExport, BoundsAndAspectTrims) {
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  DBRecord land = RecordOf(MakeJpeg(Path("land.jpg"), 3000, 2000, 50));
  DBRecord port = RecordOf(MakeJpeg(Path("port.jpg"), 2000, 3000, 50));
  DBRecord pano = RecordOf(MakeJpeg(Path("pano.jpg"), 10000, 1, 50));
  ImgExporter e(out.c_str());
  e.nextimage = 0;  // names of the records
  e.aspect = 0.75f;
  ASSERT_TRUE(e.Export(land));
  ASSERT_TRUE(e.Export(port));
  EXPECT_EQ(SizeOf(out + "/land.jpg"), std::make_pair(2667, 2000));
  EXPECT_EQ(SizeOf(out + "/port.jpg"), std::make_pair(2000, 2667));
  e.aspect = 0;
  e.overwrite = true;
  e.maxwidth = e.maxheight = snap2size(1000);
  ASSERT_TRUE(e.Export(land));
  ASSERT_TRUE(e.Export(port));
  ASSERT_TRUE(e.Export(pano));
  EXPECT_EQ(SizeOf(out + "/land.jpg"), std::make_pair(1024, 683));
  EXPECT_EQ(SizeOf(out + "/port.jpg"), std::make_pair(683, 1024));
  EXPECT_EQ(SizeOf(out + "/pano.jpg"), std::make_pair(1024, 1));
}

// Answers the next folder dialog with folder.
void ChooseFolderAnswer(const std::string& folder) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [=] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    d->SetDirectory(folder);
    if (auto* e = d->findChild<QLineEdit*>("fileNameEdit")) e->clear();
    QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
  });
  t->start(5);
}

// The aspect typed in the options is its first two numbers, with a point for decimals in every
// locale, whatever stands between and after them; a text without two numbers above 0 keeps each
// picture's own shape. A decimal comma (which the scan would take for the separator, exporting
// 640 x 480 as 640 x 8) is refused in words before anything is written.
TEST_F(ImgExport, TheTypedAspectIsTwoNumbersAndADecimalCommaIsRefused) {
  SET_PROCESS_LOCALE(de, "de_DE.UTF-8");
  float a = -1;
  for (const char* text : {"1,85:1", "2,35", "1.85:1,5"}) EXPECT_FALSE(PaspectOf(text, &a)) << text;
  EXPECT_EQ(a, -1);
  struct Good {
    const char* text;
    float aspect;
  };
  const std::string huge = std::string(60, '9') + ":1";  // a side beyond a float's range
  for (const Good g :
       {Good{"1.85:1", 1 / 1.85f}, Good{" 3 x 4 ", 0.75f}, Good{"16/9", 0.5625f},
        Good{"16-9", 0.5625f}, Good{"2.35 : 1", 1 / 2.35f}, Good{"4, 3", 0.75f},
        Good{"4:3:2", 0.75f}, Good{"16:9 wide", 0.5625f}, Good{"16 per 9", 0.5625f}, Good{"", 0},
        Good{"2", 0}, Good{"abc", 0}, Good{"0:3", 0}, Good{huge.c_str(), 0}}) {
    EXPECT_TRUE(PaspectOf(g.text, &a)) << g.text;
    EXPECT_FLOAT_EQ(a, g.aspect) << g.text;
  }

  // The command, its folder and options answered as a user answers them.
  for (int i = 0; i < 2; i++)
    bc.rdisp.NewRecord() = RecordOf(MakeJpeg(Path("a" + std::to_string(i) + ".jpg"), 640, 480));
  log.alerts = true;
  AlertsAnswered alerts;
  auto run = [&](const std::string& out, const char* aspect) {
    mkdir(out.c_str(), 0755);
    ChooseFolderAnswer(out);
    WhenShown(
        gImgExpWindow,
        [=] {
          SetControlValue(imgExportControl(130), MaxISize);  // no size bound
          auto* field = qobject_cast<QLineEdit*>(PlatformControlWidget(imgExportControl(139)));
          field->selectAll();
          QTest::keyClicks(field, aspect);
        },
        "bttn", 1);
    dmessage_last_class = alertLastClass = DMCnerr;
    return exportImages();
  };
  const std::string refused = Path("refused");
  EXPECT_EQ(run(refused, "1,85:1"), 0);
  EXPECT_EQ(alerts.texts, std::vector<std::string>{"The aspect is two numbers such as 4:3 or "
                                                   "1.85:1 with a point for decimals, not a "
                                                   "comma: '1,85:1'"});
  EXPECT_EQ(QDir(QString::fromStdString(refused)).entryList(QDir::Files | QDir::Hidden).size(), 0);
  alerts.texts.clear();
  struct Shape {
    const char* text;
    std::pair<int, int> size;
  };
  int n = 0;
  for (const Shape& sh :
       {Shape{"1.85:1", {640, 346}}, Shape{"16 per 9", {640, 360}}, Shape{"abc", {640, 480}}}) {
    const std::string out = Path("out" + std::to_string(n++));
    EXPECT_EQ(run(out, sh.text), 2) << sh.text;
    const QStringList files = QDir(QString::fromStdString(out)).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 2) << sh.text;
    for (const QString& f : files)
      EXPECT_EQ(SizeOf(out + "/" + f.toStdString()), sh.size) << sh.text;
  }
  EXPECT_TRUE(alerts.texts.empty());
}

// Every picture the command does not export is named, with its reason, in the one alert at the
// end, in display order: a destination that exists, a picture cut short (its name not UTF-8), a
// record without the picture's size (named before a reason that does not name it), a record
// whose File names no file. Many are listed no further than a readable alert holds, the rest
// counted.
TEST_F(ImgExport, EveryPictureNotExportedIsNamedInOneAlert) {
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  for (const char* name : {"a", "b"}) WriteAll(out + "/" + name + ".jpg", "kept");
  std::vector<std::string> why;
  const std::string jpeg = ReadAll(MakeJpeg(Path("model.jpg"), 48, 32));
  auto add = [&](const std::string& name, const std::string& reason = "",
                 const std::string& bytes = "") {
    WriteAll(Path(name + ".jpg"), bytes.empty() ? jpeg : bytes);
    bc.rdisp.NewRecord() = RecordOf(Path(name + ".jpg"));
    if (!reason.empty()) why.push_back(reason);
  };
  add("a", "Destination file '" + out + "/a.jpg' exists");
  add("b", "Destination file '" + out + "/b.jpg' exists");
  add("c");
  const std::string big = ReadAll(MakeJpeg(Path("big.jpg"), 320, 240));
  add("cut\xE9",
      "Cannot open '" + Path("cut\xE9.jpg") + "': Corrupt JPEG data: premature end of data segment",
      big.substr(0, big.size() * 2 / 3) + "\xFF\xD9");
  add("notes", "'notes.jpg': Cannot parse image file", "a line of text\n");
  add("unnamed", "Export Images left record '' alone: its File is not a file name");
  bc.rdisp[bc.rdisp.GetSize() - 1].SetField(PDBFfile, "");
  for (int i = 0; i < 6; i++) add("more" + std::to_string(i));

  log.alerts = true;
  AlertsAnswered alerts;
  auto run = [&] {
    ChooseFolderAnswer(out);
    WhenShown(
        gImgExpWindow,
        [] {
          SetControlValue(imgExportControl(130), MaxISize);
          for (int bit : {8, 9, 10})
            SetControlValue(PcontrolOf(gImgExpWindow, FourCC("optn"), 128 + bit), 0);
        },
        "bttn", 1);
    NewCommand();
    return exportImages();
  };
  auto listed = [](const std::string& head, const std::vector<std::string>& lines) {
    std::string text = head;
    for (const std::string& l : lines) text += "\n" + l;
    return ShownText(text);
  };
  EXPECT_EQ(run(), 7);
  EXPECT_EQ(alerts.texts,
            std::vector<std::string>{listed("5 of 12 pictures were not exported:", why)});
  EXPECT_EQ(ReadAll(out + "/a.jpg"), "kept");

  // Exported again, each of the 12 exists but the three without a picture.
  alerts.texts.clear();
  EXPECT_EQ(run(), 0);
  std::vector<std::string> first;
  for (const char* name : {"a", "b", "c"})
    first.push_back("Destination file '" + out + "/" + name + ".jpg' exists");
  first.insert(first.end(), why.begin() + 2, why.end());
  for (int i = 0; i < 4; i++)
    first.push_back("Destination file '" + out + "/more" + std::to_string(i) + ".jpg' exists");
  EXPECT_EQ(alerts.texts,
            std::vector<std::string>{listed("12 of 12 pictures were not exported:", first) +
                                     "\nand 2 more, named in the log"});
}

TEST_F(ImgExport, AnUneditedJpegIsCopiedUnlessItMustBeEncodedAgain) {
  const std::string src = MakeJpeg(Path("q85.jpg"), 320, 240, 85);
  DBRecord r = RecordOf(src);
  ASSERT_EQ(PDBgetField(r, PDBFquality).GetInt(0), 85);
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  ImgExporter e(out.c_str());
  e.nextimage = 0;
  e.qual = 90;
  ASSERT_TRUE(e.Export(r));
  EXPECT_EQ(ReadAll(out + "/q85.jpg"), ReadAll(src));
  e.qual = 80;
  e.overwrite = true;
  ASSERT_TRUE(e.Export(r));
  EXPECT_NE(ReadAll(out + "/q85.jpg"), ReadAll(src));
  if (HaveProgram("identify")) {
    EXPECT_EQ(RunTool("identify", {"-format", "%Q", QString::fromStdString(out + "/q85.jpg")}),
              "80");
  }
  // A crop is an edit: encoded again even at a higher quality.
  const long crop[] = {10, 10, 200, 100};
  r.SetField(PDBFcrop, crop, 4);
  e.qual = 95;
  ASSERT_TRUE(e.Export(r));
  EXPECT_EQ(SizeOf(out + "/q85.jpg"), std::make_pair(190, 90));
}

std::vector<std::string>* gAlertTexts = nullptr;
int KeepAlert(const char* text) {
  if (gAlertTexts != nullptr) gAlertTexts->push_back(text);
  return 1;
}

// A JPEG whose data stops part way is exported neither encoded nor as a copy of its file, even
// where an intact one would be copied; the one alert says why.
TEST_F(ImgExport, ADamagedJpegExportsNothing) {
  const std::string src = MakeJpeg(Path("cut.jpg"), 320, 240, 85);
  std::string bytes = ReadAll(src);
  bytes.resize(bytes.size() * 2 / 3);
  bytes += "\xFF\xD9";  // the data stops at the end-of-image marker
  {
    std::ofstream f(src, std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  const DBRecord r = RecordOf(src);
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  ImgExporter e(out.c_str());
  e.nextimage = 0;
  e.qual = 90;
  std::vector<std::string> alerts;
  gAlertTexts = &alerts;
  const DMalertHook shown = dmessage_alert;
  const DMcallHook logging = dmessage_call;  // the log would take the alerts' place
  dmessage_alert = KeepAlert;
  dmessage_call = nullptr;
  const bool exported = e.Export(r);
  dmessage_alert = shown;
  dmessage_call = logging;
  gAlertTexts = nullptr;
  EXPECT_FALSE(exported);
  struct stat st;
  EXPECT_NE(stat((out + "/cut.jpg").c_str(), &st), 0);
  EXPECT_EQ(alerts, std::vector<std::string>{"Cannot open '" + src +
                                             "': Corrupt JPEG data: premature end of data "
                                             "segment"});
}

TEST_F(ImgExport, TheRecordsOwnFileIsNeverWrittenOver) {
  const std::string photos = Path("photos");
  mkdir(photos.c_str(), 0755);
  DBRecord r = RecordOf(MakeJpeg(photos + "/pic.jpg", 64, 48, 70));
  const std::string before = ReadAll(photos + "/pic.jpg");
  ImgExporter e(photos.c_str());
  e.nextimage = 0;
  e.overwrite = true;
  e.qual = 50;
  EXPECT_FALSE(e.Export(r));
  // Through a link to the folder, too.
  ASSERT_EQ(symlink(photos.c_str(), Path("link").c_str()), 0);
  ASSERT_TRUE(e.SetFolder(Path("link").c_str()));
  e.nextimage = 0;
  EXPECT_FALSE(e.Export(r));
  EXPECT_EQ(ReadAll(photos + "/pic.jpg"), before);
  EXPECT_TRUE(log.Has(DMCresource, "Destination file '" + Path("link") + "/pic.jpg' exists"));
  // Another file whose name differs only in case is not the record's.
  const std::string other = Path("Other");
  mkdir(other.c_str(), 0755);
  WriteAll(other + "/PIC.jpg", "old");
  EXPECT_FALSE(isSelf((other + "/PIC.jpg").c_str(), r));
  EXPECT_TRUE(isSelf((photos + "/pic.jpg").c_str(), r));
}

TEST_F(ImgExport, OrientedPicturesComeOutUpright) {
  const std::string data = std::string(LUMERIN_TESTDATA) + "/jpeg/";
  if (!FileExists(data + "landscape_1.jpg")) GTEST_SKIP() << "no test pictures in " << data;
  if (!HaveProgram("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  ImgExporter e(out.c_str());
  e.nextimage = 0;
  e.qual = 95;
  for (int k = 1; k <= 8; k++) {
    const std::string name = "landscape_" + std::to_string(k);
    DBRecord r = RecordOf(data + name + ".jpg");
    ASSERT_TRUE(e.Export(r)) << name;
    int status = -1;
    RunTool("convert",
            {QString::fromStdString(data + name + ".jpg"), "-auto-orient", "+repage", "-compress",
             "none", QString::fromStdString(Path(name + "_ref.tif"))},
            &status);
    ASSERT_EQ(status, 0);
    int w = 0, h = 0, rw = 0, rh = 0;
    std::vector<unsigned char> mine = Pixels(out + "/" + name + ".jpg", &w, &h);
    std::vector<unsigned char> ref = Pixels(Path(name + "_ref.tif"), &rw, &rh);
    EXPECT_EQ(w, 600) << name;
    EXPECT_EQ(h, 450) << name;
    EXPECT_EQ(rw, 600) << name;
    EXPECT_GE(Psnr(mine, ref), 35.0) << name;
  }
}

TEST_F(ImgExport, HighDynamicRangeReadsTheFloatingPointFile) {
  EXPECT_TRUE(formatIsHDR("TIFF 96-bit float RGB"));
  EXPECT_TRUE(formatIsHDR("JPEG HDR YCbCr"));
  EXPECT_FALSE(formatIsHDR("JPEG DCT YCbCr"));
  EXPECT_FALSE(formatIsHDR("EXR"));
  EXPECT_FALSE(formatIsHDR(nullptr));

  auto load = [](const DBRecord& r, int mw, int mh, float aspect) {
    PImageRing ring(r, nullptr);
    _ImgStruct im = {};
    _ImgWriteBuf wb = {};
    std::pair<int, int> size{0, 0};
    if (ring.Ready() && loadHDRImage(ring, &im, mw, mh, &wb, aspect)) {
      size = {im.xres, im.yres};
      EXPECT_EQ(wb.xres, im.xres);
      PfreeImage(&im);
    }
    return size;
  };
  EXPECT_EQ(load(RecordOf(MakeJpeg(Path("a.jpg"), 40, 30)), 0, 0, 0), std::make_pair(0, 0));
  DBRecord tall = RecordOf(MakeFloatTiff(Path("tall.tif"), 1000, 500, 2.0f));
  ASSERT_TRUE(formatIsHDR(Text(tall, PDBFformat).c_str())) << Text(tall, PDBFformat);
  EXPECT_EQ(load(tall, 0, 0, 0), std::make_pair(1000, 250));
  EXPECT_EQ(load(tall, 500, 0, 0), std::make_pair(500, 125));

  DBRecord r = RecordOf(MakeFloatTiff(Path("f.tif"), 400, 300, 1.0f));
  const long portrait[] = {0, 0, 200, 300}, landscape[] = {0, 0, 400, 200}, sliver[] = {0, 0, 2, 1};
  r.SetField(PDBFcrop, portrait, 4);
  EXPECT_EQ(load(r, 0, 0, 0.75f), std::make_pair(200, 266));
  r.SetField(PDBFcrop, landscape, 4);
  EXPECT_EQ(load(r, 0, 0, 0.75f), std::make_pair(266, 200));
  r.SetField(PDBFcrop, sliver, 4);
  const std::pair<int, int> s = load(r, 0, 0, 1.0f);
  EXPECT_GE(s.first, 1);
  EXPECT_GE(s.second, 1);
  // Turned a quarter: the bounds apply to the upright picture.
  r.ClearField(PDBFcrop);
  r.SetField(PDBForient, 90L);
  EXPECT_EQ(load(r, 150, 0, 0), std::make_pair(150, 200));
}

}  // namespace

namespace {

// The process's resident memory high-water mark in kilobytes ("VmHWM"), or its present size
// ("VmRSS").
long StatusKB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
  return -1;
}

}  // namespace

TEST_F(ImgExport, ALargePictureIsReadAtAboutTheSizeWrittenAndAStopWritesNothing) {
  // 24 megapixels of smooth ramps (72 MB of pixels read whole): red with x, green with y.
  constexpr int W = 6000, H = 4000;
  std::string src = Path("big.jpg");
  {
    std::vector<unsigned char> px(size_t{W} * H * 3, 100);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) {
        px[(size_t{W} * y + x) * 3] = static_cast<unsigned char>(255 * x / (W - 1));
        px[(size_t{W} * y + x) * 3 + 1] = static_cast<unsigned char>(255 * y / (H - 1));
      }
    WriteRgbJpeg(src, W, H, px.data(), 90);
  }
  const DBRecord rec = RecordOf(src);
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  ImgExporter e(out.c_str());
  e.nextimage = 1;
  e.maxwidth = e.maxheight = 256;
  {
    // The Progress window's Stop, pressed as the export starts: nothing is written or told.
    PBusyGuard busy;
    PsetWorkStopped(true);
    EXPECT_FALSE(e.Export(rec));
  }
  EXPECT_FALSE(FileExists(out + "/img0001.jpg"));
  EXPECT_EQ(log.Count(), static_cast<size_t>(log.CountClass(DMCtrace))) << log.All();

  // From here the high-water mark counts: what the export takes above what is resident now.
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKB("VmHWM:");
  if (before < 0 || before > StatusKB("VmRSS:") + 1024) GTEST_SKIP() << "no peak memory to read";
  e.nextimage = 1;
  ASSERT_TRUE(e.Export(rec)) << log.All();
  EXPECT_LT(StatusKB("VmHWM:") - before, 24 * 1024);
  // What the user gets: the picture at 256 pixels, looking as it does.
  int w = 0, h = 0;
  const std::vector<unsigned char> got = Pixels(out + "/img0001.jpg", &w, &h);
  ASSERT_EQ(w, 256);
  ASSERT_EQ(h, 171);
  for (int y = 5; y < h; y += 20)
    for (int x = 5; x < w; x += 25) {
      EXPECT_NEAR(got[(y * w + x) * 3], 255.0 * (x + 0.5) / w, 4) << x << "," << y;
      EXPECT_NEAR(got[(y * w + x) * 3 + 1], 255.0 * (y + 0.5) / h, 4) << x << "," << y;
    }
}

namespace {

// A picture without light (every pixel 0) exports as a black JPEG, from OpenEXR and float
// TIFF alike, with nothing said but that it was written.
TEST_F(ImgExport, APictureWithoutLightExportsBlack) {
  std::vector<float> px(static_cast<size_t>(320) * 240 * 3, 0.0f);
  _ImgWriteBuf wb = {};
  wb.xres = 320;
  wb.yres = 240;
  wb.rowsize = 320 * 12;
  wb.pixAspect = 1;
  wb.csp = &ICS_RGB709;
  wb.img = px.data();
  wb.info.quality = 100;
  wb.info.flags |= IIFquality;
  ASSERT_GT(IWInterfaceTIFF.WriteImage(Path("black.tif").c_str(), &wb), 0);
  ASSERT_GT(IWInterfaceEXR.WriteImage(Path("dark.exr").c_str(), &wb), 0);
  const std::string out = Path("out");
  mkdir(out.c_str(), 0755);
  ImgExporter e(out.c_str());
  e.nextimage = 0;
  e.qual = 90;
  for (const char* name : {"black", "dark"}) {
    SCOPED_TRACE(name);
    log.Clear();
    EXPECT_TRUE(e.Export(RecordOf(Path(std::string(name) + (name[0] == 'b' ? ".tif" : ".exr")))));
    for (const auto& m : log.entries)
      EXPECT_GE(m.first, static_cast<unsigned>(DMCinfo)) << m.second;
    int w = 0, h = 0;
    const std::vector<unsigned char> p = Pixels(out + "/" + name + ".jpg", &w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(std::count(p.begin(), p.end(), 0), static_cast<long>(p.size()));
  }
}

}  // namespace
