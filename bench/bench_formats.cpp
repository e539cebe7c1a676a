// Reading and writing 16-megapixel (4096 x 4096) RGBE pictures and OpenEXR files through
// the format plug-ins: whole-image reads to float and to tone-mapped 8-bit RGB, and writes.
//
// The image is the shared GoldenGate picture tiled with mirroring when the test pictures are
// present, else a synthetic scene. It is written once to $TMPDIR/lumerin_bench_16mp.hdr and
// .exr, which other programs can then read for comparison.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_testdata.h"
#include "formats/exrformat.h"
#include "formats/radformat.h"

namespace {

constexpr int kSize = 4096;

std::string scratch(const char* suffix) {
  const char* t = std::getenv("TMPDIR");
  return std::string(t != nullptr && *t ? t : "/tmp") + "/lumerin_bench_16mp." + suffix;
}

// The whole picture as float RGB, or an empty vector.
std::vector<float> readFloat(_ImgReader* ir) {
  std::vector<float> px(static_cast<size_t>(ir->xres) * ir->yres * 3);
  _ImgReadBuf rb{};
  rb.cs = ir->cs;
  rb.r = {0, ir->xres, 0, ir->yres};
  rb.subsample = 1;
  rb.buf = px.data();
  rb.bufsize = px.size() * sizeof(float);
  if (ir->ri->ReadRec(ir, &rb) != IREnone || rb.r.xright != ir->xres) px.clear();
  return px;
}

// The benchmark image, made once.
const std::vector<float>& image() {
  static const std::vector<float> img = [] {
    std::vector<float> out(static_cast<size_t>(kSize) * kSize * 3);
    const std::string src = testdataDir() + "/hdr/goldengate_oiiotool_rle.hdr";
    _ImgReader* ir = IRInterfaceRad.Open(src.c_str());
    std::vector<float> gg;
    int w = 0, h = 0;
    if (ir != nullptr) {
      gg = readFloat(ir);
      w = ir->xres;
      h = ir->yres;
      IRInterfaceRad.Close(ir);
    }
    for (int y = 0; y < kSize; y++)
      for (int x = 0; x < kSize; x++) {
        float* p = &out[(static_cast<size_t>(y) * kSize + x) * 3];
        if (!gg.empty()) {
          const int tx = (x / w) % 2 ? w - 1 - x % w : x % w;
          const int ty = (y / h) % 2 ? h - 1 - y % h : y % h;
          memcpy(p, &gg[(static_cast<size_t>(ty) * w + tx) * 3], 3 * sizeof(float));
        } else {
          const float v = std::exp(8.0f * std::sin(x * 0.002f) * std::cos(y * 0.003f));
          p[0] = v;
          p[1] = v * (0.5f + 0.5f * std::sin(x * 0.01f));
          p[2] = v * 0.3f;
        }
      }
    return out;
  }();
  return img;
}

_ImgWriteBuf writeBuf() {
  _ImgWriteBuf wb{};
  wb.xres = kSize;
  wb.yres = kSize;
  wb.rowsize = kSize * 3 * sizeof(float);
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_RGB709;
  wb.img = image().data();
  return wb;
}

// The benchmark file of a format, written once.
const std::string& file(const _ImgWriterInterface& wi) {
  static std::string paths[2];
  std::string& p = paths[&wi == &IWInterfaceEXR];
  if (p.empty()) {
    p = scratch(wi.suffix);
    const _ImgWriteBuf wb = writeBuf();
    if (wi.WriteImage(p.c_str(), &wb) <= 0) std::fprintf(stderr, "cannot write %s\n", p.c_str());
  }
  return p;
}

void readBench(benchmark::State& state, const _ImgReaderInterface& ri,
               const _ImgWriterInterface& wi, bool eight) {
  const std::string& path = file(wi);
  std::vector<uint8_t> buf(static_cast<size_t>(kSize) * kSize * 12);
  for (auto _ : state) {
    _ImgReader* ir = ri.Open(path.c_str());
    if (ir == nullptr) {
      state.SkipWithError("cannot open");
      return;
    }
    _ImgReadBuf rb{};
    rb.cs = eight ? ICS_sRGB : ir->cs;
    rb.cs.cstatic = 0;
    rb.r = {0, ir->xres, 0, ir->yres};
    rb.subsample = 1;
    rb.buf = buf.data();
    rb.bufsize = buf.size();
    const ImgReadErr err = ir->ri->ReadRec(ir, &rb);
    const bool ok =
        err == IREnone && rb.r.xright == ir->xres && rb.cs.dtype == (eight ? IDTubyte : IDTfloat);
    ri.Close(ir);
    if (!ok) {
      state.SkipWithError("read failed");
      return;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kSize} * kSize);
}

void writeBench(benchmark::State& state, const _ImgWriterInterface& wi) {
  const std::string path = scratch(wi.suffix) + ".out";
  const _ImgWriteBuf wb = writeBuf();
  for (auto _ : state)
    if (wi.WriteImage(path.c_str(), &wb) <= 0) {
      state.SkipWithError("write failed");
      break;
    }
  state.SetItemsProcessed(state.iterations() * int64_t{kSize} * kSize);
  std::remove(path.c_str());
}

void BM_HdrReadFloat(benchmark::State& s) {
  readBench(s, IRInterfaceRad, IWInterfaceRad, false);
}
void BM_HdrReadToneMapped(benchmark::State& s) {
  readBench(s, IRInterfaceRad, IWInterfaceRad, true);
}
void BM_HdrWrite(benchmark::State& s) {
  writeBench(s, IWInterfaceRad);
}
void BM_ExrReadFloat(benchmark::State& s) {
  readBench(s, IRInterfaceEXR, IWInterfaceEXR, false);
}
void BM_ExrReadToneMapped(benchmark::State& s) {
  readBench(s, IRInterfaceEXR, IWInterfaceEXR, true);
}
void BM_ExrWrite(benchmark::State& s) {
  writeBench(s, IWInterfaceEXR);
}

BENCHMARK(BM_HdrReadFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HdrReadToneMapped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HdrWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExrReadFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExrReadToneMapped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExrWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
