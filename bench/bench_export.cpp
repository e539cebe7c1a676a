// Record exchange on one core (run pinned: taskset -c 2 build/bench/bench_export):
// - 100 camera JPEGs of 12 megapixels exported at 1920 pixels and quality 90, next to
//   `convert in -resize 1920x1920 -quality 90 out` (MAGICK_THREAD_LIMIT=1) and
//   `vipsthumbnail in -s 1920 -o out[Q=90]` (VIPS_CONCURRENCY=1), both timed as whole commands;
// - saveRecords of 100,000 photo records, next to `sqlite3 -tabs -header` writing the same
//   table from a database to a file;
// - checkRecords over 10,000 files in place.
// The pictures are made at the first run in /tmp/lumerin_bench_export from a test picture
// (ImageMagick's convert), and stay there for later runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/export/ptrader.h"
#include "bench_testdata.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"

extern char** environ;

namespace {

const std::string kDir = "/tmp/lumerin_bench_export2";
constexpr int kPictures = 100;

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

// Runs a program (found on PATH) with extra environment entries, its output into outFile
// (/dev/null when empty); its exit status, -1 when it could not run.
int Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
          const std::string& outFile = "") {
  std::vector<char*> av;
  for (const std::string& a : args) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  std::vector<std::string> envs = env;
  for (char** e = environ; *e; ++e) envs.push_back(*e);
  std::vector<char*> ev;
  for (const std::string& e : envs) ev.push_back(const_cast<char*>(e.c_str()));
  ev.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outFile.empty() ? "/dev/null" : outFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

std::string Picture(int i) {
  char name[32];
  snprintf(name, sizeof name, "/src/p%03d.jpg", i);
  return kDir + name;
}

// The 100 source pictures: one 4000 x 3000 JPEG at quality 90 with a camera's grain (a few
// megabytes, as cameras write them), copied.
bool MakePictures() {
  static int made = -1;
  if (made >= 0) return made == 1;
  made = 0;
  mkdir(kDir.c_str(), 0755);
  mkdir((kDir + "/src").c_str(), 0755);
  mkdir((kDir + "/out").c_str(), 0755);
  const std::string first = Picture(0);
  if (!Exists(first) &&
      Spawn({"convert", testdataDir() + "/jpeg/Canon_40D.jpg", "-resize", "4000x3000!",
             "-attenuate", "0.4", "+noise", "Gaussian", "-quality", "90", first}) != 0)
    return false;
  for (int i = 1; i < kPictures; i++)
    if (!Exists(Picture(i)) && Spawn({"cp", first, Picture(i)}) != 0) return false;
  made = 1;
  return true;
}

void BM_ExportImages1920(benchmark::State& state) {
  dmessage_call = Quiet;
  PloadStandardReaders();
  if (!MakePictures()) {
    state.SkipWithError("convert cannot make the pictures");
    return;
  }
  std::vector<DBRecord> recs(kPictures);
  for (int i = 0; i < kPictures; i++) PgrokFile(&recs[static_cast<size_t>(i)], Picture(i).c_str());
  for (auto _ : state) {
    ImgExporter e((kDir + "/out").c_str());
    e.nextimage = 0;
    e.overwrite = true;
    e.maxwidth = e.maxheight = 1920;
    e.qual = 90;
    int n = 0;
    for (const DBRecord& r : recs) n += e.Export(r);
    if (n != kPictures) state.SkipWithError("an export failed");
  }
  state.counters["pictures"] = kPictures;
}
BENCHMARK(BM_ExportImages1920)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Convert1920(benchmark::State& state) {
  if (!MakePictures()) {
    state.SkipWithError("convert cannot make the pictures");
    return;
  }
  for (auto _ : state)
    for (int i = 0; i < kPictures; i++)
      if (Spawn({"convert", Picture(i), "-resize", "1920x1920", "-quality", "90",
                 kDir + "/out/convert.jpg"},
                {"MAGICK_THREAD_LIMIT=1"}) != 0) {
        state.SkipWithError("convert failed");
        return;
      }
}
BENCHMARK(BM_Convert1920)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Vipsthumbnail1920(benchmark::State& state) {
  if (!MakePictures()) {
    state.SkipWithError("convert cannot make the pictures");
    return;
  }
  for (auto _ : state)
    for (int i = 0; i < kPictures; i++)
      if (Spawn({"vipsthumbnail", Picture(i), "-s", "1920", "-o", kDir + "/out/vips.jpg[Q=90]"},
                {"VIPS_CONCURRENCY=1"}) != 0) {
        state.SkipWithError("vipsthumbnail is not installed or failed");
        return;
      }
}
BENCHMARK(BM_Vipsthumbnail1920)->Unit(benchmark::kMillisecond)->Iterations(2);

constexpr int kRecords = 100000;

void BM_SaveRecords100k(benchmark::State& state) {
  dmessage_call = Quiet;
  mkdir(kDir.c_str(), 0755);
  PContext ctx;
  ctx.rdisp.Resize(kRecords);
  for (int i = 0; i < kRecords; i++)
    benchdb::FillRecord(&ctx.rdisp[i], benchdb::MakePhoto(i), &PDBFInfo);
  const std::string out = kDir + "/records.txt";
  for (auto _ : state)
    if (saveRecords(out.c_str(), &ctx) != kRecords) state.SkipWithError("saveRecords failed");
  struct stat st;
  if (stat(out.c_str(), &st) == 0) state.counters["bytes"] = static_cast<double>(st.st_size);
}
BENCHMARK(BM_SaveRecords100k)->Unit(benchmark::kMillisecond)->Iterations(5);

#ifdef LUMERIN_HAVE_SQLITE
void BM_Sqlite3Tabs100k(benchmark::State& state) {
  const std::string db = benchdb::Table(kDir + "/photos.sqlite", kRecords);
  const std::string out = kDir + "/sqlite.txt";
  for (auto _ : state)
    if (Spawn({"sqlite3", "-tabs", "-header", db, "SELECT * FROM photos"}, {}, out) != 0)
      state.SkipWithError("sqlite3 is not installed or failed");
  struct stat st;
  if (stat(out.c_str(), &st) == 0) state.counters["bytes"] = static_cast<double>(st.st_size);
}
BENCHMARK(BM_Sqlite3Tabs100k)->Unit(benchmark::kMillisecond)->Iterations(5);
#endif

void BM_CheckRecords10k(benchmark::State& state) {
  dmessage_call = Quiet;
  const std::string dir = kDir + "/files";
  mkdir(kDir.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  PContext ctx;
  ctx.ClearRecords();  // photo records
  constexpr int kFiles = 10000;
  ctx.rdisp.Resize(kFiles);
  for (int i = 0; i < kFiles; i++) {
    char path[256];
    snprintf(path, sizeof path, "%s/f%05d.jpg", dir.c_str(), i);
    if (!Exists(path))
      if (FILE* f = fopen(path, "w")) {
        fprintf(f, "picture %d", i);
        fclose(f);
      }
    recordFileInfo(&ctx.rdisp[i], path);
  }
  char path[1024];
  for (int i = 0; i < kFiles; i++)
    if (PlocateFile(path, sizeof path, ctx.rdisp.Get(i)) != PLFRok) {
      state.SkipWithError("a file is not in place");
      return;
    }
  for (auto _ : state)
    if (checkRecords(false, &ctx).changed)
      state.SkipWithError("a file in place was taken as changed");
}
BENCHMARK(BM_CheckRecords10k)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
