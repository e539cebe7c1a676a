// The database file at catalogue sizes against SQLite, in the same run: for each size, adding
// the records end to end (built from the photos' values, added in batches, synced through the
// journal and closed; SQLite: one transaction, then closed), reopening to the first identity
// look-up with the file in the system's cache (warm) and dropped from it (cold), 10,000
// identity look-ups (name, size, hash) with everything resident and under a 64 MB budget
// (SQLite: cache_size of 64 MB), a range query over two fields, and adding one record to the
// full file. Our reopen is timed with the index file beside the database and without it, and
// read-only (a reader of a file another process may be syncing; SQLite: SQLITE_OPEN_READONLY).
// Counters: file size and peak resident memory of the step (the process's high-water mark,
// reset before it). SQLite's pragmas are set explicitly: journal_mode=DELETE,
// synchronous=FULL; cache_size -1048576 (1 GB, all resident) or -65536 (64 MB; also for the
// insert).
//
// Bulk edits of a catalogue (--db_bulk): a keyword set on 100,000 records (the first ones) as one
// undoable step through the catalogue's store, with those 100,000 displayed: the commit and the
// display updated, the sync after it, the undo and the redo (each with the display updated),
// and the file size after 10 rounds of setting the keyword, syncing, undoing and syncing.
// SQLite: the same rows' keywords changed by one UPDATE each way, each committed. The file of
// each size is generated once in /tmp and kept ("lumerin_bulk_*"); each run works on a copy.
// Ours runs without a memory budget and under the program's default of 32 MB.
//
// Sizes: --db_sizes=100000,300000 by default; --db_sizes=1000000 runs the largest by hand.
// --db_keep leaves the files (named on the standard error) for checking.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "catalog/pdbaccess.h"
#include "db_photo.h"
#include "support/cache.h"

namespace {

using namespace benchdb;

constexpr int kLookups = 10000;
constexpr uint64_t kBudget = 64ull << 20;
constexpr int kBatch = 10000;
// Each store's file is made once per run, in a fresh process (later builds in the same process
// are timed from a removed file: raise this to average several).
constexpr int kInsertRuns = 1;

// The photos looked up at size n: spread over the whole catalogue.
std::vector<Photo> KeyPhotos(int n) {
  std::vector<Photo> v;
  v.reserve(kLookups);
  for (int k = 0; k < kLookups; k++)
    v.push_back(MakePhoto(static_cast<int>((static_cast<long long>(k) * 7919) % n)));
  return v;
}

// Range of the two-field query: a latitude band and a time window.
constexpr float kLatLo = 40.0f, kLatHi = 41.0f;

// Peak resident memory since the last reset, in MB; the reset frees what the allocator holds.
void ResetPeak() {
  malloc_trim(0);
  int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd >= 0) {
    if (write(fd, "5", 1) != 1) {
    }
    close(fd);
  }
}
double PeakMB() {
  std::ifstream st("/proc/self/status");
  std::string line;
  while (std::getline(st, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}
double FileMB(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0 ? static_cast<double>(sb.st_size) / (1 << 20) : 0;
}
// Drops the file from the system's cache, so that the next open reads the disk.
void DropFromCache(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

std::string PathFor(const char* tag, int n) {
  char buf[128];
  snprintf(buf, sizeof(buf), "/tmp/lumerin_scale_%s_%d_%d", tag, n, static_cast<int>(getpid()));
  return buf;
}

// Times opening the store at path (built by DB(path, args...)) through to its first identity
// look-up, with the file dropped from the system's cache first when range(1) asks for cold.
// Closing is not timed. For our store range(2) chooses whether the index file beside the
// database is there (it is removed before each open without it); the counter blocks_read
// tells how many blocks the open and the look-up read.
template <class DB, class... Args>
void TimeReopen(benchmark::State& state, const std::string& path, Args... args) {
  int n = static_cast<int>(state.range(0));
  bool cold = state.range(1) != 0;
  bool index = state.range(2) != 0;
  std::string side = path + "-index";
  Photo key = MakePhoto(n / 2);
  if (index) {
    DB d(path, args...);  // a close after a full look-up leaves the index file
    d.Find(key);
  }
  double blocks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!index) unlink(side.c_str());
    if (cold) {
      DropFromCache(path);
      DropFromCache(side);
    }
    state.ResumeTiming();
    std::unique_ptr<DB> d(new DB(path, args...));
    if (d->Find(key) != 1) state.SkipWithError("record not found");
    state.PauseTiming();
    blocks = d->BlocksRead();
    d.reset();
    state.ResumeTiming();
  }
  if (blocks >= 0) state.counters["blocks_read"] = blocks;
}

// Times the first of keys' look-ups on its own (counter first_ms), runs warm() untimed, then
// times all the look-ups per iteration.
template <class DB, class Warm>
void TimeLookups(benchmark::State& state, DB& d, const std::vector<Photo>& keys, Warm warm) {
  double t0 = wallTime();
  d.Find(keys[0]);
  state.counters["first_ms"] = 1000 * (wallTime() - t0);
  warm();
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const Photo& p : keys) found += d.Find(p);
  }
  if (found != kLookups) state.SkipWithError("look-ups missed records");
}

