// JPEG-HDR coding speed on a 12-megapixel HDR image (4000 x 3000), beside libjpeg coding the
// image's tone-mapped 8-bit foreground the way `cjpeg -quality 90` and `djpeg` do (defaults:
// integer DCT, 2x2 chroma subsampling, fancy upsampling), all in memory.
//
// The image is the shared GoldenGate picture tiled with mirroring when the test pictures are
// present, else a synthetic scene (jh_bench_image.h).
#include <benchmark/benchmark.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "jh_bench_image.h"
#include "jpegglue/jpegglue.h"
#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "jpeghdr/jpeghdr.h"

namespace {

constexpr int kW = kJhBenchW, kH = kJhBenchH;

const std::vector<float>& hdrImage() {
  static const std::vector<float> out = jhBenchImage();
  return out;
}

// Encodes the HDR image into out; false after a libjpeg error.
bool encodeHdr(std::ostream* out, int threads = 1) {
  return jhBenchEncode([out](j_compress_ptr c) { jpeg_stream_dest(c, out); }, hdrImage().data(), kW,
                       kH, threads);
}

const std::string& hdrFile() {
  static std::string file;
  if (file.empty()) {
    std::ostringstream out;
    encodeHdr(&out);
    file = out.str();
  }
  return file;
}

// Decodes the HDR file row by row into floats; false after a libjpeg error.
bool decodeHdr(std::istream* in, float* row) {
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    std::fprintf(stderr, "decode: %s\n", jpeg_error_buffer);
    jpeghdr_destroy_decompress(&jh);
    return false;
  }
  jpeghdr_create_decompress(&jh);
  jpeg_stream_src(&jh.cinfo, in);
  if (jpeghdr_read_header(&jh) != 3 || !jpeghdr_start_decompress(&jh)) {
    std::fprintf(stderr, "decode: not HDR or no start\n");
    jpeghdr_destroy_decompress(&jh);
    return false;
  }
  for (JDIMENSION y = 0; y < jh.cinfo.output_height; y++)
    if (!jpeghdr_read_scanline(&jh, row)) break;
  jpeghdr_finish_decompress(&jh);
  jpeghdr_destroy_decompress(&jh);
  return true;
}

// The foreground decoded as djpeg does: RGB bytes.
void decodePlain(std::istream* in, std::vector<uint8_t>* px) {
  jpeg_decompress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_decompress(&ci);
  jpeg_stream_src(&ci, in);
  jpeg_read_header(&ci, TRUE);
  ci.out_color_space = JCS_RGB;
  jpeg_start_decompress(&ci);
  px->resize(static_cast<size_t>(ci.output_width) * ci.output_height * 3);
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW row = px->data() + static_cast<size_t>(ci.output_scanline) * ci.output_width * 3;
    jpeg_read_scanlines(&ci, &row, 1);
  }
  jpeg_finish_decompress(&ci);
  jpeg_destroy_decompress(&ci);
}

const std::vector<uint8_t>& toneMapped() {
  static std::vector<uint8_t> px;
  if (px.empty()) {
    std::istringstream in(hdrFile());
    decodePlain(&in, &px);
  }
  return px;
}

void encodePlain(std::ostream* out, const std::vector<uint8_t>& px) {
  jpeg_compress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_compress(&ci);
  jpeg_stream_dest(&ci, out);
  ci.image_width = kW;
  ci.image_height = kH;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_set_quality(&ci, 90, TRUE);
  jpeg_start_compress(&ci, TRUE);
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(px.data() + static_cast<size_t>(ci.next_scanline) * kW * 3);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
}

void BM_JpegHdrEncode(benchmark::State& state) {
  hdrImage();
  for (auto _ : state) {
    std::ostringstream out;
    if (!encodeHdr(&out, static_cast<int>(state.range(0)))) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.tellp());
  }
  state.counters["bytes"] = static_cast<double>(hdrFile().size());
}
// The argument is the encoder's thread count; the time is the calling thread's CPU time plus
// nothing else, so with threads read the real time.
BENCHMARK(BM_JpegHdrEncode)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3)
    ->UseRealTime();

void BM_JpegHdrDecode(benchmark::State& state) {
  const std::string& file = hdrFile();
  std::vector<float> row(static_cast<size_t>(kW) * 3);
  for (auto _ : state) {
    std::istringstream in(file);
    if (!decodeHdr(&in, row.data())) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(row.data());
  }
}
BENCHMARK(BM_JpegHdrDecode)->Unit(benchmark::kMillisecond)->MinTime(3);

// Baselines: libjpeg on the tone-mapped 8-bit image.
void BM_PlainJpegEncodeQ90(benchmark::State& state) {
  const std::vector<uint8_t>& px = toneMapped();
  for (auto _ : state) {
    std::ostringstream out;
    encodePlain(&out, px);
    benchmark::DoNotOptimize(out.tellp());
  }
}
BENCHMARK(BM_PlainJpegEncodeQ90)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_PlainJpegDecode(benchmark::State& state) {
  std::ostringstream out;
  encodePlain(&out, toneMapped());
  const std::string file = out.str();
  std::vector<uint8_t> px;
  for (auto _ : state) {
    std::istringstream in(file);
    decodePlain(&in, &px);
    benchmark::DoNotOptimize(px.data());
  }
}
BENCHMARK(BM_PlainJpegDecode)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
