// Reconciling a displayed folder with the catalogue: 1,000 displayed records against a
// catalogue of 20,000, and 10,000 against 500,000, with the catalogue's pages resident (one
// search gathers every match; the second pass looks matches up by hash index). Beside it, the
// same 10,000 identity look-ups in an SQLite table of 500,000 photo rows indexed on name, size
// and hash, and rebuilding the sets and timeline (Recatalog) from 500,000 records.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "catalog/pixhaven.h"
#include "support/dmessage.h"

#ifdef LUMERIN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

struct PhotoFacts {
  char file[32];
  char location[48];
  long nbytes;
  long hash;
  char capdate[32];
  char subject[24];
};

PhotoFacts Facts(int i) {
  PhotoFacts p;
  snprintf(p.file, sizeof(p.file), "IMG_%07d.JPG", i);
  snprintf(p.location, sizeof(p.location), "/Volumes/Photos/%04d/%02d", 2000 + i % 10, 1 + i % 12);
  p.nbytes = 800000 + i * 13 % 400000;
  p.hash = static_cast<long>((i * 2654435761u) & 0x7FFFFFFF);
  snprintf(p.capdate, sizeof(p.capdate), "%04d:%02d:%02d %02d:%02d:%02d", 2000 + i % 10, 1 + i % 12,
           1 + i % 28, i % 24, i % 60, i * 7 % 60);
  snprintf(p.subject, sizeof(p.subject), "Subject %d", i % 500);
  return p;
}

void Photo(DBRecord* r, const DBFieldInfo* s, int i) {
  const PhotoFacts p = Facts(i);
  r->Init(s);
  r->SetField(PDBFfile, p.file);
  r->SetField(PDBFlocation, p.location);
  r->SetField(PDBFnbytes, p.nbytes);
  r->SetField(PDBFhashval, p.hash);
  r->SetField(PDBFformat, "JPEG");
  r->SetField(PDBFcapdate, p.capdate);
  r->SetField(PDBFsubject, p.subject);
  const char* kw[2] = {"holiday", i % 2 ? "family" : "beach"};
  r->SetField(PDBFkeyword, kw, 2);
  r->SetField(PDBFxsize, 3072L);
  r->SetField(PDBFysize, 2048L);
  r->SetField(PDBFmake, "Camera Maker");
  r->SetField(PDBFmodel, "Model 10");
}

// A catalogue file of n photo records, made once per size and removed at exit.
const std::string& Catalogue(int n) {
  static std::vector<std::pair<int, std::string>> made;
  for (const auto& m : made)
    if (m.first == n) return m.second;
  char path[] = "/tmp/lumerin_bench_ctx_XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  unlink(path);
  std::string file = std::string(path) + ".qdb";
  {
    std::ofstream(file, std::ios::trunc).close();
    std::fstream fs(file, std::ios::in | std::ios::out | std::ios::binary);
    PDBHeader header;
    PDBAccess db(&header, &fs, false);
    const int chunk = 10000;
    std::vector<DBRecord> recs(chunk);
    for (int base = 0; base < n; base += chunk) {
      const int m = std::min(chunk, n - base);
      for (int i = 0; i < m; i++) Photo(&recs[i], &header, base + i);
      db.AddRecords(recs.data(), m);
      db.Checkpoint(nullptr, nullptr);
    }
    db.Close();
  }
  made.push_back({n, file});
  static struct Cleanup {
    ~Cleanup() {
      for (const auto& m : made) {
        unlink(m.second.c_str());
        unlink((m.second.substr(0, m.second.size() - 4) + ".lock").c_str());
      }
    }
  } cleanup;
  return made.back().second;
}

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return 0;
}