// ---------------------------------------------------------------------------------------
// Ours

struct OurDB {
  explicit OurDB(const std::string& p, bool readonly = false) : path(p), file(p) {
    std::ios::openmode mode = std::ios::in | std::ios::binary;
    if (!readonly) mode |= std::ios::out;
    fs.reset(new std::fstream(path, mode));
    db.reset(new DBAccess(&header, fs.get(), &file, readonly));
  }
  ~OurDB() {
    db->Close();
    db.reset();
    header.Attach(nullptr, true);
    fs.reset();
  }
  int Find(const Photo& p) {
    DBRecord key(&header);
    key.SetField(0, p.file.c_str());
    key.SetField(2, static_cast<long>(p.nbytes));
    key.SetField(3, static_cast<long>(p.hash));
    DBSearch s(db.get());
    s.AddSelector(key, false);
    DBRecord out[2];
    return s.FindRecords(out, 2);
  }
  double BlocksRead() const {
    long long k = 0;
    for (const DBAccess* p = db.get(); p != nullptr; p = p->NextPage()) k += p->NumRestores();
    return static_cast<double>(k);
  }
  std::string path;
  DBFile file;
  DBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<DBAccess> db;
};

std::map<int, std::string> gOurFiles;

// Writes our database of photos [0, n) at path (where nothing is yet).
void WriteOurs(const std::string& path, int n) {
  { std::ofstream(path, std::ios::trunc); }
  OurDB d(path);
  static_cast<DBFieldInfo&>(d.header) = Schema();
  std::vector<DBRecord> recs(kBatch);
  for (int i = 0; i < n; i += kBatch) {
    int m = n - i < kBatch ? n - i : kBatch;
    for (int k = 0; k < m; k++) FillRecord(&recs[k], MakePhoto(i + k), &d.header);
    d.db->AddRecords(recs.data(), m);
  }
  d.db->Sync();
}

// The file of n records, made once (by the insert benchmark when it runs first).
const std::string& OurFile(int n) {
  std::string& path = gOurFiles[n];
  if (!path.empty()) return path;
  path = PathFor("ours", n);
  unlink(path.c_str());
  WriteOurs(path, n);
  return path;
}

// Removes our database at path with the files beside it.
void RemoveOurs(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-journal.new", "-index", "-index.tmp"})
    unlink((path + suffix).c_str());
}

// The file of an earlier run is removed, and the peak reset, untimed (as for SQLite).
void BM_Ours_Insert(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto it = gOurFiles.find(n);
    if (it != gOurFiles.end()) {
      RemoveOurs(it->second);
      gOurFiles.erase(it);
    }
    ResetPeak();
    state.ResumeTiming();
    const std::string& path = OurFile(n);
    state.counters["file_MB"] = FileMB(path);
  }
  state.counters["peak_MB"] = PeakMB();
}

void BM_Ours_Reopen(benchmark::State& state) {
  TimeReopen<OurDB>(state, OurFile(static_cast<int>(state.range(0))));
}

// Read-only, with the index file that a writable open and close leave.
void BM_Ours_ReopenReadOnly(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  const std::string& path = OurFile(n);
  {
    OurDB d(path);
    d.Find(MakePhoto(n / 2));
  }
  TimeReopen<OurDB>(state, path, true);
}

