// The 12-megapixel HDR image of the JPEG-HDR benchmarks (the shared GoldenGate picture tiled
// with mirroring when the test pictures are present, else a synthetic scene), and its
// encoding.
#pragma once

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_testdata.h"
#include "jpegglue/jpegglue.h"
#include "jpeghdr/jpeghdr.h"
#include "testutil/rgbe_load.h"

constexpr int kJhBenchW = 4000, kJhBenchH = 3000;

inline std::vector<float> jhBenchImage() {
  const int kW = kJhBenchW, kH = kJhBenchH;
  std::vector<float> out(static_cast<size_t>(kW) * kH * 3);
  int w, h;
  std::vector<float> src;
  const std::string gg = testdataDir() + "/hdr/goldengate_oiiotool_rle.hdr";
  if (loadRgbePicture(gg.c_str(), &w, &h, &src)) {
    for (int y = 0; y < kH; y++) {
      int sy = y % (2 * h);
      if (sy >= h) sy = 2 * h - 1 - sy;
      for (int x = 0; x < kW; x++) {
        int sx = x % (2 * w);
        if (sx >= w) sx = 2 * w - 1 - sx;
        std::memcpy(&out[(static_cast<size_t>(y) * kW + x) * 3],
                    &src[(static_cast<size_t>(sy) * w + sx) * 3], 3 * sizeof(float));
      }
    }
    std::fprintf(stderr, "benchmark image: %s tiled to %d x %d\n", gg.c_str(), kW, kH);
    return out;
  }
  std::fprintf(stderr, "benchmark image: synthetic scene of %d x %d\n", kW, kH);
  unsigned seed = 12345;
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++) {
      seed = seed * 1103515245u + 12345u;
      const float u = x / float(kW), v = y / float(kH);
      const float sun =
          2000.f * std::exp(-((u - 0.7f) * (u - 0.7f) + (v - 0.2f) * (v - 0.2f)) / 0.002f);
      const float lum =
          (v < 0.5f ? 2.f + 3.f * v : 0.05f + 0.1f * ((seed >> 16) & 255) / 255.f) + sun;
      float* p = &out[(static_cast<size_t>(y) * kW + x) * 3];
      p[0] = lum * 0.9f;
      p[1] = lum;
      p[2] = lum * 1.2f;
    }
  return out;
}

// Encodes w x h float RGB pixels at quality 90 on `threads` threads into the destination that
// setDest installs on the compress object; false after a libjpeg error.
template <typename SetDest>
bool jhBenchEncode(SetDest setDest, const float* px, int w, int h, int threads) {
  jpeghdr_compress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    jpeghdr_destroy_compress(&jh);
    return false;
  }
  jpeghdr_create_compress(&jh);
  setDest(&jh.cinfo);
  jpeghdr_src_floatRGB(&jh, px, w, h);
  jh.quality = 90;
  jh.threads = threads;
  jpeghdr_tonemap_default(&jh);
  jpeghdr_do_compress(&jh);
  jpeghdr_destroy_compress(&jh);
  return true;
}
