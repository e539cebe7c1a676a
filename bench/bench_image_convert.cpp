// Pixel conversion throughput on a 12-megapixel image, one core.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "image/corvane.h"
#include "image/pconvkern.h"

namespace {

constexpr int kW = 4000, kH = 3000;  // 12 megapixels

_ImgStruct NewImage(const _ImgColorSpace* cs) {
  _ImgStruct im = {};
  im.xres = kW;
  im.yres = kH;
  im.csp = cs;
  PnewImage(&im, 0.0);
  return im;
}

// A photograph-like spread of values: mostly mid-tones, some shadows and highlights.
void FillBytes(_ImgStruct* im) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g(120.f, 60.f);
  const size_t n = size_t(im->rowsize) * im->yres;
  for (size_t i = 0; i < n; i++) {
    const float v = g(rng);
    im->img[i] = uint8_t(v < 0.f ? 0.f : v > 255.f ? 255.f : v);
  }
}

void FillFloats(_ImgStruct* im) {
  std::mt19937 rng(2);
  std::lognormal_distribution<float> g(-1.5f, 1.2f);
  float* f = reinterpret_cast<float*>(im->img);
  const size_t n = size_t(im->xres) * im->yres * 3;
  for (size_t i = 0; i < n; i++) f[i] = g(rng);
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["Mpixel/s"] =
      benchmark::Counter(double(state.iterations()) * kW * kH / 1e6, benchmark::Counter::kIsRate);
}

void Map(benchmark::State& state, const _ImgColorSpace* dcs, const _ImgColorSpace* scs,
         bool floats) {
  _ImgStruct src = NewImage(scs), dst = NewImage(dcs);
  if (floats)
    FillFloats(&src);
  else
    FillBytes(&src);
  for (auto _ : state) {
    PmapImage(&dst, &src, 1.0);
    benchmark::DoNotOptimize(dst.img[0]);
    benchmark::ClobberMemory();
  }
  Report(state);
  PfreeImage(&src);
  PfreeImage(&dst);
}

// The reference decode-matrix-encode path over the same pixels.
void Plain(benchmark::State& state, const _ImgColorSpace* dcs, const _ImgColorSpace* scs,
           bool floats) {
  _ImgStruct src = NewImage(scs), dst = NewImage(dcs);
  if (floats)
    FillFloats(&src);
  else
    FillBytes(&src);
  _ImgColorConv cv;
  setColorConv(&cv, dcs, scs, 1.0);
  for (auto _ : state) {
    PconvertPixelsPlain(dst.img, src.img, kW * kH, &cv);
    benchmark::DoNotOptimize(dst.img[0]);
    benchmark::ClobberMemory();
  }
  Report(state);
  PfreeImage(&src);
  PfreeImage(&dst);
}

void BM_RGB8toRGB8Matrix(benchmark::State& s) {
  Map(s, &ICS_AdobeRGB, &ICS_sRGB, false);
}
void BM_RGB8toRGB8MatrixPlain(benchmark::State& s) {
  Plain(s, &ICS_AdobeRGB, &ICS_sRGB, false);
}
void BM_FloatRGBtoRGB8Gamma(benchmark::State& s) {
  Map(s, &ICS_sRGB, &ICS_RGB709, true);
}
void BM_FloatRGBtoRGB8GammaPlain(benchmark::State& s) {
  Plain(s, &ICS_sRGB, &ICS_RGB709, true);
}
void BM_FloatAdobeToRGB8Matrix(benchmark::State& s) {
  Map(s, &ICS_sRGB, &ICS_RGB98Adobe, true);
}
void BM_RGB8toGrey8(benchmark::State& s) {
  Map(s, &ICS_Y8, &ICS_sRGB, false);
}
void BM_RGB8Copy(benchmark::State& s) {
  Map(s, &ICS_sRGB, &ICS_sRGB, false);
}

}  // namespace

BENCHMARK(BM_RGB8toRGB8Matrix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RGB8toRGB8MatrixPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloatRGBtoRGB8Gamma)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloatRGBtoRGB8GammaPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloatAdobeToRGB8Matrix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RGB8toGrey8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RGB8Copy)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
