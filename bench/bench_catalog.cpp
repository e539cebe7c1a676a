// The undoable catalogue store and the timeline at catalogue scale. Measured: 1,000 labelled
// steps (10 additions and 5 deletions each) committed into a catalogue of 100,000 photo
// records, then all undone and all redone (steps per processor second of each phase: the
// steps touch no disk); and 100,000 capture dates of 500 subjects over 10 years inserted into
// a timeline.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "catalog/pixhaven.h"
#include "support/cache.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kSteps = 1000;

// Photo record i with the fields a catalogue entry usually has.
void Photo(DBRecord* r, const DBFieldInfo* s, int i) {
  r->Init(s);
  char text[64];
  snprintf(text, sizeof(text), "IMG_%06d.JPG", i);
  r->SetField(PDBFfile, text);
  snprintf(text, sizeof(text), "/Volumes/Photos/%04d/%02d", 2000 + i % 10, 1 + i % 12);
  r->SetField(PDBFlocation, text);
  r->SetField(PDBFnbytes, static_cast<long>(800000 + i * 13 % 400000));
  r->SetField(PDBFhashval, static_cast<long>((i * 2654435761u) & 0x7FFFFFFF));
  r->SetField(PDBFformat, "JPEG");
  r->SetField(PDBFmodtime, static_cast<long>(1100000000 + i * 60));
  snprintf(text, sizeof(text), "%04d:%02d:%02d %02d:%02d:%02d", 2000 + i % 10, 1 + i % 12,
           1 + i % 28, i % 24, i % 60, i * 7 % 60);
  r->SetField(PDBFcapdate, text);
  snprintf(text, sizeof(text), "Subject %d", i % 500);
  r->SetField(PDBFsubject, text);
  const char* kw[2] = {"holiday", i % 2 ? "family" : "beach"};
  r->SetField(PDBFkeyword, kw, 2);
  r->SetField(PDBFxsize, 3072L);
  r->SetField(PDBFysize, 2048L);
  r->SetField(PDBFexptime, 1.0f / (60 + i % 200));
  r->SetField(PDBFaperture, 2.8f + (i % 8));
  r->SetField(PDBFmake, "Camera Maker");
  r->SetField(PDBFmodel, "Model 10");
}

void UndoRedoSteps(benchmark::State& state) {
  char path[] = "/tmp/lumerin_bench_catalog_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  close(fd);
  std::vector<DBRecord> recs(kRecords);
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(path, std::ios::trunc).close();
    std::unique_ptr<std::fstream> fs(
        new std::fstream(path, std::ios::in | std::ios::out | std::ios::binary));
    PDBHeader header;
    double commit = 0, undo = 0, redo = 0;
    bool sound = true;
    {
      PDBAccess db(&header, fs.get(), false);
      for (int i = 0; i < kRecords; i++) Photo(&recs[i], &header, i);
      db.AddRecords(recs.data(), kRecords);
      db.ClearChanges();
      state.ResumeTiming();

      std::vector<DBRecord> add(10);
      char label[32];
      double t0 = cpuTime();
      for (int s = 0; s < kSteps; s++) {
        snprintf(label, sizeof(label), "Step %d", s);
        db.Checkpoint(label, nullptr);
        for (int j = 0; j < 10; j++) Photo(&add[j], &header, kRecords + s * 10 + j);
        db.AddRecords(add.data(), 10);
        db.DeleteRecords(&recs[s * 5], 5);
      }
      db.Checkpoint(nullptr, nullptr);
      double t1 = cpuTime();
      for (int s = 0; s < kSteps; s++) sound &= db.Undo() != nullptr;
      double t2 = cpuTime();
      sound &= db.TotalRecords() == kRecords;
      for (int s = 0; s < kSteps; s++) sound &= db.Redo() != nullptr;
      db.Checkpoint(nullptr, nullptr);
      double t3 = cpuTime();
      sound &= db.TotalRecords() == kRecords + kSteps * 5;
      commit = t1 - t0;
      undo = t2 - t1;
      redo = t3 - t2;
      state.PauseTiming();
      db.Close();
    }
    header.Attach(nullptr, true);
    state.ResumeTiming();
    if (!sound) state.SkipWithError("the store lost its steps");
    state.counters["commit_steps_per_s"] = kSteps / commit;
    state.counters["undo_steps_per_s"] = kSteps / undo;
    state.counters["redo_steps_per_s"] = kSteps / redo;
  }
  unlink(path);
}
BENCHMARK(UndoRedoSteps)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void TimelineInsert(benchmark::State& state) {
  std::vector<std::string> subjects, dates;
  std::mt19937 rng(500);
  for (int i = 0; i < kRecords; i++) {
    char text[32];
    snprintf(text, sizeof(text), "Subject %u", static_cast<unsigned>(rng() % 500));
    subjects.push_back(text);
    unsigned day = rng() % 3650, sec = rng() % 86400;
    snprintf(text, sizeof(text), "%04u:%02u:%02u %02u:%02u:%02u", 2000 + day / 365,
             1 + day % 365 / 31 % 12, 1 + day % 28, sec / 3600, sec / 60 % 60, sec % 60);
    dates.push_back(text);
  }
  size_t events = 0;
  for (auto _ : state) {
    PTimeline tl;
    for (int i = 0; i < kRecords; i++) {
      PTimeLink* e = tl.timel->InsertEvent(subjects[i].c_str(), dates[i].c_str());
      if (e != nullptr) tl.timel = e;
    }
    events = 0;
    for (const PTimeLink* e = tl.FirstEvent(); e != nullptr; e = e->NextEvent()) events++;
  }
  state.counters["events"] = static_cast<double>(events);
}
BENCHMARK(TimelineInsert)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
