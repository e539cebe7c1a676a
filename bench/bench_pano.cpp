// Panoramas and flare removal, one core:
//  - FlareRemoval: a 12-megapixel float image with three bright discs and their veil;
//  - RenderPano: two 12-megapixel 8-bit TIFF members overlapping by 30% (1,200 columns),
//    read, placed, blended and composited into an 8-bit canvas (the members are
//    lumerin_bench_pano0/1.tif in the temporary folder; the peer comparison places them on
//    the 6,800 x 3,000 canvas as RGBA layers and runs `OMP_NUM_THREADS=1 enblend -o` on them);
//  - AlignAnchor: the largest anchors allowed (8% of each side) on the same members.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "catalog/pdbase.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "hdr/phdflare.h"
#include "hdr/ppano.h"

namespace {

constexpr int kW = 4000, kH = 3000, kShift = 2800;

std::string Tmp(const std::string& name) {
  return std::string(P_tmpdir) + "/" + name;
}

// An 8-bit texture of the whole canvas: bilinear random grids of 40 and 7 pixels.
std::vector<uint8_t> Canvas() {
  const int W = kW + kShift;
  std::vector<uint8_t> px(static_cast<size_t>(W) * kH * 3);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(0, 1);
  const int g[2] = {40, 7};
  std::vector<float> grid[2];
  int gw[2];
  for (int o = 0; o < 2; o++) {
    gw[o] = W / g[o] + 2;
    grid[o].resize(static_cast<size_t>(gw[o]) * (kH / g[o] + 2));
    for (float& v : grid[o]) v = u(rng);
  }
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < W; x++) {
      float v = 10;
      for (int o = 0; o < 2; o++) {
        const float fx = float(x) / g[o], fy = float(y) / g[o];
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        const float tx = fx - ix, ty = fy - iy;
        const float* r0 = &grid[o][static_cast<size_t>(iy) * gw[o] + ix];
        const float* r1 = r0 + gw[o];
        v += (o == 0 ? 150 : 90) * ((1 - tx) * (1 - ty) * r0[0] + tx * (1 - ty) * r0[1] +
                                    (1 - tx) * ty * r1[0] + tx * ty * r1[1]);
      }
      uint8_t* p = &px[3 * (static_cast<size_t>(y) * W + x)];
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(v * 0.9f);
      p[2] = static_cast<uint8_t>(v * 0.8f);
    }
  return px;
}

bool Exists(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0;
}

DBRecord Member(int i) {
  const std::string name = "lumerin_bench_pano" + std::to_string(i) + ".tif";
  struct stat st {};
  stat(Tmp(name).c_str(), &st);
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, name.c_str());
  r.SetField(PDBFlocation, P_tmpdir);
  r.SetField(PDBFnbytes, static_cast<long>(st.st_size));
  r.SetField(PDBFhashval, 1000L + i);
  r.SetField(PDBFxsize, kW);
  r.SetField(PDBFysize, kH);
  return r;
}

// Writes the two members and the two layers once.
void WriteMembers() {
  static bool done = false;
  if (done) return;
  done = true;
  PloadStandardReaders();
  PaddIReaderI(&IRInterfaceTIFF);
  if (Exists(Tmp("lumerin_bench_pano1.tif"))) return;
  const std::vector<uint8_t> px = Canvas();
  const int W = kW + kShift;
  for (int i = 0; i < 2; i++) {
    _ImgStruct im = {kW, kH, &ICS_sRGB, 0, nullptr, nullptr};
    PnewImage(&im, 0);
    for (int y = 0; y < kH; y++)
      std::memcpy(im.img + static_cast<ptrdiff_t>(y) * im.rowsize,
                  &px[3 * (static_cast<size_t>(y) * W + i * kShift)], 3 * kW);
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    TiffWriteImage(Tmp("lumerin_bench_pano" + std::to_string(i) + ".tif").c_str(), &wb);
    PfreeImage(&im);
  }
}

void BM_RenderPano(benchmark::State& state) {
  WriteMembers();
  PPanorama pano;
  pano.InsertImage(Member(0));
  pano.InsertImage(Member(1));
  const long y = kH / 2, x = kShift + 600;
  const long l0[3] = {x, y, 1}, l1[3] = {x - kShift, y, 0};
  pano.irl[0].SetField(pano.linkID, l0, 3);
  pano.irl[1].SetField(pano.linkID, l1, 3);
  for (auto _ : state) {
    _ImgStruct canvas = {kW + kShift, kH, &ICS_sRGB, 0, nullptr, nullptr};
    if (!pano.RenderPano(&canvas, nullptr)) state.SkipWithError("RenderPano failed");
    PfreeImage(&canvas);
  }
}
BENCHMARK(BM_RenderPano)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AlignAnchor(benchmark::State& state) {
  WriteMembers();
  PPanorama pano;
  // 8% of 4000 x 3000: 320 x 240 anchors on the same feature.
  const int cx = kShift + 500, cy = 1400;
  const _ImgRect o = {cx - 160, cx + 160, cy - 120, cy + 120};
  const _ImgRect d = {cx - kShift - 160, cx - kShift + 160, cy - 120, cy + 120};
  const DBRecord dest = Member(1);
  pano.LinkOrig(Member(0), o);
  for (auto _ : state) {
    int res[4];
    if (!pano.AlignAnchor(res, dest, d)) state.SkipWithError("AlignAnchor failed");
    if (std::abs(res[0] - kShift - res[2]) > 1 || std::abs(res[1] - res[3]) > 1)
      state.SkipWithError("AlignAnchor misplaced the feature");
  }
}
BENCHMARK(BM_AlignAnchor)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FlareRemoval(benchmark::State& state) {
  const int W = 4000, H = 3000;
  std::vector<float> scene(static_cast<size_t>(W) * H * 3);
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0.7f, 1.3f);
  const float cx[3] = {0.2f * W, 0.7f * W, 0.45f * W}, cy[3] = {0.25f * H, 0.35f * H, 0.8f * H};
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      float veil = 0;
      bool disc = false;
      for (int d = 0; d < 3; d++) {
        const float dx = x - cx[d], dy = y - cy[d], d2 = dx * dx + dy * dy;
        disc = disc || d2 < 900;
        const float r = std::sqrt(std::min(std::max(d2 / 984.f, 8.f), 4096.f));
        veil += 6000 * (5e-5f / r + 3.6e-4f / (r * r));
      }
      for (int c = 0; c < 3; c++)
        scene[3 * (static_cast<size_t>(y) * W + x) + c] = disc ? 2000.f : 0.006f * u(rng) + veil;
    }
  _ImgStruct im = {W, H, &ICS_RGB709, 0, nullptr, nullptr};
  PnewImage(&im, 0);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(im.img, scene.data(), scene.size() * sizeof(float));
    state.ResumeTiming();
    if (!PHDremoveFlare(&im, nullptr)) state.SkipWithError("flare removal failed");
  }
  PfreeImage(&im);
}
BENCHMARK(BM_FlareRemoval)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
