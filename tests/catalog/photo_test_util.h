// Helpers of the photo file tests: a scratch folder, files of given bytes, the shared test
// pictures and image comparison.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalog/pixhaven.h"
#include "formats/fmt_test_util.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "image/corvane.h"

namespace phototest {

using ScratchDir = pictest::ScratchDir;

inline bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

inline bool CopyFile(const std::string& from, const std::string& to) {
  FILE* in = fopen(from.c_str(), "rb");
  if (in == nullptr) return false;
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), in)) > 0) bytes.append(buf, n);
  fclose(in);
  return WriteFile(to, bytes);
}

inline std::string TestData(const std::string& rel) {
  return std::string(LUMERIN_TESTDATA) + "/" + rel;
}

inline bool HaveTestData(const std::string& rel) {
  return access(TestData(rel).c_str(), R_OK) == 0;
}

#define SKIP_WITHOUT_TESTDATA(rel) \
  if (!phototest::HaveTestData(rel)) GTEST_SKIP() << "test picture " << (rel) << " not present"

// Registers the standard readers once.
inline void LoadReaders() {
  static const bool loaded = PloadStandardReaders() != 0;
  (void)loaded;
}

// PSNR in dB of two 8-bit images of one size and pixel layout.
inline double Psnr(const _ImgStruct& a, const _ImgStruct& b) {
  const int ps = PpixelSize(a.csp);
  double se = 0;
  for (int y = 0; y < a.yres; y++) {
    const uint8_t* pa = a.img + static_cast<ptrdiff_t>(y) * a.rowsize;
    const uint8_t* pb = b.img + static_cast<ptrdiff_t>(y) * b.rowsize;
    for (int i = 0; i < a.xres * ps; i++) {
      const double d = static_cast<double>(pa[i]) - pb[i];
      se += d * d;
    }
  }
  const double mse = se / (static_cast<double>(a.xres) * a.yres * ps);
  return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// An sRGB image of w x h with pixels.
inline _ImgStruct NewRGB(int w, int h) {
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_sRGB;
  PnewImage(&im, 0);
  return im;
}

}  // namespace phototest
