// Full-size JPEG speed on one core (run under taskset -c N).
//
// Whole processes, paired: each iteration runs ours and then the peer on the same file, and
// reports ms of each (ours_ms, peer_ms) and their ratio.
// - Read: `jpegcode read` decodes a 12-megapixel camera JPEG through its reader at full size,
//   16 rows at a time, as `djpeg` decodes (rows not kept): beside `djpeg -dct float` (the
//   float transform family) and djpeg's default.
// - Render: `jpegcode render` renders it into a whole 8-bit image in memory through the reader
//   registry, as the image window and export read: beside `djpeg -dct float`, which keeps no
//   image (the 36 MB of pages the image needs cost the render about 15 ms).
// - Write: `jpegcode write` codes an 8-megapixel PPM at quality 90 through the JPEG writer,
//   rows streaming from the file, beside `cjpeg -quality 90`; the two files must be the same.
//
// In process: the decode of that JPEG with the smoothing transform (vectorised and plain)
// beside libjpeg's own float transform, rows discarded.
//
// The pictures are made once in /tmp from the shared test pictures' 10-megapixel camera JPEG
// with ImageMagick's convert: scaled to 4000 x 3000 and saved at quality 92 with 4:2:2 chroma
// (as the camera did), and scaled to 3464 x 2309 as a PPM.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
extern "C" {
#include <jpegint.h>
}

#include "bench_testdata.h"
#include "jpegglue/jpegsfidct.h"

namespace {

const char* kJpeg = "/tmp/lumerin_bench_camera12mp.jpg";
const char* kPpm = "/tmp/lumerin_bench_camera8mp.ppm";

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool haveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The test pictures, made on first use; false when they cannot be.
bool pictures() {
  static const bool ok = [] {
    const std::string src = testdataDir() + "/jpeg/corrupted.jpg";
    if (!exists(src) || !haveTool("convert")) return false;
    // The source has a damaged stretch that libjpeg skips with warnings; convert re-encodes it.
    if (!exists(kJpeg) && std::system(("convert '" + src +
                                       "' -resize '4000x3000!' -sampling-factor 2x1 -quality 92 " +
                                       kJpeg + " 2>/dev/null")
                                          .c_str()) != 0)
      return false;
    if (!exists(kPpm) &&
        std::system(
            ("convert '" + src + "' -resize '3464x2309!' " + kPpm + " 2>/dev/null").c_str()) != 0)
      return false;
    return exists(kJpeg) && exists(kPpm);
  }();
  return ok;
}

// jpegcode beside this program.
std::string jpegcode() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "jpegcode";
  self[n] = '\0';
  std::string dir(self);
  return dir.substr(0, dir.rfind('/') + 1) + "jpegcode";
}

double seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Runs a command; its wall time in seconds, or -1 when it fails.
double timed(const std::string& cmd) {
  const double t0 = seconds();
  const int rc = std::system(cmd.c_str());
  const double t = seconds() - t0;
  return rc == 0 ? t : -1;
}

// Each iteration times ours, then the peer; the iteration's time is ours.
void paired(benchmark::State& state, const std::string& ours, const std::string& peer,
            const char* tool) {
  if (!pictures() || !haveTool(tool)) {
    state.SkipWithError("test pictures or the peer absent");
    return;
  }
  double a = 0, b = 0;
  for (auto _ : state) {
    const double ta = timed(ours), tb = timed(peer);
    if (ta < 0 || tb < 0) {
      state.SkipWithError("a command failed");
      return;
    }
    a += ta;
    b += tb;
    state.SetIterationTime(ta);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * a / n;
  state.counters["peer_ms"] = 1e3 * b / n;
  state.counters["ratio"] = a / b;
}

void BM_ReadVsDjpegFloat(benchmark::State& state) {
  paired(state, jpegcode() + " read " + kJpeg,
         std::string("djpeg -dct float ") + kJpeg + " > /dev/null", "djpeg");
}
BENCHMARK(BM_ReadVsDjpegFloat)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_ReadVsDjpegDefault(benchmark::State& state) {
  paired(state, jpegcode() + " read " + kJpeg, std::string("djpeg ") + kJpeg + " > /dev/null",
         "djpeg");
}
BENCHMARK(BM_ReadVsDjpegDefault)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_RenderVsDjpegFloat(benchmark::State& state) {
  paired(state, jpegcode() + " render " + kJpeg,
         std::string("djpeg -dct float ") + kJpeg + " > /dev/null", "djpeg");
}
BENCHMARK(BM_RenderVsDjpegFloat)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_WriteVsCjpeg90(benchmark::State& state) {
  const std::string ours = "/tmp/lumerin_bench_ours.jpg", peer = "/tmp/lumerin_bench_cjpeg.jpg";
  paired(state, jpegcode() + " write " + kPpm + " " + ours + " 90",
         std::string("cjpeg -quality 90 ") + kPpm + " > " + peer, "cjpeg");
  if (std::system(("cmp -s " + ours + " " + peer).c_str()) != 0)
    state.SkipWithError("the two files differ");
}
BENCHMARK(BM_WriteVsCjpeg90)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

// ---------------------------------------------------------------------------------------------
// In process

const std::vector<uint8_t>& jpegBytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> v;
    if (!pictures()) return v;
    FILE* fp = std::fopen(kJpeg, "rb");
    if (fp == nullptr) return v;
    for (int c; (c = std::getc(fp)) != EOF;) v.push_back(static_cast<uint8_t>(c));
    std::fclose(fp);
    return v;
  }();
  return bytes;
}

enum Transform { kLibjpeg, kSmooth, kSmoothPlain };

void decode(Transform t) {
  const std::vector<uint8_t>& data = jpegBytes();
  jpeg_decompress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, data.data(), data.size());
  jpeg_read_header(&c, TRUE);
  c.dct_method = JDCT_FLOAT;
  c.out_color_space = JCS_RGB;
  jpeg_start_decompress(&c);
  if (t != kLibjpeg && jpeg_sf_idct(&c) && t == kSmoothPlain)
    for (int ci = 0; ci < c.num_components; ci++)
      c.idct->inverse_DCT[ci] = jpeg_sf_idct_float_plain;
  std::vector<uint8_t> row(static_cast<size_t>(c.output_width) * 3);
  while (c.output_scanline < c.output_height) {
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&c, &r, 1);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  benchmark::DoNotOptimize(row.data());
}

void inProcess(benchmark::State& state, Transform t) {
  if (jpegBytes().empty()) {
    state.SkipWithError("test picture absent");
    return;
  }
  for (auto _ : state) decode(t);
}

void BM_DecodeSmoothing(benchmark::State& state) {
  inProcess(state, kSmooth);
}
BENCHMARK(BM_DecodeSmoothing)->Unit(benchmark::kMillisecond);

void BM_DecodeSmoothingPlain(benchmark::State& state) {
  inProcess(state, kSmoothPlain);
}
BENCHMARK(BM_DecodeSmoothingPlain)->Unit(benchmark::kMillisecond);

void BM_DecodeLibjpegFloat(benchmark::State& state) {
  inProcess(state, kLibjpeg);
}
BENCHMARK(BM_DecodeLibjpegFloat)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
