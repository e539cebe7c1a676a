// Display images: fitting a loaded 24-megapixel 8-bit frame into a 1920 x 1080 window,
// loading a 24-megapixel HDR frame, and opening and showing a 16-megapixel RGBE picture at
// fit through the histogram operator.
//
//   bench_display --write-picture=FILE   writes the 16-megapixel test picture, for timing
//                                        other programs on the same file
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pixhaven.h"
#include "display/pdispimg.h"
#include "picture/rgbe.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "support/dmessage.h"

namespace {

// A smooth scene with a bright window and a dark corner: about five decades.
double SceneLum(int x, int y, int w, int h) {
  const double fx = static_cast<double>(x) / w, fy = static_cast<double>(y) / h;
  double l =
      std::exp(5.0 * (fx - 0.5) - 3.0 * fy * fy + 0.3 * std::sin(x * 0.05) * std::cos(y * 0.03));
  if (fx > 0.6 && fx < 0.8 && fy > 0.1 && fy < 0.4) l *= 300.0;
  return l;
}

// A flat RGBE picture of w x h.
bool WritePicture(const std::string& path, int w, int h) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  std::fprintf(fp, "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", h, w);
  std::vector<unsigned char> row(static_cast<size_t>(w) * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double l = SceneLum(x, y, w, h);
      setcolr(&row[4 * static_cast<size_t>(x)], static_cast<float>(l * 0.9), static_cast<float>(l),
              static_cast<float>(l * (1.1 - 0.3 * y / h)));
    }
    std::fwrite(row.data(), 1, row.size(), fp);
  }
  return std::fclose(fp) == 0;
}

// An uncompressed 8-bit RGB TIFF of w x h.
bool WriteTiff8(const std::string& path, int w, int h) {
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_sRGB;
  if (!PnewImage(&im, 0)) return false;
  for (int y = 0; y < h; ++y) {
    uint8_t* p = im.img + static_cast<size_t>(y) * im.rowsize;
    for (int x = 0; x < w; ++x, p += 3) {
      p[0] = static_cast<uint8_t>(x * 255 / w);
      p[1] = static_cast<uint8_t>(y * 255 / h);
      p[2] = static_cast<uint8_t>((x ^ y) & 255);
    }
  }
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  const bool ok = IWInterfaceTIFF.WriteImage(path.c_str(), &wb) > 0;
  PfreeImage(&im);
  return ok;
}

std::string Scratch(const char* name) {
  return "/tmp/bench_display_" + std::to_string(getpid()) + name;
}

void Quiet() {
  static bool done = [] {
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    return true;
  }();
  (void)done;
}

void BM_Fit24MPEightBitFrame(benchmark::State& state) {
  Quiet();
  const std::string path = Scratch("_24mp.tif");
  if (!WriteTiff8(path, 6000, 4000)) {
    state.SkipWithError("cannot write the test picture");
    return;
  }
  PImageRing ir(path.c_str(), nullptr);
  _ImgStruct dst = {};
  dst.xres = 1920;
  dst.yres = 1080;
  dst.csp = &ICS_sRGB;
  PnewImage(&dst, 0);
  if (!ir.RenderImage(&dst, "\0\0\0", nullptr)) state.SkipWithError("render failed");
  for (auto _ : state) {
    ir.changed = true;
    benchmark::DoNotOptimize(ir.RenderImage(&dst, "\0\0\0", nullptr));
  }
  PfreeImage(&dst);
  ir.CloseImage(false);
  unlink(path.c_str());
}
BENCHMARK(BM_Fit24MPEightBitFrame)->Unit(benchmark::kMillisecond);

void BM_Load24MPHDRFrame(benchmark::State& state) {
  Quiet();
  const std::string path = Scratch("_24mp.hdr");
  if (!WritePicture(path, 6000, 4000)) {
    state.SkipWithError("cannot write the test picture");
    return;
  }
  PDisplayImage di;
  di.SetImage(path.c_str());
  for (auto _ : state) {
    di.Reload();
    if (!di.CheckLoad()) state.SkipWithError("load failed");
  }
  state.counters["bytes/pixel"] =
      static_cast<double>(di.dlp != nullptr ? di.dlp->GetSize() : 0) / (6000.0 * 4000.0);
  di.CloseImage(false);
  unlink(path.c_str());
}
BENCHMARK(BM_Load24MPHDRFrame)->Unit(benchmark::kMillisecond);

void BM_OpenAndShow16MPPicture(benchmark::State& state) {
  Quiet();
  const std::string path = Scratch("_16mp.hdr");
  if (!WritePicture(path, 4896, 3264)) {
    state.SkipWithError("cannot write the test picture");
    return;
  }
  _ImgStruct dst = {};
  dst.xres = 1920;
  dst.yres = 1080;
  dst.csp = &ICS_sRGB;
  PnewImage(&dst, 0);
  for (auto _ : state) {
    PImageRing ir(path.c_str(), nullptr);
    ir.SetExposureMode(PEMauto);
    if (!ir.RenderImage(&dst, "\0\0\0", nullptr)) state.SkipWithError("render failed");
  }
  PfreeImage(&dst);
  unlink(path.c_str());
}
BENCHMARK(BM_OpenAndShow16MPPicture)->Unit(benchmark::kMillisecond);

// What the histogram window computes over a whole 24-megapixel HDR frame: the luminance
// histogram, and the mean luminance it shows as the average.
void BM_HistogramAndMean24MPHDR(benchmark::State& state) {
  Quiet();
  const std::string path = Scratch("_24mp_histo.hdr");
  if (!WritePicture(path, 6000, 4000)) {
    state.SkipWithError("cannot write the test picture");
    return;
  }
  PDisplayImage di;
  di.SetImage(path.c_str());
  if (!di.CheckLoad() || !di.IsHDR()) state.SkipWithError("load failed");
  const _ImgRect all = {0, di.ior.xres, 0, di.ior.yres};
  double lim[2];
  unsigned int hist[256];
  for (auto _ : state) {
    if (state.range(0) & 1)
      benchmark::DoNotOptimize(di.GetHistogram(lim, hist, 256, PHCluminance, &all));
    if (state.range(0) & 2) benchmark::DoNotOptimize(di.AvgLuminance(&all));
  }
  di.CloseImage(false);
  unlink(path.c_str());
}
// 1: the histogram alone; 2: the mean alone; 3: both.
BENCHMARK(BM_HistogramAndMean24MPHDR)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--write-picture=", 16) == 0)
      return WritePicture(argv[i] + 16, 4896, 3264) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
