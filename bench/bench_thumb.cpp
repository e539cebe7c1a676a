// Photo files and the thumbnail cache on one core: scanning a folder of JPEG copies into
// records, final thumbnails of 12 and 24 megapixel JPEGs (beside djpeg -scale 1/8 and
// vipsthumbnail, timed as whole commands), thumbnails served from the cache, browsing 500
// camera JPEGs cold and warm, and finding a thumbnail record among 100,000.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_testdata.h"
#include "catalog/pfieldset.h"
#include "catalog/pixhaven.h"
#include "thumbs/pthumb.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"
#include "testutil/file_bytes.h"
#include "testutil/rgb_jpeg.h"

namespace {

std::string ScratchDir(const char* tag) {
  std::string t = std::string("/tmp/lumerin_bench_") + tag + "_XXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back('\0');
  const char* d = mkdtemp(buf.data());
  return d != nullptr ? d : "/tmp";
}

void Readers() {
  static bool done = (PloadStandardReaders(), true);
  (void)done;
}

// A camera-like JPEG of w x h (smooth shading with fine texture), made once.
std::string CameraJpeg(int w, int h) {
  const std::string path =
      "/tmp/lumerin_bench_" + std::to_string(w) + "x" + std::to_string(h) + ".jpg";
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return path;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  uint32_t noise = 12345;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      noise = noise * 1664525u + 1013904223u;
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      const int n = static_cast<int>(noise >> 28) - 8;
      p[0] = static_cast<uint8_t>(std::min(255, std::max(0, x * 255 / w + n)));
      p[1] = static_cast<uint8_t>(std::min(255, std::max(0, y * 255 / h + n)));
      p[2] = static_cast<uint8_t>(std::min(255, std::max(0, ((x ^ y) & 63) * 3 + n)));
    }
  WriteRgbJpeg(path, w, h, px.data(), 90);
  return path;
}

uint32_t Quiet(unsigned cls, const char*, const char*, int) {
  return cls <= DMCwarning ? static_cast<uint32_t>(DMArecord) : 0u;
}

