// Tone mapping of a 12-megapixel HDR picture to 8-bit display bytes: from float RGB
// (tmCvColors + histogram + tmComputeMapping + tmMapPixels) and from RGBE bytes (tmCvColrs).
//
// Extra modes for whole-process comparisons with other tone mappers:
//   bench_tonemap --write-picture=FILE      writes the test picture as an RGBE picture
//   bench_tonemap --map-picture=IN,OUT.ppm  maps a picture with tmMapPicture to a PPM
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "tonemap/tmloaders.h"
#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

namespace {
constexpr int kWidth = 4000, kHeight = 3000;

// A smooth scene with a bright window, a dark corner and noise: about 6 decades of range.
const std::vector<float>& testImage() {
  static std::vector<float> img = [] {
    std::vector<float> v((size_t)kWidth * kHeight * 3);
    std::mt19937 rng(42);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    for (int y = 0; y < kHeight; y++)
      for (int x = 0; x < kWidth; x++) {
        double fx = (double)x / kWidth, fy = (double)y / kHeight;
        double l = std::exp(6.0 * (fx - 0.5) - 4.0 * fy * fy + noise(rng));
        if (fx > 0.6 && fx < 0.8 && fy > 0.1 && fy < 0.4) l *= 300.0;  // window
        float* p = &v[((size_t)y * kWidth + x) * 3];
        p[0] = (float)(l * (0.8 + 0.4 * fx));
        p[1] = (float)l;
        p[2] = (float)(l * (1.2 - 0.4 * fy));
      }
    return v;
  }();
  return img;
}

const std::vector<unsigned char>& testImageRGBE() {
  static std::vector<unsigned char> img = [] {
    const auto& f = testImage();
    std::vector<unsigned char> v((size_t)kWidth * kHeight * 4);
    for (size_t i = 0; i < (size_t)kWidth * kHeight; i++)
      setcolr(&v[4 * i], f[3 * i], f[3 * i + 1], f[3 * i + 2]);
    return v;
  }();
  return img;
}

void mapToDisplay(TMstruct* tms, std::vector<TMbright>& ls, std::vector<unsigned char>& cs) {
  const int n = kWidth * kHeight;
  tmAddHisto(tms, ls.data(), n, 1);
  tmComputeMapping(tms, 2.2, 32, 100);
  tmMapPixels(tms, cs.data(), ls.data(), cs.data(), n);
}

// Argument 1: the plain per-pixel code (no vectorised kernels or fast paths).
void BM_FloatRGBToDisplay(benchmark::State& state) {
  tmUseVectorKernels = state.range(0) == 0;
  const auto& img = testImage();
  std::vector<TMbright> ls((size_t)kWidth * kHeight);
  std::vector<unsigned char> cs((size_t)kWidth * kHeight * 3);
  for (auto _ : state) {
    TMstruct* tms = tmInit(TMF_QUIET, nullptr, 2.2);
    tmSetSpace(tms, stdprims, 1.0, nullptr);
    for (int y = 0; y < kHeight; y++) {
      size_t row = (size_t)y * kWidth;
      tmCvColors(tms, &ls[row], &cs[3 * row], (const COLOR*)&img[3 * row], kWidth);
    }
    mapToDisplay(tms, ls, cs);
    benchmark::DoNotOptimize(cs.data());
    tmDone(tms);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  tmUseVectorKernels = true;
}
BENCHMARK(BM_FloatRGBToDisplay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RGBEToDisplay(benchmark::State& state) {
  tmUseVectorKernels = state.range(0) == 0;
  const auto& img = testImageRGBE();
  std::vector<TMbright> ls((size_t)kWidth * kHeight);
  std::vector<unsigned char> cs((size_t)kWidth * kHeight * 3);
  for (auto _ : state) {
    TMstruct* tms = tmInit(TMF_QUIET, nullptr, 2.2);
    tmSetSpace(tms, stdprims, 1.0, nullptr);
    for (int y = 0; y < kHeight; y++) {
      size_t row = (size_t)y * kWidth;
      tmCvColrs(tms, &ls[row], &cs[3 * row], (const unsigned char(*)[4]) & img[4 * row], kWidth);
    }
    mapToDisplay(tms, ls, cs);
    benchmark::DoNotOptimize(cs.data());
    tmDone(tms);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  tmUseVectorKernels = true;
}
BENCHMARK(BM_RGBEToDisplay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The stages alone, on the float picture.
void BM_Stage(benchmark::State& state) {
  const auto& img = testImage();
  const int n = kWidth * kHeight;
  std::vector<TMbright> ls(n);
  std::vector<unsigned char> cs((size_t)n * 3), out((size_t)n * 3);
  TMstruct* tms = tmInit(TMF_QUIET, nullptr, 2.2);
  tmSetSpace(tms, stdprims, 1.0, nullptr);
  tmCvColors(tms, ls.data(), cs.data(), (const COLOR*)img.data(), n);
  tmAddHisto(tms, ls.data(), n, 1);
  tmComputeMapping(tms, 2.2, 32, 100);
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0:
        tmCvColors(tms, ls.data(), cs.data(), (const COLOR*)img.data(), n);
        break;
      case 1:
        tmClearHisto(tms);
        tmAddHisto(tms, ls.data(), n, 1);
        break;
      case 2:
        tmComputeMapping(tms, 2.2, 32, 100);
        break;
      case 3:
        tmMapPixels(tms, out.data(), ls.data(), cs.data(), n);
        break;
      case 4:
        tmMapPixelsPlain(tms, out.data(), ls.data(), cs.data(), n);
        break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  tmDone(tms);
  static const char* names[] = {"tmCvColors", "tmAddHisto", "tmComputeMapping", "tmMapPixels",
                                "tmMapPixelsPlain"};
  state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_Stage)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

int writePicture(const char* path) {
  FILE* fp = fopen(path, "wb");
  if (fp == nullptr) return 1;
  newheader("RGBE", fp);
  fputformat(COLRFMT, fp);
  fputc('\n', fp);
  fputresolu(RES_YMAJ | RES_YDEC, kWidth, kHeight, fp);
  const auto& img = testImageRGBE();
  for (int y = 0; y < kHeight; y++)
    if (fwritecolrs((const RGBEPIX*)&img[(size_t)4 * y * kWidth], kWidth, fp) < 0) return 1;
  return fclose(fp) != 0;
}

int mapPicture(const std::string& arg) {
  size_t comma = arg.find(',');
  if (comma == std::string::npos) return 2;
  std::string in = arg.substr(0, comma), out = arg.substr(comma + 1);
  unsigned char* ps;
  int x, y;
  if (tmMapPicture(&ps, &x, &y, 0, stdprims, 2.2, 32, 100, in.c_str(), nullptr) != 0) return 1;
  FILE* fp = fopen(out.c_str(), "wb");
  if (fp == nullptr) return 1;
  fprintf(fp, "P6\n%d %d\n255\n", x, y);
  fwrite(ps, 3, (size_t)x * y, fp);
  free(ps);
  return fclose(fp) != 0;
}
}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (!strncmp(argv[i], "--write-picture=", 16)) return writePicture(argv[i] + 16);
    if (!strncmp(argv[i], "--map-picture=", 14)) return mapPicture(argv[i] + 14);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
