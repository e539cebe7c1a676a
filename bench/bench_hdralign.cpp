// Exposure alignment over 50 generated hand-held series, for comparison with OpenCV's AlignMTB
// (bench/hdralign_peer.py reads the same files). Each series: five JPEG exposures (quality 90)
// of 1536 by 1024 pixels, two stops apart, of a detailed scene through a film-like curve, each
// moved against the one before by up to 40 px and turned by up to 0.3 degree (written once
// into the temporary folder, with the true placements in truth.txt).
//  - AlignSeries: the maker places the exposures of each series (alignment only), images
//    resident and statistics computed beforehand, as the peer aligns images in memory.
//    Printed per series: the time, the worst error of an exposure's placement at the image
//    centre against the middle exposure and of its rotation against its neighbour's, and
//    whether the series was reported: its alignment failed ("Cannot compute image offset"),
//    or an exposure too extreme for alignment kept its neighbour's placement with a warning.
//    The counters: series placed within 2 px and 0.31 degree, reported, and placed further
//    off without a word (wrong).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "catalog/picache.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "hdr/hdr_scene.h"
#include "hdr/phdrimg.h"
#include "testutil/message_log.h"

namespace {

constexpr int kW = 1536, kH = 1024, kSeries = 50, kN = 5;
constexpr double kStep = 40, kTurn = 0.3;

std::string Dir() {
  return std::string(P_tmpdir) + "/lumerin_bench_align";
}
std::string Path(int s, int i) {
  return Dir() + "/s" + std::to_string(s) + "_" + std::to_string(i) + ".jpg";
}

// Writes the series once (seeds 1 to 50), in four threads, and the truth: per exposure a line
// "series exposure x y degrees mult" with the offset the maker should find.
void WriteSeries() {
  static bool done = false;
  if (done) return;
  done = true;
  PloadStandardReaders();
  const std::string truth = Dir() + "/truth.txt";
  if (FILE* f = fopen(truth.c_str(), "r")) {
    fclose(f);
    return;
  }
  mkdir(Dir().c_str(), 0755);
  const hdrtest::Camera cam = hdrtest::FilmCamera();
  auto shoot = [&](int first) {
    for (int s = first; s <= kSeries; s += 4) {
      hdrtest::DetailSeries ser(s, kStep, kTurn, kN);
      for (int i = 0; i < kN; i++) {
        _ImgStruct im = ser.Shoot(cam, kW, kH, i, s * 10 + i);
        _ImgWriteBuf wb;
        PsetWriteBuf(&wb, &im);
        wb.info.quality = 90;
        wb.info.flags |= IIFquality;
        JPEGwriteImage(Path(s, i).c_str(), &wb);
        PfreeImage(&im);
      }
    }
  };
  std::vector<std::thread> th;
  for (int t = 1; t <= 4; t++) th.emplace_back(shoot, t);
  for (std::thread& t : th) t.join();
  FILE* f = fopen((truth + ".part").c_str(), "w");
  for (int s = 1; s <= kSeries; s++) {
    hdrtest::DetailSeries ser(s, kStep, kTurn, kN);
    for (int i = 0; i < kN; i++) {
      double ox, oy;
      hdrtest::TrueOffset(ser.shots[i], &ox, &oy);
      fprintf(f, "%d %d %.4f %.4f %.5f %.6g\n", s, i, ox, oy, ser.shots[i].deg, ser.shots[i].mult);
    }
  }
  fclose(f);
  rename((truth + ".part").c_str(), truth.c_str());
}

struct Truth {
  double x, y, deg, mult;
};

std::vector<Truth> ReadTruth() {
  std::vector<Truth> t(kSeries * kN);
  FILE* f = fopen((Dir() + "/truth.txt").c_str(), "r");
  int s, i;
  double x, y, d, m;
  while (f != nullptr && fscanf(f, "%d %d %lf %lf %lf %lf", &s, &i, &x, &y, &d, &m) == 6)
    if (s >= 1 && s <= kSeries && i >= 0 && i < kN) t[(s - 1) * kN + i] = {x, y, d, m};
  if (f != nullptr) fclose(f);
  return t;
}

void BM_AlignSeries(benchmark::State& st) {
  WriteSeries();
  const std::vector<Truth> truth = ReadTruth();
  double total = 0, worstPx = 0, worstDeg = 0;
  int placed = 0, reported = 0, wrong = 0;
  std::vector<double> times;
  for (auto _ : st) {
    for (int s = 1; s <= kSeries; s++) {
      PHDImageMaker mk;
      for (int i = 0; i < kN; i++) {
        PCacheImage* pci = mk.NewCacheImage();
        pci->SetImage(Path(s, i).c_str(), true);
        DBRecord r = pci->GetRecord();
        r.SetField(PDBFstonits, static_cast<float>(1 / truth[(s - 1) * kN + i].mult));
        pci->SetImage(r, true);
      }
      mk.solveFlags = PHDSalign;
      for (int i = 0; i < kN; i++) {
        mk.Exposure(i).GetReady();
        mk.Exposure(i).ComputeUsability();
      }
      MessageLog log;
      const auto t0 = std::chrono::steady_clock::now();
      const bool ok = mk.Compute();
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      times.push_back(ms);
      total += ms;
      const bool extreme = log.Has(DMCwarning, "Exposure too extreme for alignment");
      const Truth* tr = &truth[(s - 1) * kN];
      const PHDExposure& m = mk.Exposure(kN / 2);
      double px = 0, deg = 0;
      for (int i = 0; ok && i < kN; i++) {
        const PHDExposure& e = mk.Exposure(i);
        px = std::max(px, std::hypot(e.xoff - m.xoff - (tr[i].x - tr[kN / 2].x),
                                     e.yoff - m.yoff - (tr[i].y - tr[kN / 2].y)));
        if (i > 0) {
          const PHDExposure& p = mk.Exposure(i - 1);
          deg = std::max(deg, std::fabs(e.degCW - p.degCW - (tr[i].deg - tr[i - 1].deg)));
        }
      }
      printf("series %2d: %7.1f ms  %s  worst %.2f px %.3f deg%s\n", s, ms,
             ok ? "placed" : "failed", px, deg, extreme ? "  (too extreme)" : "");
      if (!ok || extreme) {
        reported++;
      } else if (px <= 2 && deg <= 0.31) {
        placed++;
        worstPx = std::max(worstPx, px);
        worstDeg = std::max(worstDeg, deg);
      } else {
        wrong++;
        for (const auto& e : log.entries)
          if (e.first <= DMCwarning) printf("    %s\n", e.second.c_str());
      }
      for (int i = 0; i < kN; i++) mk.Exposure(i).Release();
    }
  }
  std::sort(times.begin(), times.end());
  st.counters["ms_per_series"] = total / times.size();
  st.counters["median_ms"] = times[times.size() / 2];
  st.counters["placed"] = placed;
  st.counters["reported"] = reported;
  st.counters["wrong"] = wrong;
  st.counters["worst_px"] = worstPx;
  st.counters["worst_deg"] = worstDeg;
}
BENCHMARK(BM_AlignSeries)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
