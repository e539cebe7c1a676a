// Helpers of the image tests: images that release their pixels, and
// rectangles and byte runs in comparable form.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "image/corvane.h"
#include "support/dmessage.h"
#include "testutil/message_log.h"

namespace imgtest {

// A rectangle as {xleft, xright, ytop, ybottom}.
using Box = std::array<int, 4>;
inline Box BoxOf(const _ImgRect& r) {
  return {r.xleft, r.xright, r.ytop, r.ybottom};
}

inline std::vector<uint8_t> Bytes(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + n);
}

// An image that releases its pixels at the end of the scope.
struct Image {
  _ImgStruct im;
  Image() { memset(&im, 0, sizeof im); }
  // With new pixels.
  Image(int w, int h, const _ImgColorSpace* cs) : Image() {
    im.xres = w;
    im.yres = h;
    im.csp = cs;
    EXPECT_EQ(PnewImage(&im, 0.0), 1);
  }
  // A descriptor without pixels, to be filled by the call under test.
  static Image Empty(int w, int h, const _ImgColorSpace* cs) {
    Image e;
    e.im.xres = w;
    e.im.yres = h;
    e.im.csp = cs;
    return e;
  }
  Image(Image&& o) noexcept : im(o.im) { memset(&o.im, 0, sizeof o.im); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image() { PfreeImage(&im); }
  _ImgStruct* operator->() { return &im; }
  _ImgStruct* get() { return &im; }
  template <typename T>
  T* row(int y) {
    return reinterpret_cast<T*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize);
  }
  template <typename T>
  T& at(int x, int y, int c = 0) {
    return row<T>(y)[x * ImgPixelLen[im.csp->format] + c];
  }
  // Fills 8-bit pixels with reproducible noise.
  void Noise(unsigned seed) {
    std::mt19937 rng(seed);
    const int n = im.xres * PpixelSize(im.csp);
    for (int y = 0; y < im.yres; ++y)
      for (int i = 0; i < n; ++i) row<uint8_t>(y)[i] = static_cast<uint8_t>(rng() >> 24);
  }
  // Whether every pixel byte equals the other image's.
  bool SameBytes(const _ImgStruct& o) const {
    if (o.xres != im.xres || o.yres != im.yres || o.img == nullptr || im.img == nullptr)
      return false;
    const size_t n = static_cast<size_t>(im.xres) * PpixelSize(im.csp);
    for (int y = 0; y < im.yres; ++y)
      if (memcmp(im.img + static_cast<ptrdiff_t>(y) * im.rowsize,
                 o.img + static_cast<ptrdiff_t>(y) * o.rowsize, n) != 0)
        return false;
    return true;
  }
};

// A sub-image of an image's own pixels, released at the end of the scope.
inline Image Sub(_ImgStruct* parent, const _ImgRect* r) {
  Image s;
  EXPECT_EQ(PlinkSubimage(s.get(), parent, r), 1);
  return s;
}

}  // namespace imgtest
