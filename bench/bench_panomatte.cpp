// The finishing of a 100-megapixel panorama canvas: trimming the coverage's ragged edges, the
// matte colour, the random matte and the border, as the Panorama command runs them after
// rendering. Target: at most 5 s on one core (taskset -c 2 build/bench/bench_panomatte).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

#include "app/hdrpano/makepano.h"

namespace {

constexpr int kW = 20000, kH = 5000, kBorder = 225;

// Five tiles side by side at uneven heights, their edges wavy: about a tenth uncovered.
ABitMap2 Coverage(int w, int h) {
  ABitMap2 m(w, h, false);
  const int tile = w / 5 + 200;
  for (int t = 0; t < 5; ++t) {
    const int x0 = t * (w - tile) / 4, top = (t % 2) * h / 20, bottom = h - ((t + 1) % 3) * h / 30;
    for (int x = x0; x < x0 + tile && x < w; ++x) {
      const int wave = static_cast<int>(40 * std::sin(x * 0.01) + 15 * std::sin(x * 0.37));
      const int y0 = std::max(0, top + wave), y1 = std::min(h, bottom + wave);
      if (y1 > y0) m.ClearRect(x, y0, 1, y1 - y0, true);
    }
  }
  return m;
}

void BM_FinishCanvas(benchmark::State& state) {
  _ImgStruct canvas{kW, kH, &ICS_sRGB, 0, nullptr, nullptr};
  if (!PnewImage(&canvas, 0)) {
    state.SkipWithError("no memory for the canvas");
    return;
  }
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < 3 * kW; ++x) canvas.img[ptrdiff_t(y) * canvas.rowsize + x] = uint8_t(x ^ y);
  const _ImgRect rect = {kBorder, kW - kBorder, kBorder, kH - kBorder};
  _ImgStruct pano{};
  PlinkSubimage(&pano, &canvas, &rect);
  const ABitMap2 rendered = Coverage(pano.xres, pano.yres);
  TrimCornerRad = std::min(pano.xres, pano.yres) / 20;
  srandom(1);
  srand48(1);
  for (auto _ : state) {
    ABitMap2 mask(rendered);
    trimPano(&mask);
    unsigned char* color = getMatteColor(&pano, mask, 3);
    fillMatte(&pano, mask, color, false);
    addMatteBorder(&canvas, rect, color);
    benchmark::DoNotOptimize(canvas.img[0]);
  }
  state.counters["MP"] = double(kW) * kH / 1e6;
  PfreeImage(&pano);
  PfreeImage(&canvas);
}
BENCHMARK(BM_FinishCanvas)->Unit(benchmark::kSecond)->Iterations(2);

void BM_TrimOnly(benchmark::State& state) {
  const ABitMap2 rendered = Coverage(kW - 2 * kBorder, kH - 2 * kBorder);
  TrimCornerRad = (kH - 2 * kBorder) / 20;
  for (auto _ : state) {
    ABitMap2 mask(rendered);
    trimPano(&mask);
    benchmark::DoNotOptimize(mask.SumTotal());
  }
}
BENCHMARK(BM_TrimOnly)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_MatteColourOnly(benchmark::State& state) {
  _ImgStruct pano{kW - 2 * kBorder, kH - 2 * kBorder, &ICS_sRGB, 0, nullptr, nullptr};
  PnewImage(&pano, 0);
  const ABitMap2 mask = Coverage(pano.xres, pano.yres);
  for (auto _ : state) benchmark::DoNotOptimize(getMatteColor(&pano, mask, 3));
  PfreeImage(&pano);
}
BENCHMARK(BM_MatteColourOnly)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
