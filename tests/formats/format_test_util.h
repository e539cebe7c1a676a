// Helpers of the BMP and TIFF tests: the shared test files, outside tools, a private folder,
// whole-image reads through the TIFF reader and plain libtiff reads of tool output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tiffio.h>

#include "formats/tiffimg.h"
#include "testutil/run_program.h"
#include "testutil/temp_dir.h"

namespace fmttest {

inline std::string Data(const char* sub) {
  return std::string(LUMERIN_TESTDATA) + "/" + sub + "/";
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline bool HaveTool(const char* name) {
  return testutil::OnPath(name);
}

// Standard output of a program run with argv (its error output too where errors says); empty
// when it fails.
inline std::string Output(const std::vector<std::string>& argv,
                          testutil::Errors errors = testutil::Errors::kDropped) {
  std::string out;
  if (testutil::RunProgram(argv, &out, errors) != 0) out.clear();
  return out;
}

// A path in a private folder that is removed when the test program ends.
inline std::string Temp(const std::string& name) {
  static const testutil::TempDir dir("formats");
  return dir.Path(name);
}

// A folder holding one file with the text "precious", for writes that must not harm it.
struct OldFile {
  std::string dir, path;
  explicit OldFile(const char* name) : dir(Temp(name)), path(dir + "/old") {
    mkdir(dir.c_str(), 0700);
    FILE* fp = fopen(path.c_str(), "wb");
    fputs("precious", fp);
    fclose(fp);
  }
  // The file is as it was and nothing else was left in its folder.
  bool Intact() const {
    char buf[16] = {0};
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) return false;
    const size_t n = fread(buf, 1, sizeof buf, fp);
    fclose(fp);
    return n == 8 && strcmp(buf, "precious") == 0 && Files() == 1;
  }
  int Files() const {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) n += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
      closedir(d);
    }
    return n;
  }
};

// A TIFF reader that closes itself.
struct Reader {
  _ImgReader* ir = nullptr;
  explicit Reader(const std::string& path) : ir(TRopen(path.c_str())) {}
  explicit Reader(_ImgReader* r) : ir(r) {}
  ~Reader() { TRclose(ir); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  _ImgReader* operator->() const { return ir; }
};

// A rectangle read in colour space *cs at subsample n; *cs comes back as delivered.
inline std::vector<uint8_t> Read(_ImgReader* ir, _ImgColorSpace* cs, _ImgRect r, int n = 1) {
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = *cs;
  rb.r = r;
  rb.subsample = n;
  std::vector<uint8_t> buf(static_cast<size_t>((r.xright - r.xleft) / n) *
                           ((r.ybottom - r.ytop) / n) * 12);  // room for float RGB
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  EXPECT_EQ(ir->ri->ReadRec(ir, &rb), IREnone) << ir->errMsg;
  EXPECT_EQ(rb.r.xright, r.xright) << "nothing was delivered";
  *cs = rb.cs;
  buf.resize(PreadBufBytes(&rb));
  return buf;
}

// The whole image in the reader's own colour space.
inline std::vector<uint8_t> ReadAll(_ImgReader* ir) {
  _ImgColorSpace cs = ir->cs;
  return Read(ir, &cs, {0, ir->xres, 0, ir->yres});
}

// A contiguous, uncompressed TIFF read with plain libtiff scanline calls.
struct Plain {
  uint16_t spp = 0;
  std::vector<uint8_t> px;
};
inline Plain ReadPlain(const std::string& path) {
  Plain p;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return p;
  uint32_t h = 0;
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  const size_t row = static_cast<size_t>(TIFFScanlineSize(t));
  p.px.resize(row * h);
  for (uint32_t y = 0; y < h; ++y) TIFFReadScanline(t, p.px.data() + y * row, y, 0);
  TIFFClose(t);
  return p;
}

// A file's pixels as an outside tool decodes them: tiff2rgba's 8-bit RGBA, oiiotool's floats.
inline Plain ToolDecode(const std::string& path, bool floats) {
  const std::string out = Temp("tool.tif");
  const std::vector<std::string> argv =
      floats ? std::vector<std::string>{"oiiotool",      path,   "-d", "float",
                                        "--compression", "none", "-o", out}
             : std::vector<std::string>{"tiff2rgba", "-c", "none", path, out};
  if (testutil::RunProgram(argv) != 0) return Plain();
  return ReadPlain(out);
}

inline const float* Floats(const std::vector<uint8_t>& v) {
  return reinterpret_cast<const float*>(v.data());
}

}  // namespace fmttest

#define SKIP_WITHOUT(dir)                                           \
  do {                                                              \
    if (!fmttest::Exists(fmttest::Data(dir)))                       \
      GTEST_SKIP() << "no test pictures in " << fmttest::Data(dir); \
  } while (0)

#define SKIP_WITHOUT_TOOL(name)                                             \
  do {                                                                      \
    if (!fmttest::HaveTool(name)) GTEST_SKIP() << name " is not installed"; \
  } while (0)
