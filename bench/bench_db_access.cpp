// The database file against SQLite, the store a user might pick instead: the same 100,000
// photo-like records of 45 fields (SQLite: one table indexed on size and hash, filled in one
// transaction). Measured: adding the records end to end (our side builds its records from the
// photos' values as SQLite binds them, and syncs through its journal), a range query over two
// fields with every page resident, 10,000 exact identity look-ups (name, size, hash), and the
// durable commit of 100 changed records in the 100,000 (our Sync with and without the
// journal; SQLite's COMMIT in rollback-journal and WAL mode).
// SQLite runs with its pragmas set explicitly: synchronous=FULL throughout; journal_mode=DELETE
// (the rollback journal) unless WAL is named. Every file is deleted after its run.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "db/dbase.h"
#include "db_photo.h"
#include "support/cache.h"

#ifdef LUMERIN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using namespace benchdb;

constexpr int kRecords = 100000;
constexpr int kLookups = 10000;

const std::vector<Photo>& Photos() {
  static std::vector<Photo> photos = [] {
    std::vector<Photo> v;
    v.reserve(kRecords);
    for (int i = 0; i < kRecords; i++) v.push_back(MakePhoto(i));
    return v;
  }();
  return photos;
}

const std::vector<DBRecord>& Records() {
  static std::vector<DBRecord> recs = [] {
    std::vector<DBRecord> v(kRecords);
    const auto& ph = Photos();
    for (int i = 0; i < kRecords; i++) FillRecord(&v[i], ph[i], &Schema());
    return v;
  }();
  return recs;
}

std::string TempPath(const char* tag) {
  char buf[128];
  snprintf(buf, sizeof(buf), "/tmp/lumerin_bench_%s_%d.qdb", tag, static_cast<int>(getpid()));
  return buf;
}

// An open database of its own file; with journal its syncs are atomic and durable.
struct OurDB {
  explicit OurDB(const std::string& p, bool journal = true) : path(p), file(p) {
    { std::ofstream(path, std::ios::trunc); }
    fs.reset(new std::fstream(path, std::ios::in | std::ios::out | std::ios::binary));
    db.reset(new DBAccess(&header, fs.get(), journal ? &file : nullptr, false));
    static_cast<DBFieldInfo&>(header) = Schema();
  }
  ~OurDB() {
    db->Close();
    db.reset();
    header.Attach(nullptr, true);
    fs.reset();
    unlink(path.c_str());
    unlink(file.JournalPath().c_str());
  }
  std::string path;
  DBFile file;
  DBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<DBAccess> db;
};

// Databases kept over several benchmarks, deleted (with their files) when the run ends.
OurDB* gFilled = nullptr;
std::unique_ptr<OurDB> gSyncDB[2];

OurDB& FilledDB() {
  if (gFilled == nullptr) {
    gFilled = new OurDB(TempPath("query"));
    gFilled->db->AddRecords(Records().data(), kRecords);
    gFilled->db->Sync();
  }
  return *gFilled;
}

// Records changed per commit in the sync benchmarks, and the title they are given.
constexpr int kChanged = 100;

// The rows changed by one commit: scattered at random over the catalogue, or one run of
// neighbours (a roll of film edited together).
std::vector<int> ChangedRows(uint32_t* seed, bool clustered) {
  std::vector<int> rows(kChanged);
  for (int i = 0; i < kChanged; i++) {
    *seed = *seed * 1664525u + 1013904223u;
    if (!clustered || i == 0)
      rows[i] = static_cast<int>((*seed >> 8) % (kRecords - kChanged));
    else
      rows[i] = rows[0] + i;
  }
  return rows;
}

// The range of the two-field query: a latitude band and a time window, about 1% of the rows.
constexpr float kLatLo = 40.0f, kLatHi = 41.0f;
constexpr int kTimeLo = 1100000000 + 20000 * 60, kTimeHi = 1100000000 + 40000 * 60;