// Scanning: open each of 1,000 JPEG copies, fill a record, close (files warm in memory).
void BM_ScanFolder(benchmark::State& state) {
  Readers();
  const std::string src = testdataDir() + "/jpeg/landscape_1.jpg";
  const std::string bytes = ReadAll(src);
  if (bytes.empty()) {
    state.SkipWithError("test picture absent");
    return;
  }
  const std::string dir = ScratchDir("scan");
  std::vector<std::string> files;
  for (int i = 0; i < 1000; i++) {
    files.push_back(dir + "/p" + std::to_string(i) + ".jpg");
    WriteAll(files.back(), bytes + std::to_string(i));
  }
  for (auto _ : state) {
    for (const std::string& f : files) {
      _ImgReader* ir = PopenImageF(f.c_str(), 1, nullptr);
      DBRecord r;
      PgrokImage(&r, ir);
      benchmark::DoNotOptimize(r.l);
      if (ir != nullptr) ir->ri->Close(ir);
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_ScanFolder)->Unit(benchmark::kMillisecond);

// Final thumbnails made through the cache (no cache hit): locate, open, decode at a
// reduction, fit into the sheet's cell, add the record; a sheet written every sixth.
void BM_FinalThumbnail(benchmark::State& state) {
  Readers();
  auto* const previous = dmessage_call;
  dmessage_call = Quiet;
  const int mp = static_cast<int>(state.range(0));
  const std::string file = mp == 12 ? CameraJpeg(4000, 3000) : CameraJpeg(6000, 4000);
  const std::string dir = ScratchDir("final");
  DBRecord photo;
  PgrokFile(&photo, file.c_str());
  {
    PThumbnailer tn(dir.c_str());
    long n = 0;
    for (auto _ : state) {
      PDBsetInt(&photo, PDBFhashval, ++n);  // a new photo each time
      _ImgStruct t = {};
      t.xres = t.yres = 160;
      t.csp = &ICS_sRGB;
      if (!tn.GetThumbnail(&t, photo)) state.SkipWithError("thumbnail failed");
      PfreeImage(&t);
    }
  }
  std::system(("rm -rf '" + dir + "'").c_str());
  dmessage_call = previous;
}
BENCHMARK(BM_FinalThumbnail)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

void RunCommand(benchmark::State& state, const std::string& tool, const std::string& cmd) {
  if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
    state.SkipWithError((tool + " absent").c_str());
    return;
  }
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError((tool + " failed").c_str());
}

void BM_DjpegScale8(benchmark::State& state) {
  Readers();
  const std::string file = state.range(0) == 12 ? CameraJpeg(4000, 3000) : CameraJpeg(6000, 4000);
  RunCommand(state, "djpeg", "djpeg -scale 1/8 '" + file + "' > /dev/null");
}
BENCHMARK(BM_DjpegScale8)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_Vipsthumbnail160(benchmark::State& state) {
  Readers();
  const std::string file = state.range(0) == 12 ? CameraJpeg(4000, 3000) : CameraJpeg(6000, 4000);
  RunCommand(state, "vipsthumbnail",
             "vipsthumbnail '" + file + "' -s 160 -o /tmp/lumerin_bench_vips.jpg");
}
BENCHMARK(BM_Vipsthumbnail160)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

// Thumbnails of 160 pixels served from written sheets: a 4:3 photo fills a 320 x 240 cell,
// a 3:2 one a 320 x 211 cell whose odd height no half-size read holds whole.
void BM_CachedThumb160(benchmark::State& state) {
  Readers();
  const char* source = state.range(0) == 0 ? "/jpeg/landscape_1.jpg" : "/jpeg/Nikon_D70.jpg";
  const std::string bytes = ReadAll(testdataDir() + source);
  if (bytes.empty()) {
    state.SkipWithError("test picture absent");
    return;
  }
  const std::string dir = ScratchDir("cached"), cache = ScratchDir("cache");
  std::vector<DBRecord> photos(60);
  {
    PThumbnailer tn(cache.c_str());
    for (size_t i = 0; i < photos.size(); i++) {
      const std::string f = dir + "/p" + std::to_string(i) + ".jpg";
      WriteAll(f, bytes + std::to_string(i));
      PgrokFile(&photos[i], f.c_str());
      _ImgStruct t = {};
      t.xres = t.yres = 160;
      t.csp = &ICS_sRGB;
      tn.GetThumbnail(&t, photos[i]);
      PfreeImage(&t);
    }
  }
  {
    PThumbnailer tn(cache.c_str());
    size_t i = 0;
    for (auto _ : state) {
      _ImgStruct t = {};
      t.xres = t.yres = 160;
      t.csp = &ICS_sRGB;
      if (!tn.LoadThumbnail(&t, photos[i++ % photos.size()])) state.SkipWithError("load failed");
      PfreeImage(&t);
    }
    state.SetItemsProcessed(state.iterations());
  }
  std::system(("rm -rf '" + dir + "' '" + cache + "'").c_str());
}
BENCHMARK(BM_CachedThumb160)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Browsing 500 camera JPEGs (1600 x 1200, each its own file) at 160 pixels, as the browser's
// idle time asks for their final thumbnails: cold, every thumbnail made into a new cache, its
// sheets written and the cache closed; warm, every one loaded from that cache by a new manager,
// which is then closed.
void BM_Browse500(benchmark::State& state) {
  Readers();
  auto* const previous = dmessage_call;
  dmessage_call = Quiet;
  const bool warm = state.range(0) != 0;
  const std::string bytes = ReadAll(CameraJpeg(1600, 1200));
  const std::string dir = ScratchDir("browse500"), made = ScratchDir("browse500cache");
  std::vector<DBRecord> photos(500);
  for (size_t i = 0; i < photos.size(); i++) {
    const std::string f = dir + "/p" + std::to_string(i) + ".jpg";
    WriteAll(f, bytes + std::to_string(i));
    PgrokFile(&photos[i], f.c_str());
  }
  auto browse = [&](const std::string& cache) {
    PThumbnailer tn(cache.c_str());
    for (const DBRecord& photo : photos) {
      _ImgStruct t = {};
      t.xres = t.yres = 160;
      t.csp = &ICS_sRGB;
      if (!tn.GetThumbnail(&t, photo)) state.SkipWithError("thumbnail failed");
      PfreeImage(&t);
    }
    tn.SetCacheDirectory(nullptr);
  };
  if (warm) browse(made);
  for (auto _ : state) {
    if (warm) {
      browse(made);
      continue;
    }
    state.PauseTiming();
    const std::string cache = ScratchDir("browse500cold");
    state.ResumeTiming();
    browse(cache);
    state.PauseTiming();
    std::system(("rm -rf '" + cache + "'").c_str());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(photos.size()));
  std::system(("rm -rf '" + dir + "' '" + made + "'").c_str());
  dmessage_call = previous;
}
BENCHMARK(BM_Browse500)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("warm")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Finding a thumbnail record among 100,000.
void BM_FindThumbnail(benchmark::State& state) {
  const std::string cache = ScratchDir("find");
  const std::string db = cache + "/tncache.qdb";
  WriteAll(db, "");
  {
    std::fstream fs(db, std::ios::in | std::ios::out | std::ios::binary);
    PTDBHeader head;
    DBAccess acc(&head, &fs, false);
    DBRecordList list(&PTDBFInfo, 1000);
    for (int b = 0; b < 100; b++) {
      for (int i = 0; i < 1000; i++) {
        const int k = b * 1000 + i;
        DBRecord& r = list[i];
        r.Init(&PTDBFInfo);
        r.SetField(PTDBFnbytes, static_cast<long>(100000 + k));
        r.SetField(PTDBFhashval, static_cast<long>(k * 2654435761u & 0x7FFFFFFF));
        r.SetField(PTDBFimageid, static_cast<long>(k / 6 + 1));
        const long rect[4] = {0, 0, 320, 240};
        r.SetField(PTDBFrectangle, rect, 4);
        r.SetField(PTDBFimagebytes, 16000L);
        r.SetField(PTDBFlastuse, 1000L);
      }
      acc.AddRecordList(list);
    }
    acc.Close();
  }
  PThumbnailer tn(cache.c_str());
  uint32_t x = 1;
  for (auto _ : state) {
    x = x * 1664525u + 1013904223u;
    const long k = x % 100000;
    DBRecord photo(&PDBFInfo);
    photo.SetField(PDBFnbytes, 100000 + k);
    photo.SetField(PDBFhashval, static_cast<long>(k * 2654435761u & 0x7FFFFFFF));
    DBRecord found;
    if (!tn.FindThumbnail(&found, photo)) state.SkipWithError("not found");
  }
  tn.SetCacheDirectory(nullptr);
  std::system(("rm -rf '" + cache + "'").c_str());
}
BENCHMARK(BM_FindThumbnail)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
