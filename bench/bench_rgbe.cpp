// RGBE scanline coding speed on a 16-megapixel picture (4096 x 4096).
//
// The picture is written once to a file (by default $TMPDIR/lumerin_bench_rgbe_4096.hdr, or
// the path given with --picture=PATH): the shared GoldenGate picture tiled with mirroring
// when the test pictures are present, else a synthetic scene. The same file can then be read
// by other programs for comparison.
//
//   bench_rgbe [--picture=PATH] [benchmark options]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_testdata.h"
#include "picture/picheader.h"
#include "picture/rgbe.h"

namespace {

constexpr int kSize = 4096;
std::string g_path;

using Pixel = unsigned char[4];

// The shared test pictures: $LUMERIN_TESTDATA, else the folder beside the source tree.
// Reads a top-down picture's pixels; false when it cannot.
bool loadPicture(const char* path, int* w, int* h, std::vector<unsigned char>* px) {
  FILE* fp = std::fopen(path, "rb");
  if (fp == nullptr) return false;
  char fmt[MAXFMTLEN] = "32-bit_rle_rgbe";
  bool ok = checkheader(fp, fmt, nullptr) == 1 && fgetresolu(w, h, fp) == (RES_YMAJ | RES_YDEC) &&
            *w > 0 && *h > 0;
  if (ok) {
    px->resize(static_cast<size_t>(*w) * *h * 4);
    for (int y = 0; ok && y < *h; y++)
      ok = freadcolrs(reinterpret_cast<RGBEPIX*>(px->data() + static_cast<size_t>(y) * *w * 4), *w,
                      fp) == 0;
  }
  std::fclose(fp);
  return ok;
}

// The 4096 x 4096 pixels of the benchmark picture.
std::vector<unsigned char> makePixels() {
  std::vector<unsigned char> out(static_cast<size_t>(kSize) * kSize * 4);
  int w, h;
  std::vector<unsigned char> src;
  const std::string gg = testdataDir() + "/hdr/goldengate_oiiotool_rle.hdr";
  if (loadPicture(gg.c_str(), &w, &h, &src)) {
    for (int y = 0; y < kSize; y++) {
      int sy = y % (2 * h);
      if (sy >= h) sy = 2 * h - 1 - sy;
      for (int x = 0; x < kSize; x++) {
        int sx = x % (2 * w);
        if (sx >= w) sx = 2 * w - 1 - sx;
        std::memcpy(&out[(static_cast<size_t>(y) * kSize + x) * 4],
                    &src[(static_cast<size_t>(sy) * w + sx) * 4], 4);
      }
    }
    std::fprintf(stderr, "benchmark picture: %s tiled to %d x %d\n", gg.c_str(), kSize, kSize);
    return out;
  }
  std::fprintf(stderr, "benchmark picture: synthetic scene of %d x %d\n", kSize, kSize);
  // A synthetic scene: smooth sky, bright sun, noisy ground.
  unsigned seed = 12345;
  for (int y = 0; y < kSize; y++) {
    for (int x = 0; x < kSize; x++) {
      seed = seed * 1103515245u + 12345u;
      const double noise = ((seed >> 16) & 1023) / 1023.0;
      double r, g, b;
      if (y < kSize / 2) {
        const double d = std::hypot(x - 3000.0, y - 700.0);
        const double sun = d < 60 ? 5000.0 : 0.0;
        r = 0.3 + y * 1e-4 + sun;
        g = 0.5 + y * 1e-4 + sun;
        b = 1.2 + sun;
      } else {
        r = 0.05 + 0.2 * noise;
        g = 0.08 + 0.15 * noise;
        b = 0.03 + 0.1 * noise;
      }
      setcolr(&out[(static_cast<size_t>(y) * kSize + x) * 4], r, g, b);
    }
  }
  return out;
}

// Writes the benchmark picture unless a readable one is there already.
bool ensurePicture() {
  int w, h;
  FILE* fp = std::fopen(g_path.c_str(), "rb");
  if (fp != nullptr) {
    char fmt[MAXFMTLEN] = "32-bit_rle_rgbe";
    const bool ok = checkheader(fp, fmt, nullptr) == 1 && fgetresolu(&w, &h, fp) >= 0 &&
                    w == kSize && h == kSize;
    std::fclose(fp);
    if (ok) return true;
  }
  const std::vector<unsigned char> px = makePixels();
  fp = std::fopen(g_path.c_str(), "wb");
  if (fp == nullptr) return false;
  newheader("VORTELUX", fp);
  fputformat(COLRFMT, fp);
  std::putc('\n', fp);
  fputresolu(RES_YMAJ | RES_YDEC, kSize, kSize, fp);
  bool ok = true;
  for (int y = 0; ok && y < kSize; y++)
    ok = fwritecolrs(reinterpret_cast<const RGBEPIX*>(&px[static_cast<size_t>(y) * kSize * 4]),
                     kSize, fp) == 0;
  return std::fclose(fp) == 0 && ok;
}

// Decodes the whole file into a float image, as a picture reader does.
bool decodeFile(FILE* fp, float* image) {
  std::rewind(fp);
  char fmt[MAXFMTLEN] = "32-bit_rle_rgbe";
  int w, h;
  if (checkheader(fp, fmt, nullptr) != 1 || fgetresolu(&w, &h, fp) < 0 || w != kSize || h != kSize)
    return false;
  for (int y = 0; y < h; y++)
    if (freadscan(image + static_cast<size_t>(y) * w * 3, w, fp) < 0) return false;
  return true;
}

void BM_DecodeFileToFloat(benchmark::State& state) {
  if (!ensurePicture()) return state.SkipWithError("cannot write the benchmark picture");
  FILE* fp = std::fopen(g_path.c_str(), "rb");
  if (fp == nullptr) return state.SkipWithError("cannot open the benchmark picture");
  std::vector<float> image(static_cast<size_t>(kSize) * kSize * 3);
  for (auto _ : state) {
    if (!decodeFile(fp, image.data())) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(image.data());
  }
  std::fclose(fp);
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_DecodeFileToFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same from a stream in memory, without file-system reads.
void BM_DecodeMemoryToFloat(benchmark::State& state) {
  if (!ensurePicture()) return state.SkipWithError("cannot write the benchmark picture");
  FILE* f = std::fopen(g_path.c_str(), "rb");
  if (f == nullptr) return state.SkipWithError("cannot open the benchmark picture");
  std::vector<char> bytes;
  char chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  FILE* fp = fmemopen(bytes.data(), bytes.size(), "rb");
  std::vector<float> image(static_cast<size_t>(kSize) * kSize * 3);
  for (auto _ : state) {
    if (!decodeFile(fp, image.data())) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(image.data());
  }
  std::fclose(fp);
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
  state.counters["file_MB"] = bytes.size() / 1e6;
}
BENCHMARK(BM_DecodeMemoryToFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

// Pixel-to-float conversion alone: the vector kernel (arg 1) against the plain loop (arg 0).
void BM_ColrsToFloat(benchmark::State& state) {
  std::vector<unsigned char> px(static_cast<size_t>(kSize) * 256 * 4);
  unsigned seed = 1;
  for (size_t i = 0; i < px.size(); i++) {
    const unsigned r = (seed = seed * 1103515245u + 12345u) >> 16;
    // Exponents of ordinary scene values (no subnormal results).
    px[i] = static_cast<unsigned char>(i % 4 == 3 ? 110 + r % 40 : r);
  }
  std::vector<float> out(px.size() / 4 * 3);
  const RGBEPIX* p = reinterpret_cast<const RGBEPIX*>(px.data());
  for (auto _ : state) {
    if (state.range(0))
      colrs_color(out.data(), p, px.size() / 4);
    else
      colrs_color_plain(out.data(), p, px.size() / 4);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(px.size() / 4));
}
BENCHMARK(BM_ColrsToFloat)->Arg(0)->Arg(1);

// Encodes the float picture to run-length scanlines (setcolr and the run search), written to
// the null device.
void BM_EncodeFloatToRLE(benchmark::State& state) {
  if (!ensurePicture()) return state.SkipWithError("cannot write the benchmark picture");
  FILE* in = std::fopen(g_path.c_str(), "rb");
  if (in == nullptr) return state.SkipWithError("cannot open the benchmark picture");
  std::vector<float> image(static_cast<size_t>(kSize) * kSize * 3);
  const bool ok = decodeFile(in, image.data());
  std::fclose(in);
  if (!ok) return state.SkipWithError("decode failed");
  FILE* out = std::fopen("/dev/null", "wb");
  if (out == nullptr) return state.SkipWithError("cannot open the null device");
  for (auto _ : state) {
    for (int y = 0; y < kSize; y++) {
      if (fwritescan(image.data() + static_cast<size_t>(y) * kSize * 3, kSize, out) < 0) {
        state.SkipWithError("encode failed");
        break;
      }
    }
  }
  std::fclose(out);
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_EncodeFloatToRLE)->Unit(benchmark::kMillisecond)->UseRealTime();

// The run search and output alone, from pixels already encoded.
void BM_EncodeColrsToRLE(benchmark::State& state) {
  const std::vector<unsigned char> px = makePixels();
  FILE* out = std::fopen("/dev/null", "wb");
  if (out == nullptr) return state.SkipWithError("cannot open the null device");
  for (auto _ : state) {
    for (int y = 0; y < kSize; y++)
      fwritecolrs(reinterpret_cast<const RGBEPIX*>(&px[static_cast<size_t>(y) * kSize * 4]), kSize,
                  out);
  }
  std::fclose(out);
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_EncodeColrsToRLE)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  g_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumerin_bench_rgbe_4096.hdr";
  int kept = 1;
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--picture=", 10) == 0)
      g_path = argv[i] + 10;
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