void BM_Lumerin_AddRecords(benchmark::State& state) {
  const auto& ph = Photos();
  for (auto _ : state) {
    state.PauseTiming();
    auto d = std::make_unique<OurDB>(TempPath("insert"));
    state.ResumeTiming();
    // Built from the same values SQLite binds, then added as one batch and synced.
    std::vector<DBRecord> recs(kRecords);
    for (int i = 0; i < kRecords; i++) FillRecord(&recs[i], ph[i], &d->header);
    int n = d->db->AddRecords(recs.data(), kRecords);
    d->db->Sync();
    benchmark::DoNotOptimize(n);
    state.PauseTiming();
    d.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Lumerin_RangeQuery(benchmark::State& state) {
  OurDB& d = FilledDB();
  DBRecord lo(&d.header), hi(&d.header);
  lo.SetField(FieldID("Latitude"), kLatLo);
  hi.SetField(FieldID("Latitude"), kLatHi);
  lo.SetField(FieldID("ModTime"), static_cast<long>(kTimeLo));
  hi.SetField(FieldID("ModTime"), static_cast<long>(kTimeHi));
  DBSearch s(d.db.get());
  s.AddSelector(lo, hi, false);
  DBRecordList list(&d.header);
  s.FindAll(&list);  // every page resident before timing
  int found = 0;
  for (auto _ : state) {
    list.Resize(0);
    found = s.FindAll(&list);
    benchmark::DoNotOptimize(found);
  }
  state.counters["matches"] = found;
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Lumerin_IdentityLookup(benchmark::State& state) {
  OurDB& d = FilledDB();
  const auto& ph = Photos();
  int fFile = FieldID("File"), fBytes = FieldID("NBytes"), fHash = FieldID("HashVal");
  DBRecord out[2];
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int k = 0; k < kLookups; k++) {
      const Photo& p = ph[(k * 7919) % kRecords];
      DBRecord key(&d.header);
      key.SetField(fFile, p.file.c_str());
      key.SetField(fBytes, static_cast<long>(p.nbytes));
      key.SetField(fHash, static_cast<long>(p.hash));
      DBSearch s(d.db.get());
      s.AddSelector(key, false);
      found += s.FindRecords(out, 2);
    }
    benchmark::DoNotOptimize(found);
  }
  state.counters["found"] = found;
  state.SetItemsProcessed(state.iterations() * kLookups);
}

// The part of adding that builds the records from the photos' values.
void BM_Lumerin_BuildRecords(benchmark::State& state) {
  const auto& ph = Photos();
  for (auto _ : state) {
    std::vector<DBRecord> recs(kRecords);
    for (int i = 0; i < kRecords; i++) FillRecord(&recs[i], ph[i], &Schema());
    benchmark::DoNotOptimize(recs.data());
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

// Sync of 100 changed records (each deleted and added again with a new title) in the
// 100,000; only the Sync is timed. First argument 1: through the journal (fsync'd); 0: a plain
// stream flush, as before the journal. Second: 1 for neighbouring records, 0 for scattered.
void BM_Lumerin_Sync100(benchmark::State& state) {
  bool journal = state.range(0) != 0;
  bool clustered = state.range(1) != 0;
  std::unique_ptr<OurDB>& d = gSyncDB[journal ? 1 : 0];
  if (!d) {
    d.reset(new OurDB(TempPath(journal ? "sync_journal" : "sync_plain"), journal));
    d->db->AddRecords(Records().data(), kRecords);
    d->db->Sync();
  }
  static std::vector<DBRecord> now[2];  // each database's records as they stand
  std::vector<DBRecord>& current = now[journal ? 1 : 0];
  if (current.empty()) current = Records();
  int fTitle = FieldID("Title");
  // Repetitions go on changing other rows with new titles.
  static uint32_t seed = 7;
  static long edit = 0;
  int changedRecords = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<int> rows = ChangedRows(&seed, clustered);
    for (int row : rows) {
      changedRecords += d->db->DeleteRecord(current[row]);
      DBRecord changed(&d->header);
      changed = current[row];
      changed.SetField(fTitle, ("Edit " + std::to_string(++edit)).c_str());
      d->db->AddRecord(changed);
      current[row] = changed;
    }
    state.ResumeTiming();
    if (!d->db->Sync()) state.SkipWithError("Sync failed");
  }
  state.counters["changed"] =
      benchmark::Counter(changedRecords, benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations() * kChanged);
}

BENCHMARK(BM_Lumerin_AddRecords)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Lumerin_BuildRecords)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Lumerin_RangeQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lumerin_IdentityLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lumerin_Sync100)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

#ifdef LUMERIN_HAVE_SQLITE

