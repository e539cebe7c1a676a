// Thumbnail speed on one core: a 160-pixel-wide 8-bit RGB render of an 8-megapixel camera JPEG
// through the reader registry's render (open, decode at 1/8 inside libjpeg, resample), next to
// the same 1/8 decode done with libjpeg alone, djpeg -scale 1/8 and vipsthumbnail -s 160 (the
// outside programs timed as whole commands, process start included).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench_testdata.h"
#include "formats/jpegio.h"
#include "image/corvane.h"

namespace {

// The shared test pictures: $LUMERIN_TESTDATA, else the folder beside the source tree.
const std::string kFile = testdataDir() + "/jpeg/67-0_length_string.jpg";  // 4032 x 2012

bool haveFile() {
  struct stat st;
  return stat(kFile.c_str(), &st) == 0;
}

void BM_RenderThumb160(benchmark::State& state) {
  if (!haveFile()) {
    state.SkipWithError("test picture absent");
    return;
  }
  for (auto _ : state) {
    _ImgReader* ir = JRopen(kFile.c_str());
    _ImgStruct img;
    std::memset(&img, 0, sizeof img);
    img.xres = 160;
    img.yres = 160;
    img.csp = &ICS_sRGB;
    if (ir == nullptr || !PrenderImageR(&img, ir, 1)) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(img.img);
    PfreeImage(&img);
    JRclose(ir);
  }
}
BENCHMARK(BM_RenderThumb160)->Unit(benchmark::kMillisecond);

// What djpeg -scale 1/8 does, without its process and output: libjpeg's defaults at 1/8.
void BM_LibjpegScale8(benchmark::State& state) {
  if (!haveFile()) {
    state.SkipWithError("test picture absent");
    return;
  }
  for (auto _ : state) {
    FILE* fp = std::fopen(kFile.c_str(), "rb");
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_stdio_src(&c, fp);
    jpeg_read_header(&c, TRUE);
    c.scale_num = 1;
    c.scale_denom = 8;
    jpeg_start_decompress(&c);
    std::vector<uint8_t> row(static_cast<size_t>(c.output_width) * c.output_components);
    while (c.output_scanline < c.output_height) {
      JSAMPROW r = row.data();
      jpeg_read_scanlines(&c, &r, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    std::fclose(fp);
    benchmark::DoNotOptimize(row.data());
  }
}
BENCHMARK(BM_LibjpegScale8)->Unit(benchmark::kMillisecond);

void runCommand(benchmark::State& state, const std::string& tool, const std::string& cmd) {
  if (!haveFile() || std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
    state.SkipWithError((tool + " or the test picture absent").c_str());
    return;
  }
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError((tool + " failed").c_str());
}

void BM_DjpegScale8(benchmark::State& state) {
  runCommand(state, "djpeg", "djpeg -scale 1/8 '" + kFile + "' > /dev/null");
}
BENCHMARK(BM_DjpegScale8)->Unit(benchmark::kMillisecond);

void BM_Vipsthumbnail160(benchmark::State& state) {
  runCommand(state, "vipsthumbnail",
             "vipsthumbnail '" + kFile + "' -s 160 -o /tmp/lumerin_bench_thumb.jpg");
}
BENCHMARK(BM_Vipsthumbnail160)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