// Reconcile of ndisp displayed records spread over a catalogue of ncat.
void ReconcileFolder(benchmark::State& state) {
  dmessage_call = Quiet;
  const int ncat = static_cast<int>(state.range(0));
  const int ndisp = static_cast<int>(state.range(1));
  PContext ctx;
  if (!ctx.OpenDB(Catalogue(ncat).c_str())) {
    state.SkipWithError("cannot open the catalogue");
    return;
  }
  DBRecordList shown(&ctx.phd, ndisp);
  const int step = ncat / ndisp;
  for (int i = 0; i < ndisp; i++) Photo(&shown[i], &ctx.phd, i * step);
  ctx.Clear();
  strcpy(ctx.rsrc, "/Volumes/Photos");
  ctx.rdisp = shown;
  ctx.Reconcile();  // brings the pages in
  int found = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ctx.Clear();
    ctx.rdisp = shown;
    state.ResumeTiming();
    found = ctx.Reconcile();
  }
  if (found != ndisp) state.SkipWithError("records not found");
  state.counters["found"] = found;
  state.SetItemsProcessed(state.iterations() * ndisp);
}
BENCHMARK(ReconcileFolder)
    ->Args({20000, 1000})
    ->Args({500000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void RecatalogAll(benchmark::State& state) {
  dmessage_call = Quiet;
  PContext ctx;
  if (!ctx.OpenDB(Catalogue(static_cast<int>(state.range(0))).c_str())) {
    state.SkipWithError("cannot open the catalogue");
    return;
  }
  for (auto _ : state) ctx.Recatalog();
  state.counters["subjects"] = ctx.subjSet.GetSize();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(RecatalogAll)->Arg(500000)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef LUMERIN_HAVE_SQLITE

// The same identity look-ups in an SQLite table of photo rows.
void SqliteIdentityLookups(benchmark::State& state) {
  const int nrows = static_cast<int>(state.range(0));
  const int nlook = static_cast<int>(state.range(1));
  char path[] = "/tmp/lumerin_bench_ctxsql_XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  sqlite3* db = nullptr;
  sqlite3_open(path, &db);
  sqlite3_exec(db,
               "CREATE TABLE photos (File TEXT, Location TEXT, NBytes INTEGER, HashVal INTEGER, "
               "Format TEXT, CapDate TEXT, Subject TEXT, Keyword TEXT, XSize INTEGER, "
               "YSize INTEGER, Make TEXT, Model TEXT)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO photos VALUES (?,?,?,?,'JPEG',?,?,?,3072,2048,?,?)", -1, &ins,
                     nullptr);
  for (int i = 0; i < nrows; i++) {
    const PhotoFacts p = Facts(i);
    sqlite3_bind_text(ins, 1, p.file, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 2, p.location, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 3, static_cast<int>(p.nbytes));
    sqlite3_bind_int(ins, 4, static_cast<int>(p.hash));
    sqlite3_bind_text(ins, 5, p.capdate, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 6, p.subject, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 7, i % 2 ? "holiday\nfamily" : "holiday\nbeach", -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 8, "Camera Maker", -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 9, "Model 10", -1, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE INDEX photo_id ON photos (File, NBytes, HashVal)", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM photos WHERE File=? AND NBytes=? AND HashVal=?", -1, &q,
                     nullptr);
  const int step = nrows / nlook;
  auto lookups = [&] {
    int found = 0;
    for (int k = 0; k < nlook; k++) {
      const PhotoFacts p = Facts(k * step);
      sqlite3_bind_text(q, 1, p.file, -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(q, 2, static_cast<int>(p.nbytes));
      sqlite3_bind_int(q, 3, static_cast<int>(p.hash));
      while (sqlite3_step(q) == SQLITE_ROW) {
        found++;
        benchmark::DoNotOptimize(sqlite3_column_text(q, 1));
      }
      sqlite3_reset(q);
    }
    return found;
  };
  lookups();  // brings the pages in
  int found = 0;
  for (auto _ : state) found = lookups();
  if (found != nlook) state.SkipWithError("rows not found");
  state.counters["found"] = found;
  state.SetItemsProcessed(state.iterations() * nlook);
  sqlite3_finalize(q);
  sqlite3_close(db);
  unlink(path);
}
BENCHMARK(SqliteIdentityLookups)
    ->Args({20000, 1000})
    ->Args({500000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#endif

}  // namespace

BENCHMARK_MAIN();
