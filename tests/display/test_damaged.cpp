// Pictures whose headers claim more than their data, or this computer's memory, can hold: each
// is refused with one alert that names it, before the memory its header claims is taken.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "display/display_test_util.h"
#include "formats/jpegio.h"
#include "formats/tiff_builder.h"
#include "support/membudget.h"
#include "testutil/file_bytes.h"
#include "testutil/rgb_jpeg.h"
#include "testutil/temp_dir.h"

namespace {

// Makes the frame header among the file's top-level segments declare w x h (segments inside
// others, as a JPEG-HDR ratio image in APP11, are passed over with them).
void SetFrameSize(const std::string& path, int w, int h) {
  std::string j = ReadAll(path);
  for (size_t i = 2; i + 9 < j.size();) {
    ASSERT_EQ(static_cast<uint8_t>(j[i]), 0xFF);
    const int m = static_cast<uint8_t>(j[i + 1]);
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      j[i + 5] = static_cast<char>(h >> 8);
      j[i + 6] = static_cast<char>(h);
      j[i + 7] = static_cast<char>(w >> 8);
      j[i + 8] = static_cast<char>(w);
      WriteAll(path, j);
      return;
    }
    i += 2 + ((static_cast<uint8_t>(j[i + 2]) << 8) | static_cast<uint8_t>(j[i + 3]));
  }
  FAIL() << "no frame header in " << path;
}

// A JPEG of w x rows pixels, flat or noise, whose header then declares w x h: its data stops,
// at the end-of-image marker, after a few rows.
std::string FewRowsJpeg(const std::string& path, int w, int h, int rows, bool noise = false) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * rows * 3, 120);
  std::mt19937 rnd(7);
  if (noise)
    for (uint8_t& p : px) p = static_cast<uint8_t>(rnd());
  WriteRgbJpeg(path, w, rows, px.data(), 90);
  SetFrameSize(path, w, h);
  return path;
}

// A JPEG-HDR picture of n x n pixels whose foreground's header then declares w x h.
std::string FewRowsHdrJpeg(const std::string& path, int w, int h, int n = 64) {
  std::vector<float> px(static_cast<size_t>(n) * n * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = 0.01f + static_cast<float>(i % 61) * 0.5f;
  _ImgWriteBuf wb = {};
  wb.xres = wb.yres = n;
  wb.rowsize = n * 12;
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_RGB709;
  wb.img = px.data();
  EXPECT_GT(IWInterfaceJPEG.WriteImage(path.c_str(), &wb), 0);
  SetFrameSize(path, w, h);
  return path;
}

// An uncompressed RGB TIFF declaring w x h pixels in one strip, with `stored` bytes of them.
std::string ShortRawTiff(const std::string& path, uint32_t w, uint32_t h, size_t stored) {
  TiffBuilder t(true);
  const int d = t.addIfd();
  t.longs(d, 256, {w});
  t.longs(d, 257, {h});
  t.shorts(d, 258, {8, 8, 8});
  t.shorts(d, 259, {1});
  t.shorts(d, 262, {2});
  t.blob(d, 273, std::vector<uint8_t>(stored, 0x80));
  t.shorts(d, 277, {3});
  t.longs(d, 278, {h});
  t.longs(
      d, 279,
      {static_cast<uint32_t>(uint64_t{w} * h * 3 > UINT32_MAX ? UINT32_MAX : uint64_t{w} * h * 3)});
  const std::vector<uint8_t> b = t.build();
  WriteAll(path, std::string(b.begin(), b.end()));
  return path;
}

std::vector<std::string>* gAlerts = nullptr;
int KeepAlert(const char* text) {
  if (gAlerts != nullptr) gAlerts->push_back(text);
  return 1;
}

struct Outcome {
  bool loaded = false;
  std::vector<std::string> alerts;
};

// Opens the file as a display image and loads its first frame, in a child process whose address
// space can grow by only 256 MB: any allocation the size of the declared picture fails there,
// and the alerts tell it.
Outcome LoadCapped(const std::string& path) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    long vmKb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmSize: %ld", &vmKb) == 1) break;
      std::fclose(f);
    }
    const rlimit cap = {static_cast<rlim_t>(vmKb + (256 << 10)) << 10,
                        static_cast<rlim_t>(vmKb + (256 << 10)) << 10};
    if (vmKb <= 0 || setrlimit(RLIMIT_AS, &cap) != 0) _exit(2);
    std::vector<std::string> alerts;
    gAlerts = &alerts;
    dmessage_alert = KeepAlert;
    for (unsigned c = 0; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~(DMAstderr | DMAexit);
    PDisplayImage di;
    di.SetImage(path.c_str());
    std::string out = di.CheckLoad() ? "1" : "0";
    for (const std::string& a : alerts) out += "\n" + a;
    if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(3);
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << ": status " << status;
  Outcome o;
  o.loaded = got.substr(0, 1) == "1";
  for (size_t at = got.find('\n'); at != std::string::npos;) {
    const size_t next = got.find('\n', at + 1);
    o.alerts.push_back(got.substr(at + 1, next == std::string::npos ? next : next - at - 1));
    at = next;
  }
  return o;
}

