// The undoable catalogue store and the timeline at catalogue scale. Measured: 1,000 labelled
// steps (10 additions and 5 deletions each) committed into a catalogue of 100,000 photo
// records, then all undone and all redone (steps per processor second of each phase: the
// steps touch no disk); 100,000 capture dates of 500 subjects over 10 years inserted into
// a timeline; and the look Delete Files takes, for each file it deletes, for a copy of the
// picture in another of the record's folders (1,000 files of 200 KB: records that know one
// folder, the common case, and records that know two with the copy in the second, whose file
// is hashed), beside the deletion of the same files itself (unlink).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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

// 1,000 files of 200 KB in dir/a (and, with copies, the same in dir/b), and their records:
// each knows dir/a, and with copies dir/b first.
constexpr int kFiles = 1000;
bool MakeFiles(const std::string& dir, bool copies, std::vector<DBRecord>* recs) {
  std::string bytes(200000, '\0');
  recs->assign(kFiles, DBRecord());
  for (const char* sub : {"/a", "/b"}) mkdir((dir + sub).c_str(), 0755);
  for (int i = 0; i < kFiles; i++) {
    const std::string name = "IMG_" + std::to_string(i) + ".JPG";
    for (size_t k = 0; k < bytes.size(); k += 4096) bytes[k] = static_cast<char>(i * 7 + k);
    for (const char* sub : {"/a/", "/b/"}) {
      if (sub[1] == 'b' && !copies) continue;
      std::ofstream out(dir + sub + name, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      if (!out) return false;
    }
    DBRecord& r = (*recs)[static_cast<size_t>(i)];
    r.Init(&PDBFInfo);
    recordFileInfo(&r, (dir + "/a/" + name).c_str());
    if (copies) recordFilePath(&r, (dir + "/b/" + name).c_str());
  }
  return true;
}

void KeepForCopy(benchmark::State& state) {
  const bool copies = state.range(0) == 1;
  char dir[] = "/tmp/lumerin_bench_keep_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::vector<DBRecord> recs;
  if (!MakeFiles(dir, copies, &recs)) state.SkipWithError("cannot write the files");
  int kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (int i = 0; i < kFiles; i++) {
      DBRecord keep;
      const std::string path = std::string(dir) + "/a/IMG_" + std::to_string(i) + ".JPG";
      kept += PkeepForCopy(&keep, recs[static_cast<size_t>(i)], path.c_str());
    }
  }
  if (kept != (copies ? kFiles : 0)) state.SkipWithError("copies not found as made");
  state.counters["s_per_file"] =
      benchmark::Counter(static_cast<double>(kFiles) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove_all(dir);
}
BENCHMARK(KeepForCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The deletion itself: the same 1,000 files made again (untimed) and unlinked.
void UnlinkFiles(benchmark::State& state) {
  char dir[] = "/tmp/lumerin_bench_keep_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::vector<DBRecord> recs;
  for (auto _ : state) {
    state.PauseTiming();
    if (!MakeFiles(dir, false, &recs)) state.SkipWithError("cannot write the files");
    state.ResumeTiming();
    for (int i = 0; i < kFiles; i++)
      unlink((std::string(dir) + "/a/IMG_" + std::to_string(i) + ".JPG").c_str());
  }
  state.counters["s_per_file"] =
      benchmark::Counter(static_cast<double>(kFiles) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove_all(dir);
}
BENCHMARK(UnlinkFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