// 10,000 look-ups; under the budget the database is opened afresh under it (its first look-up
// is timed on its own), and the peak memory is of that open and the look-ups.
void BM_Ours_Lookup(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  bool budget = state.range(1) != 0;
  const std::string& path = OurFile(n);
  std::vector<Photo> keys = KeyPhotos(n);
  ResetPeak();
  CacheObject::tab.memoryBudget = budget ? kBudget : 0;
  {
    OurDB d(path);
    // Resident: every page the look-ups need is read first, as SQLite's cache is filled
    // (the index file spares the first look-up reading every page).
    TimeLookups(state, d, keys, [&] {
      if (!budget)
        for (const Photo& p : keys) d.Find(p);
    });
  }
  state.counters["peak_MB"] = PeakMB();
  CacheObject::tab.memoryBudget = 0;
}

void BM_Ours_Range(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  OurDB d(OurFile(n));
  DBRecord lo(&d.header), hi(&d.header);
  lo.SetField(FieldID("Latitude"), kLatLo);
  hi.SetField(FieldID("Latitude"), kLatHi);
  lo.SetField(FieldID("ModTime"), 1100000000L + n / 5 * 60L);
  hi.SetField(FieldID("ModTime"), 1100000000L + n / 5 * 120L);
  DBSearch s(d.db.get());
  s.AddSelector(lo, hi, false);
  DBRecordList list(&d.header);
  s.FindAll(&list);
  int found = 0;
  for (auto _ : state) {
    list.Resize(0);
    found = s.FindAll(&list);
  }
  state.counters["matches"] = found;
}

// One record added to the full file, 100 times over (no sync in the timing); the file keeps
// them, so this runs last at each size.
void BM_Ours_AddOne(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  OurDB d(OurFile(n));
  DBRecord rec(&d.header);
  FillRecord(&rec, MakePhoto(n), &d.header);
  d.db->AddRecord(rec);  // the last page read once
  int i = n + 1;
  for (auto _ : state) {
    state.PauseTiming();
    FillRecord(&rec, MakePhoto(i++), &d.header);
    state.ResumeTiming();
    d.db->AddRecord(rec);
  }
}

// ---------------------------------------------------------------------------------------
// Bulk edits

constexpr int kBulk = 100000;
constexpr int kBulkRounds = 10;

// A copy of the kept file of n records made by make(path), at work.
template <class Make>
bool CopyOfKept(const std::string& kept, const std::string& work, Make make) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(kept, ec)) {
    std::string part = kept + ".part";
    make(part);
    fs::remove(part + "-index", ec);  // of the file under its first name
    fs::rename(part, kept, ec);
    if (ec) return false;
  }
  fs::copy_file(kept, work, fs::copy_options::overwrite_existing, ec);
  return !ec;
}

struct OurCatalog {
  explicit OurCatalog(const std::string& p) : path(p), file(p) {
    fs.reset(new std::fstream(path, std::ios::in | std::ios::out | std::ios::binary));
    db.reset(new PDBAccess(nullptr, nullptr, false));
    db->Init(&header, fs.get(), &file, false);
  }
  ~OurCatalog() {
    db->Close();
    db.reset();
    header.Attach(nullptr, true);
  }
  std::string path;
  DBFile file;
  DBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<PDBAccess> db;
};

// Sets the keyword "bulk" on every record of shown as one named step, the display following.
bool SetKeyword(PDBAccess* db, DBRecordList* shown) {
  const int kw = FieldID("Keyword");
  DBRecordList changed(db->GetHeader());
  const int n = shown->GetSize();
  if (changed.Resize(n) != n) return false;
  for (int i = 0; i < n; i++) {
    changed[i] = shown->Get(i);
    const char* v[4];
    int k = changed[i][kw].Get(v, 3);
    v[k++] = "bulk";
    changed[i].SetField(kw, v, k);
  }
  db->Checkpoint("Set Keyword", nullptr);
  if (db->DeleteRecords(shown->GetArray(), n) != n) return false;
  if (db->AddRecords(changed.GetArray(), n) != n) return false;
  if (!db->Checkpoint(nullptr, nullptr)) return false;
  return db->UndoList()->ReflectChange(shown, false);
}

