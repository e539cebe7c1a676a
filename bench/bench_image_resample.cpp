// Resampling speed on one core: a 24-megapixel 8-bit RGB image reduced to 320 pixels wide
// (Gaussian basis) and a 6-megapixel one enlarged 2x (cubic basis), each with the vectorised
// kernels and with their plain versions.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "image/corvane.h"
#include "image/piresamp.h"
#include "image/piresampkern.h"

namespace {

struct Img {
  _ImgStruct im;
  Img(int w, int h) {
    memset(&im, 0, sizeof im);
    im.xres = w;
    im.yres = h;
    im.csp = &ICS_sRGB;
    PnewImage(&im, 0.0);
  }
  ~Img() { PfreeImage(&im); }
  void Noise() {
    std::mt19937 rng(1);
    for (int y = 0; y < im.yres; ++y) {
      uint8_t* row = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
      for (int i = 0; i < im.xres * 3; ++i) row[i] = static_cast<uint8_t>(rng() >> 24);
    }
  }
};

constexpr int kBigW = 6000, kBigH = 4000;  // 24 megapixels

void BM_ReduceTo320Gaussian(benchmark::State& state) {
  static Img src(kBigW, kBigH);
  static bool filled = false;
  if (!filled) src.Noise(), filled = true;
  Img dst(320, 213);
  const bool plain = state.range(0) != 0;
  for (auto _ : state) {
    // PsizeImage picks the Gaussian (basis 4, radius 0.5) for a reduction this strong.
    const int ok =
        plain ? gaussianRGB24Plain(&dst.im, &src.im, 0.5f) : PsizeImage(&dst.im, &src.im, 1);
    benchmark::DoNotOptimize(ok);
  }
  state.counters["src_Mpixel/s"] = benchmark::Counter(
      static_cast<double>(kBigW) * kBigH * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReduceTo320Gaussian)->ArgName("plain")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Enlarge2xCubic(benchmark::State& state) {
  static Img src(kBigW / 2, kBigH / 2);
  static bool filled = false;
  if (!filled) src.Noise(), filled = true;
  Img dst(kBigW, kBigH);
  const bool plain = state.range(0) != 0;
  for (auto _ : state) {
    const int ok = plain ? interpRGB24Plain(&dst.im, &src.im, 6) : PsizeImage(&dst.im, &src.im, 6);
    benchmark::DoNotOptimize(ok);
  }
  state.counters["out_Mpixel/s"] = benchmark::Counter(
      static_cast<double>(kBigW) * kBigH * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Enlarge2xCubic)->ArgName("plain")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
