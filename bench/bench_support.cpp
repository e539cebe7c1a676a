// Support-library throughput: memhash over large buffers (its values key every catalogue's
// content hashes), natural-order string comparison (sorting file names) and names shown as a
// cell or a caption shows them.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "support/abitmap.h"
#include "support/bytetext.h"
#include "support/pstrings.h"

namespace {

std::vector<unsigned char> RandomBytes(size_t n) {
  std::mt19937 rng(42);
  std::vector<unsigned char> v(n);
  for (auto& c : v) c = static_cast<unsigned char>(rng());
  return v;
}

void BM_memhash(benchmark::State& state) {
  const auto buf = RandomBytes(static_cast<size_t>(state.range(0)));
  const int nbits = static_cast<int>(state.range(1));
  for (auto _ : state)
    benchmark::DoNotOptimize(memhash(buf.data(), static_cast<ptrdiff_t>(buf.size()), nbits));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_memhash)
    ->Args({1 << 20, 32})
    ->Args({1 << 20, 31})
    ->Args({1 << 20, 16})
    ->Args({64, 31});

void BM_memhash_plain(benchmark::State& state) {
  const auto buf = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(memhash_plain(buf.data(), static_cast<ptrdiff_t>(buf.size()), 32));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_memhash_plain)->Arg(1 << 20);

// File names as a camera and a user make them: prefixes, numbers of varying width, cases.
std::vector<std::string> FileNames(size_t n) {
  static const char* prefixes[] = {"IMG_", "img_", "DSC", "Holiday ", "P10", "scan-"};
  std::mt19937 rng(7);
  std::vector<std::string> v;
  for (size_t i = 0; i < n; ++i)
    v.push_back(std::string(prefixes[rng() % 6]) + std::to_string(rng() % 100000) +
                (rng() % 2 ? ".JPG" : ".tif"));
  return v;
}

void BM_strcmp_nc(benchmark::State& state) {
  const auto names = FileNames(4096);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(strcmp_nc(names[i & 4095].c_str(), names[(i * 7 + 1) & 4095].c_str()));
    ++i;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_strcmp_nc);

// A name as a cell or a caption shows it: the look whether it shows as it is (no new text),
// and the shown text made for a name of other bytes (one a hundred here, as on a card copied
// from an old camera).
void BM_shown_names(benchmark::State& state) {
  auto names = FileNames(4096);
  for (size_t i = 0; i < names.size(); i += 100) names[i][1] = '\xE9';
  size_t i = 0, made = 0;
  for (auto _ : state) {
    const std::string& n = names[i++ & 4095];
    if (!ShownAsIs(n, kShownName)) {
      benchmark::DoNotOptimize(ShownName(n));
      ++made;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["made"] = double(made);
}
BENCHMARK(BM_shown_names);

void BM_bitmap_expand(benchmark::State& state) {
  ABitMap2 m(1024, 768, false);
  std::mt19937 rng(3);
  for (int k = 0; k < 2000; ++k) m.ABitMap::Set(rng() % m.Length());
  for (auto _ : state) {
    ABitMap2 g = m;
    g.Expand(3.0, true);
    benchmark::DoNotOptimize(g.SumTotal());
  }
}
BENCHMARK(BM_bitmap_expand)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