void BM_Ours_BulkEdit(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  std::string work = PathFor("bulk", n);
  char kept[96];
  snprintf(kept, sizeof(kept), "/tmp/lumerin_bulk_ours_%d", n);
  for (auto _ : state) {
    RemoveOurs(work);
    if (!CopyOfKept(kept, work, [&](const std::string& part) {
          RemoveOurs(part);
          WriteOurs(part, n);
        })) {
      state.SkipWithError("no catalogue file");
      return;
    }
    double first = FileMB(work);
    // The program's default memory budget, or none.
    CacheObject::tab.memoryBudget = static_cast<uint64_t>(state.range(1)) << 20;
    OurCatalog c(work);
    PDBAccess* db = c.db.get();
    const int shownN = n < kBulk ? n : kBulk;
    DBRecordList shown(&c.header);
    shown.Resize(shownN);
    bool sound = db->GetRecords(shown.Array(), shownN, 0) == shownN;

    double t0 = wallTime();
    sound &= SetKeyword(db, &shown);
    double t1 = wallTime();
    sound &= db->Sync();
    double t2 = wallTime();
    const DBChangeList* u = db->Undo();
    sound &= u != nullptr && u->ReflectChange(&shown, true);
    double t3 = wallTime();
    const DBChangeList* r = db->Redo();
    sound &= r != nullptr && db->Checkpoint(nullptr, nullptr) && r->ReflectChange(&shown, false);
    double t4 = wallTime();
    // Back to the start, then the rounds.
    u = db->Undo();
    sound &= u != nullptr && u->ReflectChange(&shown, true) && db->Sync();
    for (int k = 0; k < kBulkRounds && sound; k++) {
      sound &= SetKeyword(db, &shown) && db->Sync();
      u = db->Undo();
      sound &= u != nullptr && u->ReflectChange(&shown, true) && db->Sync();
    }
    sound &= db->TotalRecords() == n && shown.GetSize() == shownN;
    if (!sound) state.SkipWithError("the bulk edit went wrong");
    state.counters["set_commit_s"] = t1 - t0;
    state.counters["set_sync_s"] = t2 - t1;
    state.counters["undo_s"] = t3 - t2;
    state.counters["redo_s"] = t4 - t3;
    state.counters["file_MB"] = first;
    state.counters["file_MB_after_rounds"] = FileMB(work);
  }
  CacheObject::tab.memoryBudget = 0;
  RemoveOurs(work);
}

// ---------------------------------------------------------------------------------------
// SQLite

#ifdef LUMERIN_HAVE_SQLITE