struct SqlDB {
  explicit SqlDB(const std::string& p, bool wal = false) : path(p) {
    Remove();
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    std::string sql = CreateTableSQL();
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  ~SqlDB() {
    sqlite3_close(db);
    Remove();
  }
  void Remove() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((path + suffix).c_str());
  }
  void Insert(const std::vector<Photo>& ph) {
    std::string sql = "INSERT INTO photos VALUES (";
    for (int i = 0; i < 45; i++) sql += i ? ",?" : "?";
    sql += ")";
    sqlite3_stmt* st = nullptr;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    for (const Photo& p : ph) {
      BindPhoto(st, p);
      sqlite3_step(st);
      sqlite3_reset(st);
      sqlite3_clear_bindings(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  std::string path;
  sqlite3* db = nullptr;
};

std::unique_ptr<SqlDB> gFilledSql;
std::unique_ptr<SqlDB> gSyncSql[2];

SqlDB& FilledSql() {
  if (!gFilledSql) {
    gFilledSql.reset(new SqlDB(TempPath("sqlite_query")));
    gFilledSql->Insert(Photos());
  }
  return *gFilledSql;
}

// Reads every column of the current row, as a record copy would.
int ReadRow(sqlite3_stmt* st) {
  int n = 0;
  for (int c = 0; c < 45; c++) {
    switch (sqlite3_column_type(st, c)) {
      case SQLITE_INTEGER:
        n += sqlite3_column_int(st, c) != 0;
        break;
      case SQLITE_FLOAT:
        n += sqlite3_column_double(st, c) != 0.0;
        break;
      case SQLITE_TEXT:
        n += sqlite3_column_text(st, c) != nullptr;
        break;
      case SQLITE_BLOB:
        n += sqlite3_column_blob(st, c) != nullptr;
        break;
      default:
        break;
    }
  }
  return n;
}

void BM_SQLite_AddRecords(benchmark::State& state) {
  const auto& ph = Photos();
  for (auto _ : state) {
    state.PauseTiming();
    auto d = std::make_unique<SqlDB>(TempPath("sqlite_insert"));
    state.ResumeTiming();
    d->Insert(ph);
    state.PauseTiming();
    d.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_SQLite_RangeQuery(benchmark::State& state) {
  SqlDB& d = FilledSql();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(d.db,
                     "SELECT * FROM photos WHERE Latitude BETWEEN ? AND ? AND ModTime BETWEEN ? "
                     "AND ?",
                     -1, &st, nullptr);
  int found = 0;
  for (auto _ : state) {
    sqlite3_bind_double(st, 1, kLatLo);
    sqlite3_bind_double(st, 2, kLatHi);
    sqlite3_bind_int(st, 3, kTimeLo);
    sqlite3_bind_int(st, 4, kTimeHi);
    found = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      benchmark::DoNotOptimize(ReadRow(st));
      found++;
    }
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  state.counters["matches"] = found;
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_SQLite_IdentityLookup(benchmark::State& state) {
  SqlDB& d = FilledSql();
  const auto& ph = Photos();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(d.db, "SELECT * FROM photos WHERE NBytes = ? AND HashVal = ? AND File = ?", -1,
                     &st, nullptr);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int k = 0; k < kLookups; k++) {
      const Photo& p = ph[(k * 7919) % kRecords];
      sqlite3_bind_int(st, 1, p.nbytes);
      sqlite3_bind_int(st, 2, p.hash);
      sqlite3_bind_text(st, 3, p.file.c_str(), -1, SQLITE_STATIC);
      while (sqlite3_step(st) == SQLITE_ROW) {
        benchmark::DoNotOptimize(ReadRow(st));
        found++;
      }
      sqlite3_reset(st);
    }
  }
  sqlite3_finalize(st);
  state.counters["found"] = found;
  state.SetItemsProcessed(state.iterations() * kLookups);
}

// COMMIT of 100 rows changed (a new title) in the 100,000; the UPDATEs run before the timing
// inside the open transaction. First argument 1: WAL; 0: rollback journal (DELETE). Second: 1
// for neighbouring rows, 0 for scattered.
void BM_SQLite_Commit100(benchmark::State& state) {
  bool wal = state.range(0) != 0;
  bool clustered = state.range(1) != 0;
  std::unique_ptr<SqlDB>& d = gSyncSql[wal ? 1 : 0];
  if (!d) {
    d.reset(new SqlDB(TempPath(wal ? "sqlite_sync_wal" : "sqlite_sync_delete"), wal));
    d->Insert(Photos());
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(d->db, "UPDATE photos SET Title = ? WHERE rowid = ?", -1, &st, nullptr);
  static uint32_t seed = 7;
  static long edit = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(d->db, "BEGIN", nullptr, nullptr, nullptr);
    for (int row : ChangedRows(&seed, clustered)) {
      std::string title = "Edit " + std::to_string(++edit);
      sqlite3_bind_text(st, 1, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(st, 2, row + 1);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    state.ResumeTiming();
    if (sqlite3_exec(d->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
      state.SkipWithError("COMMIT failed");
  }
  sqlite3_finalize(st);
  state.SetItemsProcessed(state.iterations() * kChanged);
}

BENCHMARK(BM_SQLite_AddRecords)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SQLite_RangeQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLite_IdentityLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLite_Commit100)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

#endif  // LUMERIN_HAVE_SQLITE

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The databases kept between benchmarks go with their files.
  delete gFilled;
  for (auto& d : gSyncDB) d.reset();
#ifdef LUMERIN_HAVE_SQLITE
  gFilledSql.reset();
  for (auto& d : gSyncSql) d.reset();
#endif
  return 0;
}
