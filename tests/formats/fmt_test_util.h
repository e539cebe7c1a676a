// Helpers of the reader and writer tests: scratch files, float images to write, whole reads
// through a reader, the shared test pictures and outside tools.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format_test_util.h"
#include "testutil/temp_dir.h"
#include "image/corvane.h"
#include "support/cnumber.h"

namespace pictest {

using fmttest::HaveTool;
// Standard output of a shell command (empty when it fails).
using fmttest::Output;

// A folder removed with its contents at the end of the scope.
struct ScratchDir : testutil::TempDir {
  ScratchDir() : testutil::TempDir("fmt") {}
};

// A float image of comps components a pixel, rows packed, with a write buffer over it.
struct FloatImage {
  int w = 0, h = 0, comps = 3;
  std::vector<float> px;
  _ImgColorSpace cs = ICS_RGB709;
  float* At(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * comps]; }
  const float* At(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * comps]; }
  _ImgWriteBuf WriteBuf() const {
    _ImgWriteBuf wb;
    memset(&wb, 0, sizeof wb);
    wb.xres = w;
    wb.yres = h;
    wb.rowsize = static_cast<int32_t>(w * comps * sizeof(float));
    wb.pixAspect = 1.0f;
    wb.csp = &cs;
    wb.img = px.data();
    return wb;
  }
};

// A w x h image whose every component differs from its neighbours', spread over several
// decades: value (1 + (x + 3y + 7c) % 29) * 2^((x + y + c) % 9 - 4) / 8.
inline FloatImage Pattern(int w, int h, int comps = 3, const _ImgColorSpace& cs = ICS_RGB709) {
  FloatImage im;
  im.w = w;
  im.h = h;
  im.comps = comps;
  im.cs = cs;
  im.px.resize(static_cast<size_t>(w) * h * comps);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < comps; c++)
        im.At(x, y)[c] = std::ldexp(1.0f + (x + 3 * y + 7 * c) % 29, (x + y + c) % 9 - 4) / 8.0f;
  return im;
}

// Reads rectangle r at step into a buffer sized for cs; the request as the reader left it
// comes back in *out_rb.
inline std::vector<uint8_t> ReadRect(_ImgReader* ir, _ImgRect r, int step, _ImgColorSpace cs,
                                     ImgReadErr* err, _ImgReadBuf* out_rb = nullptr) {
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  cs.cstatic = 0;
  rb.cs = cs;
  rb.r = r;
  rb.subsample = step;
  const size_t w = static_cast<size_t>((r.xright - r.xleft) / step + 1);
  const size_t h = static_cast<size_t>((r.ybottom - r.ytop) / step + 1);
  std::vector<uint8_t> buf(w * h * 16);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  *err = ir->ri->ReadRec(ir, &rb);
  buf.resize(*err == IREnone ? PreadBufBytes(&rb) : 0);
  if (out_rb != nullptr) *out_rb = rb;
  return buf;
}

// The whole image as float pixels of the reader's own colour space.
inline std::vector<float> ReadAllFloat(_ImgReader* ir) {
  ImgReadErr err = IREnone;
  std::vector<uint8_t> b = ReadRect(ir, {0, ir->xres, 0, ir->yres}, 1, ir->cs, &err);
  EXPECT_EQ(err, IREnone) << ir->errMsg;
  std::vector<float> f(b.size() / sizeof(float));
  if (!f.empty()) memcpy(f.data(), b.data(), f.size() * sizeof(float));
  return f;
}

inline std::string TestData(const std::string& rel) {
  return std::string(LUMERIN_TESTDATA) + "/" + rel;
}

inline bool HaveFile(const std::string& path) {
  return access(path.c_str(), R_OK) == 0;
}

// Pixels "Pixel (x, y): a b c" from oiiotool --dumpdata, as floats per pixel in row order.
inline std::vector<float> OiioDump(const std::string& path, int comps) {
  std::vector<float> v;
  const std::string out = Output({"oiiotool", "--threads", "1", "--dumpdata", path});
  const char* p = out.c_str();
  while ((p = strstr(p, "Pixel (")) != nullptr) {
    p = strchr(p, ':');
    if (p == nullptr) break;
    p++;
    for (int c = 0; c < comps; c++) v.push_back(Cstrtof(p, const_cast<char**>(&p)));
  }
  return v;
}

// A rectangle as {xleft, xright, ytop, ybottom}.
inline std::array<int, 4> BoxOf(const _ImgRect& r) {
  return {r.xleft, r.xright, r.ytop, r.ybottom};
}

// Closes a reader at the end of the scope.
struct ReaderCloser {
  _ImgReader* ir;
  ~ReaderCloser() {
    if (ir != nullptr && ir->ri != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
  }
};

}  // namespace pictest