struct SqlDB {
  SqlDB(const std::string& p, int cacheKB, bool readonly = false) : path(p) {
    sqlite3_open_v2(path.c_str(), &db,
                    readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                    nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    std::string cache = "PRAGMA cache_size=-" + std::to_string(cacheKB);
    sqlite3_exec(db, cache.c_str(), nullptr, nullptr, nullptr);
  }
  ~SqlDB() {
    sqlite3_finalize(find);
    sqlite3_close(db);
  }
  int Find(const Photo& p) {
    if (find == nullptr)
      sqlite3_prepare_v2(db, "SELECT * FROM photos WHERE NBytes = ? AND HashVal = ? AND File = ?",
                         -1, &find, nullptr);
    sqlite3_bind_int(find, 1, p.nbytes);
    sqlite3_bind_int(find, 2, p.hash);
    sqlite3_bind_text(find, 3, p.file.c_str(), -1, SQLITE_STATIC);
    int n = 0;
    while (sqlite3_step(find) == SQLITE_ROW) {
      for (int c = 0; c < 45; c++) benchmark::DoNotOptimize(sqlite3_column_text(find, c));
      n++;
    }
    sqlite3_reset(find);
    return n;
  }
  double BlocksRead() const { return -1; }
  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt* find = nullptr;
};

constexpr int kAllKB = 1048576, kBudgetKB = 65536;
std::map<int, std::string> gSqlFiles;

void RemoveSql(const std::string& path) {
  for (const char* suffix : {"", "-journal"}) unlink((path + suffix).c_str());
}

const std::string& SqlFile(int n) {
  std::string& path = gSqlFiles[n];
  if (!path.empty()) return path;
  path = PathFor("sqlite", n);
  RemoveSql(path);
  SqlDB d(path, kBudgetKB);
  sqlite3_exec(d.db, CreateTableSQL().c_str(), nullptr, nullptr, nullptr);
  std::string sql = "INSERT INTO photos VALUES (";
  for (int i = 0; i < 45; i++) sql += i ? ",?" : "?";
  sql += ")";
  sqlite3_stmt* st = nullptr;
  sqlite3_exec(d.db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(d.db, sql.c_str(), -1, &st, nullptr);
  for (int i = 0; i < n; i++) {
    Photo p = MakePhoto(i);
    BindPhoto(st, p);
    sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(d.db, "COMMIT", nullptr, nullptr, nullptr);
  return path;
}

void BM_SQLite_Insert(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto it = gSqlFiles.find(n);
    if (it != gSqlFiles.end()) {
      RemoveSql(it->second);
      gSqlFiles.erase(it);
    }
    ResetPeak();
    state.ResumeTiming();
    state.counters["file_MB"] = FileMB(SqlFile(n));
  }
  state.counters["peak_MB"] = PeakMB();
}

void BM_SQLite_Reopen(benchmark::State& state) {
  TimeReopen<SqlDB>(state, SqlFile(static_cast<int>(state.range(0))), kBudgetKB);
}

void BM_SQLite_ReopenReadOnly(benchmark::State& state) {
  TimeReopen<SqlDB>(state, SqlFile(static_cast<int>(state.range(0))), kBudgetKB, true);
}

void BM_SQLite_Lookup(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  bool budget = state.range(1) != 0;
  const std::string& path = SqlFile(n);
  std::vector<Photo> keys = KeyPhotos(n);
  ResetPeak();
  {
    SqlDB d(path, budget ? kBudgetKB : kAllKB);
    TimeLookups(state, d, keys, [&] {
      if (!budget)
        for (const Photo& p : keys) d.Find(p);
    });
  }
  state.counters["peak_MB"] = PeakMB();
}

void BM_SQLite_Range(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  SqlDB d(SqlFile(n), kAllKB);
  int found = TimeRangeQuery(state, d.db, kLatLo, kLatHi, 1100000000 + n / 5 * 60,
                             1100000000 + n / 5 * 120, [](sqlite3_stmt* st) {
                               for (int c = 0; c < 45; c++)
                                 benchmark::DoNotOptimize(sqlite3_column_text(st, c));
                             });
  state.counters["matches"] = found;
}

// The same rows' keywords set and put back, each a committed UPDATE.
void BM_SQLite_BulkEdit(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  std::string work = PathFor("bulksql", n);
  char kept[96];
  snprintf(kept, sizeof(kept), "/tmp/lumerin_bulk_sqlite_%d", n);
  const int k = n < kBulk ? n : kBulk;
  const std::string set =
      "UPDATE photos SET Keyword = Keyword || ',bulk' WHERE rowid <= " + std::to_string(k);
  const std::string undo =
      "UPDATE photos SET Keyword = substr(Keyword, 1, length(Keyword) - 5) WHERE rowid <= " +
      std::to_string(k);
  auto run = [](SqlDB& d, const std::string& sql) {
    return sqlite3_exec(d.db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
           sqlite3_exec(d.db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
           sqlite3_exec(d.db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  for (auto _ : state) {
    RemoveSql(work);
    if (!CopyOfKept(kept, work, [&](const std::string& part) {
          RemoveSql(part);
          std::filesystem::copy_file(SqlFile(n), part);
        })) {
      state.SkipWithError("no SQLite file");
      return;
    }
    double first = FileMB(work);
    SqlDB d(work, kAllKB);
    double t0 = wallTime();
    bool sound = run(d, set);
    double t1 = wallTime();
    sound &= run(d, undo);
    double t2 = wallTime();
    sound &= run(d, set);
    double t3 = wallTime();
    sound &= run(d, undo);
    for (int r = 0; r < kBulkRounds && sound; r++) sound &= run(d, set) && run(d, undo);
    if (!sound) state.SkipWithError("the bulk edit went wrong");
    state.counters["set_commit_s"] = t1 - t0;
    state.counters["undo_s"] = t2 - t1;
    state.counters["redo_s"] = t3 - t2;
    state.counters["file_MB"] = first;
    state.counters["file_MB_after_rounds"] = FileMB(work);
  }
  RemoveSql(work);
}

#endif  // LUMERIN_HAVE_SQLITE

bool gKeep = false;
bool gBulk = false;

std::vector<int> ParseSizes(int* argc, char** argv) {
  std::vector<int> sizes;
  int out = 1;
  for (int i = 1; i < *argc; i++) {
    if (std::strncmp(argv[i], "--db_sizes=", 11) == 0) {
      for (const char* s = argv[i] + 11; *s != 0;) {
        char* end = nullptr;
        long v = std::strtol(s, &end, 10);
        if (end == s) break;
        if (v > 0 && v <= 10000000) sizes.push_back(static_cast<int>(v));
        s = *end == ',' ? end + 1 : end;
      }
    } else if (std::strcmp(argv[i], "--db_keep") == 0) {
      gKeep = true;
    } else if (std::strcmp(argv[i], "--db_bulk") == 0) {
      gBulk = true;
    } else {
      argv[out++] = argv[i];
    }
  }
  *argc = out;
  if (sizes.empty()) sizes = {100000, 300000};
  return sizes;
}

void Register(const std::vector<int>& sizes) {
  using benchmark::RegisterBenchmark;
  for (int n : sizes) {
    std::string tag = "/" + std::to_string(n);
    if (gBulk) {
      RegisterBenchmark(("Ours_BulkEdit" + tag).c_str(), BM_Ours_BulkEdit)
          ->Args({n, 0})
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      RegisterBenchmark(("Ours_BulkEditBudget32MB" + tag).c_str(), BM_Ours_BulkEdit)
          ->Args({n, 32})
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
#ifdef LUMERIN_HAVE_SQLITE
      RegisterBenchmark(("SQLite_BulkEdit" + tag).c_str(), BM_SQLite_BulkEdit)
          ->Arg(n)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
#endif
      continue;
    }
    RegisterBenchmark(("Ours_Insert" + tag).c_str(), BM_Ours_Insert)
        ->Arg(n)
        ->Iterations(kInsertRuns)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenWarm" + tag).c_str(), BM_Ours_Reopen)
        ->Args({n, 0, 1})
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenCold" + tag).c_str(), BM_Ours_Reopen)
        ->Args({n, 1, 1})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenReadOnlyWarm" + tag).c_str(), BM_Ours_ReopenReadOnly)
        ->Args({n, 0, 1})
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenReadOnlyCold" + tag).c_str(), BM_Ours_ReopenReadOnly)
        ->Args({n, 1, 1})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenWarmNoIndex" + tag).c_str(), BM_Ours_Reopen)
        ->Args({n, 0, 0})
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_ReopenColdNoIndex" + tag).c_str(), BM_Ours_Reopen)
        ->Args({n, 1, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_Lookup10k" + tag).c_str(), BM_Ours_Lookup)
        ->Args({n, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_Lookup10kBudget64MB" + tag).c_str(), BM_Ours_Lookup)
        ->Args({n, 1})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_Range" + tag).c_str(), BM_Ours_Range)
        ->Arg(n)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("Ours_AddOne" + tag).c_str(), BM_Ours_AddOne)
        ->Arg(n)
        ->Iterations(100)
        ->Unit(benchmark::kMicrosecond);
#ifdef LUMERIN_HAVE_SQLITE
    RegisterBenchmark(("SQLite_Insert" + tag).c_str(), BM_SQLite_Insert)
        ->Arg(n)
        ->Iterations(kInsertRuns)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_ReopenWarm" + tag).c_str(), BM_SQLite_Reopen)
        ->Args({n, 0, 0})
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_ReopenCold" + tag).c_str(), BM_SQLite_Reopen)
        ->Args({n, 1, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_ReopenReadOnlyWarm" + tag).c_str(), BM_SQLite_ReopenReadOnly)
        ->Args({n, 0, 0})
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_ReopenReadOnlyCold" + tag).c_str(), BM_SQLite_ReopenReadOnly)
        ->Args({n, 1, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_Lookup10k" + tag).c_str(), BM_SQLite_Lookup)
        ->Args({n, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_Lookup10kBudget64MB" + tag).c_str(), BM_SQLite_Lookup)
        ->Args({n, 1})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark(("SQLite_Range" + tag).c_str(), BM_SQLite_Range)
        ->Arg(n)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
#endif
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register(ParseSizes(&argc, argv));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gKeep) {
    for (auto& f : gOurFiles) fprintf(stderr, "kept %s\n", f.second.c_str());
    return 0;
  }
  for (auto& f : gOurFiles) RemoveOurs(f.second);
#ifdef LUMERIN_HAVE_SQLITE
  for (auto& f : gSqlFiles) RemoveSql(f.second);
#endif
  return 0;
}
