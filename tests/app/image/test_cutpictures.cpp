// Pictures cut inside their pixels, named on the command line of the whole program: each is
// told once as a picture that cannot be opened, nothing reaches standard error, and no window
// is left waiting for them.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "formats/bmp.h"
#include "formats/radformat.h"
#include "formats/tiff_builder.h"
#include "imagetest.h"

namespace {

// The first half of a BMP of w x h, 24-bit or 8-bit run-length encoded.
std::string CutBmp(const std::string& path, int w, int h, bool rle) {
  BmpInfo* info = rle ? BMPmappedHeader(w, h, 0, 256) : BMPtruecolorHeader(w, h, 0);
  if (rle) info->compression = BI_RLE8;
  auto fill = [](uint8_t* row, int y, void* n) {
    for (int i = 0; i < *static_cast<int*>(n); ++i) row[i] = static_cast<uint8_t>(i * 3 + y * 5);
    return 1;
  };
  int bytes = rle ? w : 3 * w;
  if (BMPwriteFile(path.c_str(), info, fill, &bytes) <= 0) return "";
  const std::string whole = ReadAll(path);
  return whole.substr(0, whole.size() / 2);
}

TEST(Program, CutPicturesOnTheCommandLineAreToldOnceAndLeaveNoWindow) {
  TempHome home;
  StartUpForgotten forget;
  const std::string dir = home.path() + "/";
  const std::string tiff = HeadFirstTiff(48, 48, false), tiles = HeadFirstTiff(48, 48, true);
  const struct {
    const char* name;
    std::string bytes;
    const char* why;  // the reason's beginning
  } cases[] = {
      {"cut.exr", CutPicture(IWInterfaceEXR, dir + "cut.exr", 64, 200), "file cut short at row "},
      {"strips.tif", tiff.substr(0, tiff.size() - 1000), "file cut short at row 24"},
      {"tiles.tif", tiles.substr(0, tiles.size() - 1000), "file cut short at row 16"},
      {"rle.hdr", CutPicture(IWInterfaceRad, dir + "rle.hdr", 64, 200), "unexpected EOF"},
      {"flat.hdr", CutPicture(IWInterfaceRad, dir + "flat.hdr", 6, 200), "unexpected EOF"},
      {"rgb.bmp", CutBmp(dir + "rgb.bmp", 64, 200, false), "Truncated BMP image"},
      {"rle.bmp", CutBmp(dir + "rle.bmp", 64, 200, true), "Truncated BMP image"},
  };
  std::vector<std::string> args = {"lumerin"};
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.name;
    WriteAll(dir + c.name, c.bytes);
    args.push_back(dir + c.name);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  // Once the image window has opened and closed again with no alert showing, all are told.
  static int left, ticks;
  static bool shown, visible;
  left = -1;
  ticks = 0;
  shown = visible = false;
  AlertsAnswered alerts;
  ProgramStderr err;
  const int status = LumerinMain(static_cast<int>(args.size()), argv.data(), [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      if (gImager == nullptr) return;
      visible = IsWindowVisible(gImager->GetWindow());
      shown = shown || visible;
      if ((!shown || visible || IsWindowVisible(gAlertWindow)) && ++ticks < 2000) return;
      t->stop();
      t->deleteLater();
      left = gImager->ImageCount();
      TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shown);
  EXPECT_FALSE(visible);
  EXPECT_EQ(left, 0);
  std::ifstream in(home.path() + "/state/lumerin/Lumerin.txt");
  std::stringstream s;
  s << in.rdbuf();
  const std::string log = s.str();
  for (const auto& c : cases) {
    const std::string said = "data: Cannot open '" + dir + c.name + "': " + c.why;
    const size_t at = log.find(said);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("Cannot open '" + dir + c.name + "'", at + said.size()), std::string::npos)
        << log;
  }
  // Files refused as they open are named in one alert of their own; every alert shown names
  // files, none twice (later alerts of a class already alerted the log alone keeps).
  EXPECT_GE(alerts.texts.size(), 1u);
  std::vector<std::string> named;
  for (const std::string& a : alerts.texts) {
    std::istringstream lines(a);
    std::string line;
    if (a.find('\n') != std::string::npos) {
      std::getline(lines, line);
      EXPECT_EQ(line.substr(line.find(' ')), " documents could not be opened:") << a;
    }
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.rfind("Cannot open '" + dir, 0), 0u) << a;
      EXPECT_EQ(std::count(named.begin(), named.end(), line), 0) << line;
      named.push_back(line);
    }
  }
}

}  // namespace