TEST(DamagedPictures, HeadersClaimingMoreThanTheirDataAreRefusedWithoutTheirMemory) {
  disptest::Register();
  testutil::TempDir dir;
  const struct {
    std::string path, reason;
  } cases[] = {
      {FewRowsJpeg(dir.Path("big.jpg"), 35000, 35000, 16), "Premature end of JPEG file"},
      {FewRowsJpeg(dir.Path("huge.jpg"), 65500, 65500, 16), "Premature end of JPEG file"},
      {FewRowsHdrJpeg(dir.Path("hdr.jpg"), 25000, 25000), "Premature end of JPEG file"},
      {ShortRawTiff(dir.Path("raw.tif"), 35000, 35000, 3000), "file cut short at row 0"},
  };
  for (const auto& c : cases) {
    ASSERT_LT(ReadAll(c.path).size(), 20000u) << c.path;
    const Outcome o = LoadCapped(c.path);
    EXPECT_FALSE(o.loaded) << c.path;
    EXPECT_EQ(o.alerts, std::vector<std::string>{"Cannot open '" + c.path + "': " + c.reason});
  }
}

// A picture whose data ends part way is refused at the cut: the reader stops there instead of
// decoding the rest as grey filler, and the display tells it once.
TEST(DamagedPictures, DataEndingPartWayIsRefusedAtTheCut) {
  disptest::Register();
  testutil::TempDir dir;
  const std::string path = FewRowsJpeg(dir.Path("cut.jpg"), 6000, 6000, 128, true);
  _ImgReader* ir = PopenImageAny(path.c_str(), 1);
  ASSERT_NE(ir, nullptr);
  ASSERT_EQ(ir->errCode, IREnone);
  _ImgStruct img = {ir->xres, ir->yres, &ICS_sRGB, 0, nullptr, nullptr};
  EXPECT_EQ(PrenderImageR(&img, ir, 1), 0);
  EXPECT_EQ(ir->errCode, IREformat);
  EXPECT_LE(ir->nr.ytop, 128 + 16);  // the last row decoded is in the cut's band of rows
  ir->ri->Close(ir);
  const Outcome o = LoadCapped(path);
  EXPECT_FALSE(o.loaded);
  EXPECT_EQ(o.alerts, std::vector<std::string>{"Cannot open '" + path +
                                               "': Corrupt JPEG data: premature end of data "
                                               "segment"});
}

// A ratio image far larger than the picture it belongs to is damage, told in words.
TEST(DamagedPictures, ARatioImageFarLargerThanItsPictureIsToldInWords) {
  disptest::Register();
  testutil::TempDir dir;
  const std::string path = FewRowsHdrJpeg(dir.Path("ratio.jpg"), 8, 8, 1024);
  const Outcome o = LoadCapped(path);
  EXPECT_FALSE(o.loaded);
  EXPECT_EQ(o.alerts,
            std::vector<std::string>{"Cannot open '" + path +
                                     "': damaged HDR data: a ratio image of 1024 \xC3\x97 1024 "
                                     "pixels for a picture of 8 \xC3\x97 8"});
}

// A whole picture larger than the memory this computer has available is refused in words,
// naming it; with the memory it loads.
TEST(DamagedPictures, APictureLargerThanMemoryIsRefusedInWords) {
  disptest::Register();
  testutil::TempDir dir;
  std::vector<uint8_t> px(640 * 480 * 3, 90);
  const std::string path = dir.Path("photo.jpg");
  WriteRgbJpeg(path, 640, 480, px.data(), 90);
  std::vector<std::string> alerts;
  gAlerts = &alerts;
  dmessage_alert = KeepAlert;
  const uint32_t flags = dmessage_class_flags[DMCresource];
  dmessage_class_flags[DMCresource] &= ~DMAstderr;
  PsetMemoryAvailable(512 << 10);
  {
    PDisplayImage di;
    ASSERT_TRUE(di.SetImage(path.c_str()));
    EXPECT_FALSE(di.CheckLoad());
    EXPECT_FALSE(di.CheckLoad());  // told once
  }
  PsetMemoryAvailable(0);
  {
    PDisplayImage di;
    ASSERT_TRUE(di.SetImage(path.c_str()));
    EXPECT_TRUE(di.CheckLoad());
  }
  dmessage_class_flags[DMCresource] = flags;
  dmessage_alert = nullptr;
  gAlerts = nullptr;
  EXPECT_EQ(alerts, std::vector<std::string>{
                        "'photo.jpg' is 640 \xC3\x97 480 pixels (1 MB): too large for this "
                        "computer's memory"});
}

}  // namespace
