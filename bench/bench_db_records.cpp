// Record lists of a 45-field photo-like schema: sorting 100,000 records by two keys, and
// writing and reading them as a tab-separated text table. Reports records per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"

namespace {

constexpr int kRecords = 100000;

struct PhotoLikeSchema : DBFieldInfo {
  PhotoLikeSchema() {
    const char* strings[] = {"file",    "folder", "title",      "subject",  "owner",
                             "caption", "make",   "model",      "software", "date",
                             "gmtdate", "lens",   "place",      "city",     "country",
                             "rights",  "format", "colorspace", "notes",    "source"};
    const char* ints[] = {"size",    "hash",   "width", "height",   "orient",  "flash", "asa",
                          "quality", "rating", "wbal",  "metering", "program", "redeye"};
    const char* floats[] = {"lat",      "lon",   "alt",   "bearing", "exposure",
                            "aperture", "focus", "focal", "bright"};
    for (const char* n : strings) Field(n, DBDTstring);
    for (const char* n : ints) Field(n, DBDTint);
    for (const char* n : floats) Field(n, DBDTfloat);
    Field("keywords", DBDTstring, nullptr, DBFDmulti);
    Field("albums", DBDTstring, nullptr, DBFDmulti);
    Field("crop", DBDTfloat, nullptr, DBFDmulti);
    details[GetID("size")].flags |= DBFDhashkey;
    details[GetID("hash")].flags |= DBFDhashkey;
  }
};

const PhotoLikeSchema& Schema() {
  static const PhotoLikeSchema schema;
  return schema;
}

// How many different values a string field takes across the catalogue (file names and dates
// are nearly all different; makes, owners and formats repeat).
unsigned Distinct(const char* name) {
  static const struct {
    const char* name;
    unsigned n;
  } kDistinct[] = {{"title", 10000}, {"caption", 10000}, {"notes", 2000},
                   {"subject", 500}, {"place", 300},     {"city", 200},
                   {"country", 40},  {"model", 30},      {"lens", 20}};
  for (const auto& d : kDistinct)
    if (std::strcmp(d.name, name) == 0) return d.n;
  return 8;
}

// Fills a list with reproducible records; a few fields are left unset as in real catalogues.
void Fill(DBRecordList& list) {
  const DBFieldInfo& s = Schema();
  std::mt19937 rng(12345);
  auto R = [&rng](unsigned m) { return static_cast<unsigned>(rng() % m); };
  list.Init(&s, kRecords);
  const char* words[] = {"sea", "sky", "alps", "snow", "family", "city", "night", "dog"};
  char text[96];
  for (int i = 0; i < kRecords; i++) {
    DBRecord& r = list[i];
    for (int id = 0; id < s.nfields; id++) {
      const DBFDetails& d = s.details[id];
      if (rng() % 10 == 0) continue;  // unset
      if (d.flags & DBFDmulti) {
        if (d.dtype == DBDTstring) {
          const char* kw[3] = {words[rng() % 8], words[rng() % 8], words[rng() % 8]};
          r.SetField(id, kw, 1 + static_cast<int>(rng() % 3));
        } else {
          const float crop[4] = {0.1f, 0.2f, 0.9f, 0.8f};
          r.SetField(id, crop, 4);
        }
      } else if (d.dtype == DBDTstring) {
        const char* name = s.mname[id];
        if (std::strcmp(name, "date") == 0 || std::strcmp(name, "gmtdate") == 0)
          std::snprintf(text, sizeof(text), "20%02u:%02u:%02u %02u:%02u:%02u", R(25), 1 + R(12),
                        1 + R(28), R(24), R(60), R(60));
        else if (std::strcmp(name, "file") == 0)
          std::snprintf(text, sizeof(text), "IMG_%05d.JPG", i);
        else if (std::strcmp(name, "folder") == 0)
          std::snprintf(text, sizeof(text), "/Users/me/Pictures/Trip %u", R(50));
        else
          std::snprintf(text, sizeof(text), "%s %u", name, R(Distinct(name)));
        r.SetField(id, text);
      } else if (d.dtype == DBDTint) {
        r.SetField(id, static_cast<long>(rng() % 20000000));
      } else {
        r.SetField(id, static_cast<float>(rng() % 360000) / 1000.0f - 180.0f);
      }
    }
  }
}

DBRecordList& Photos() {
  static DBRecordList list;
  if (list.GetSize() == 0) Fill(list);
  return list;
}

// Reorders the records at random by moving their bytes (a record is relocatable).
void Shuffle(DBRecordList& list, std::mt19937& rng) {
  DBRecord* r = list.Array();
  char tmp[sizeof(DBRecord)];
  for (int i = list.GetSize() - 1; i > 0; i--) {
    const int j = static_cast<int>(rng() % (i + 1));
    std::memcpy(tmp, static_cast<void*>(&r[i]), sizeof(DBRecord));
    std::memcpy(static_cast<void*>(&r[i]), static_cast<void*>(&r[j]), sizeof(DBRecord));
    std::memcpy(static_cast<void*>(&r[j]), tmp, sizeof(DBRecord));
  }
}

void BM_SortByFolderThenDate(benchmark::State& state) {
  DBRecordList& list = Photos();
  const DBFieldInfo& s = Schema();
  list.sord.Clear();
  list.sord.AddSort(s.GetID("folder"));
  list.sord.AddSort(s.GetID("date"), true);
  std::mt19937 rng(99);
  for (auto _ : state) {
    state.PauseTiming();
    Shuffle(list, rng);
    state.ResumeTiming();
    list.Sort();
  }
  state.SetItemsProcessed(state.iterations() * list.GetSize());
  state.counters["records"] = list.GetSize();
}
BENCHMARK(BM_SortByFolderThenDate)->Unit(benchmark::kMillisecond);

void BM_SortBySizeThenLatitude(benchmark::State& state) {
  DBRecordList& list = Photos();
  const DBFieldInfo& s = Schema();
  list.sord.Clear();
  list.sord.AddSort(s.GetID("size"));
  list.sord.AddSort(s.GetID("lat"), true);
  std::mt19937 rng(98);
  for (auto _ : state) {
    state.PauseTiming();
    Shuffle(list, rng);
    state.ResumeTiming();
    list.Sort();
  }
  state.SetItemsProcessed(state.iterations() * list.GetSize());
}
BENCHMARK(BM_SortBySizeThenLatitude)->Unit(benchmark::kMillisecond);

void BM_WriteText(benchmark::State& state) {
  DBRecordList& list = Photos();
  size_t bytes = 0;
  for (auto _ : state) {
    std::ostringstream os;
    list.Write(&os, '\t');
    bytes = os.str().size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * list.GetSize());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteText)->Unit(benchmark::kMillisecond);

void BM_ReadText(benchmark::State& state) {
  DBRecordList& list = Photos();
  std::ostringstream os;
  list.Write(&os, '\t');
  const std::string text = os.str();
  int got = 0;
  for (auto _ : state) {
    std::istringstream is(text);
    DBRecordList back(&Schema());
    got = back.Read(&is, nullptr);
    benchmark::DoNotOptimize(got);
    state.PauseTiming();  // releasing the records is not part of reading them
    back.Resize(0);
    state.ResumeTiming();
  }
  if (got != list.GetSize()) state.SkipWithError("records lost in the text round trip");
  state.SetItemsProcessed(state.iterations() * list.GetSize());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
