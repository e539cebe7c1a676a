// TIFF reading: a 16-megapixel float RGB file and a LogLuv file of the same size, read whole
// as native floats and as tone-mapped 8-bit pixels (histogram pass included), each through a
// freshly opened reader. The files are written once into the temporary folder by the writer;
// the same files serve the comparison with `oiiotool --threads 1 FILE -o out.null`.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/tiffimg.h"

namespace {

constexpr int kSide = 4096;  // 16 megapixels

// A scene-like float image: smooth light falloff over three decades, with texture.
const std::vector<float>& Scene() {
  static std::vector<float> px;
  if (px.empty()) {
    px.resize(static_cast<size_t>(kSide) * kSide * 3);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> tex(0.8f, 1.2f);
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const float base = std::pow(10.0f, 3.0f * x / kSide - 1.5f) * (0.5f + 0.5f * y / kSide);
        float* p = &px[(static_cast<size_t>(y) * kSide + x) * 3];
        p[0] = base * tex(rng);
        p[1] = base * 0.9f * tex(rng);
        p[2] = base * 0.7f * tex(rng);
      }
  }
  return px;
}

// The benchmark file written at quality q (100: float RGB, 90: LogLuv 32).
const std::string& File(int q) {
  static std::string paths[2];
  std::string& path = paths[q == 100 ? 0 : 1];
  if (path.empty()) {
    path = std::string(P_tmpdir) +
           (q == 100 ? "/lumerin_bench_float.tif" : "/lumerin_bench_logluv.tif");
    _ImgColorSpace cs = ICS_RGB709;
    cs.cstatic = 0;
    _ImgWriteBuf wb;
    memset(&wb, 0, sizeof wb);
    wb.xres = wb.yres = kSide;
    wb.rowsize = kSide * 12;
    wb.pixAspect = 1;
    wb.csp = &cs;
    wb.img = Scene().data();
    wb.info.flags = IIFquality;
    wb.info.quality = q;
    if (TiffWriteImage(path.c_str(), &wb) == 0) fprintf(stderr, "cannot write %s\n", path.c_str());
  }
  return path;
}

void ReadWhole(benchmark::State& state, int q, bool mapped) {
  const std::string& path = File(q);
  std::vector<uint8_t> buf(static_cast<size_t>(kSide) * kSide * 12);
  for (auto _ : state) {
    _ImgReader* ir = TRopen(path.c_str());
    if (ir == nullptr) {
      state.SkipWithError("cannot open the file");
      break;
    }
    _ImgReadBuf rb;
    memset(&rb, 0, sizeof rb);
    rb.cs = mapped ? ICS_sRGB : ir->cs;
    rb.r = {0, ir->xres, 0, ir->yres};
    rb.subsample = 1;
    rb.buf = buf.data();
    rb.bufsize = buf.size();
    if (TRreadRec(ir, &rb) != IREnone || (mapped && rb.cs.dtype != IDTubyte))
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buf.data());
    TRclose(ir);
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kSide} * kSide);
}

void BM_TiffFloatToFloat(benchmark::State& s) {
  ReadWhole(s, 100, false);
}
void BM_TiffFloatToMapped8(benchmark::State& s) {
  ReadWhole(s, 100, true);
}
void BM_TiffLogLuvToFloat(benchmark::State& s) {
  ReadWhole(s, 90, false);
}
void BM_TiffLogLuvToMapped8(benchmark::State& s) {
  ReadWhole(s, 90, true);
}
BENCHMARK(BM_TiffFloatToFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffFloatToMapped8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffLogLuvToFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffLogLuvToMapped8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
