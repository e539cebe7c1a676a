// Helpers of the TIFF tests: the shared test files, outside tools, whole-image reads through
// the reader and plain libtiff reads of tool output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tiffio.h>

#include "formats/tiffimg.h"

namespace tifftest {

inline const std::string& Dir() {
  static const std::string d = std::string(LUMERIN_TESTDATA) + "/tiff/";
  return d;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline bool HaveTool(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool Run(const std::string& cmd) {
  return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Standard output of a command.
inline std::string Output(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A private folder for files the tests write.
inline std::string Temp(const std::string& name) {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/lumerin_tiff_XXXXXX";
    dir = mkdtemp(tmpl);
    atexit([] { system(("rm -rf '" + dir + "'").c_str()); });
  }
  return dir + "/" + name;
}

// A reader that closes itself.
struct Reader {
  _ImgReader* ir = nullptr;
  explicit Reader(const std::string& path) { ir = TRopen(path.c_str()); }
  explicit Reader(_ImgReader* r) : ir(r) {}
  ~Reader() { TRclose(ir); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  _ImgReader* operator->() const { return ir; }
};

// A rectangle read in colour space cs at subsample n; cs comes back as delivered.
inline std::vector<uint8_t> Read(_ImgReader* ir, _ImgColorSpace* cs, _ImgRect r, int n = 1) {
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = *cs;
  rb.r = r;
  rb.subsample = n;
  // Room for the widest delivery, float RGB.
  std::vector<uint8_t> buf(static_cast<size_t>((r.xright - r.xleft) / n) *
                           ((r.ybottom - r.ytop) / n) * 12);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  const ImgReadErr e = TRreadRec(ir, &rb);
  EXPECT_EQ(e, IREnone) << ir->errMsg;
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
  uint32_t w = 0, h = 0;
  uint16_t spp = 0, bits = 0;
  std::vector<uint8_t> px;
};
inline Plain ReadPlain(const std::string& path) {
  Plain p;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return p;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.h);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &p.bits);
  const size_t row = static_cast<size_t>(TIFFScanlineSize(t));
  p.px.resize(row * p.h);
  for (uint32_t y = 0; y < p.h; ++y) TIFFReadScanline(t, p.px.data() + y * row, y, 0);
  TIFFClose(t);
  return p;
}

// A file's pixels as tiff2rgba writes them: 8-bit RGBA.
inline Plain Tiff2rgba(const std::string& path) {
  const std::string out = Temp("rgba.tif");
  if (!Run("tiff2rgba -c none '" + path + "' '" + out + "'")) return Plain();
  return ReadPlain(out);
}

// A file's pixels as oiiotool decodes them, as 32-bit floats.
inline Plain OiioFloat(const std::string& path) {
  const std::string out = Temp("oiio.tif");
  if (!Run("oiiotool '" + path + "' -d float --compression none -o '" + out + "'")) return Plain();
  return ReadPlain(out);
}

inline const float* Floats(const std::vector<uint8_t>& v) {
  return reinterpret_cast<const float*>(v.data());
}

}  // namespace tifftest

#define SKIP_WITHOUT_TIFF_DATA()                                 \
  do {                                                           \
    if (!tifftest::Exists(tifftest::Dir()))                      \
      GTEST_SKIP() << "no test pictures in " << tifftest::Dir(); \
  } while (0)

#define SKIP_WITHOUT_TOOL(name)                                              \
  do {                                                                       \
    if (!tifftest::HaveTool(name)) GTEST_SKIP() << name " is not installed"; \
  } while (0)
