// HDR assembly: five 8-bit TIFF exposures two stops apart of a 24-megapixel tile scene
// (written once into the temporary folder, noise of one code, sRGB camera):
//  - Merge: the merge alone on a solved maker whose exposures are resident (pixel-exposures
//    per second; alignment solved, so no bad-pixel pass, as the peers' plain merges);
//  - FromFiles: a fresh maker from the files to the float image with flags 3 (response and
//    factors solved, bad-pixel pass);
//  - Align: placing one exposure against its neighbour (a 24-megapixel pair, shifted and
//    turned slightly).
// The same files serve the comparisons with OpenCV's AlignMTB and MergeDebevec and with
// pfshdrcalibrate (see the README).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "catalog/picache.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "hdr/phdrimg.h"

namespace {

constexpr int kW = 6000, kH = 4000, kN = 5;

// Exposure i of the series; kN is exposure 1 again, moved by (13, -7) px.
std::string Path(int i) {
  return std::string(P_tmpdir) + "/lumerin_bench_hdr" + std::to_string(i) + ".tif";
}

// Writes the series once: tiles spanning 3.5 decades with gentle gradients, plus a moved copy
// of exposure 1 for the alignment bench.
void WriteSeries() {
  static bool done = false;
  if (done) return;
  done = true;
  PaddIReaderI(&IRInterfaceTIFF);
  std::vector<uint8_t> enc(65536);
  for (int i = 0; i < 65536; i++) {
    const double l = i / 65535.0;
    const double v = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
    enc[i] = static_cast<uint8_t>(std::lround(255 * v));
  }
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> u(0, 1);
  const int tile = 64, tx = kW / tile + 2, ty = kH / tile + 2;
  std::vector<float> base(3 * tx * ty);
  for (int t = 0; t < tx * ty; t++) {
    const double l = std::pow(10.0, 3.5 * u(rng));
    for (int c = 0; c < 3; c++) base[3 * t + c] = static_cast<float>(l * (0.6 + 0.8 * u(rng)));
  }
  std::normal_distribution<float> nd(0, 1);
  _ImgStruct im = {kW, kH, &ICS_sRGB, 0, nullptr, nullptr};
  PnewImage(&im, 0);
  for (int i = 0; i <= kN; i++) {
    const std::string p = Path(i);
    if (FILE* f = fopen(p.c_str(), "rb")) {
      fclose(f);
      continue;
    }
    const double mult = 0.03 * std::pow(4.0, -(i == kN ? 1 : i));
    const int dx = i == kN ? 13 : 0, dy = i == kN ? -7 : 0;
    for (int y = 0; y < kH; y++) {
      uint8_t* row = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
      const int sy = std::min(std::max(y - dy, 0), kH - 1);
      for (int x = 0; x < kW; x++) {
        const int sx = std::min(std::max(x - dx, 0), kW - 1);
        const float* b = &base[3 * ((sy / tile) * tx + sx / tile)];
        const double g = mult * (1.0 + 0.1 * (sx % tile) / tile + 0.05 * (sy % tile) / tile);
        for (int c = 0; c < 3; c++) {
          const double l = std::min(1.0, b[c] * g);
          const int v = enc[static_cast<int>(l * 65535)] + static_cast<int>(std::lround(nd(rng)));
          row[3 * x + c] = static_cast<uint8_t>(std::min(255, std::max(0, v)));
        }
      }
    }
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    TiffWriteImage(p.c_str(), &wb);
  }
  PfreeImage(&im);
}

void Load(PHDImageMaker* mk, const std::vector<int>& files) {
  for (int i : files) {
    PCacheImage* pci = mk->NewCacheImage();
    pci->SetImage(Path(i).c_str(), true);
    // The nominal factors: two stops apart.
    DBRecord r = pci->GetRecord();
    r.SetField(PDBFstonits, static_cast<float>(std::pow(4.0, i == kN ? 1 : i)));
    pci->SetImage(r, true);
  }
}

const std::vector<int> kSeries = {0, 1, 2, 3, 4};

void BM_Merge(benchmark::State& st) {
  WriteSeries();
  PHDImageMaker mk;
  Load(&mk, kSeries);
  mk.solveFlags = 7;
  if (!mk.Compute()) st.SkipWithError("solve failed");
  for (auto _ : st) {
    _ImgStruct out = {};
    if (!mk.GetHDImage(&out, nullptr)) st.SkipWithError("merge failed");
    PfreeImage(&out);
  }
  st.counters["Mpixel_exposures/s"] =
      benchmark::Counter(double(kW) * kH * kN * st.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Merge)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_FromFiles(benchmark::State& st) {
  WriteSeries();
  for (auto _ : st) {
    PHDImageMaker mk;
    Load(&mk, kSeries);
    mk.solveFlags = 3;
    _ImgStruct out = {};
    if (!mk.GetHDImage(&out, nullptr)) st.SkipWithError("merge failed");
    PfreeImage(&out);
    mk.Done();
  }
}
BENCHMARK(BM_FromFiles)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_Align(benchmark::State& st) {
  WriteSeries();
  PHDImageMaker mk;
  Load(&mk, {0, kN});
  mk.solveFlags = 0;
  mk.Compute();
  PHDExposure& a = mk.Exposure(mk.Order(1));
  PHDExposure& b = mk.Exposure(mk.Order(0));
  a.ComputeUsability();
  b.ComputeUsability();
  a.GetReady();  // resident, as for the peers, which align images already in memory
  b.GetReady();
  for (auto _ : st) {
    if (!a.ComputeOffset(&b)) st.SkipWithError("align failed");
  }
  st.counters["xoff"] = a.xoff;
  st.counters["yoff"] = a.yoff;
  a.Release();
  b.Release();
}
BENCHMARK(BM_Align)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
