// Whole-process JPEG-HDR coding of the benchmark image, for timing the codec from outside
// beside the libjpeg command-line tools on its foreground.
//   jhcode image RAW          writes the 12-megapixel benchmark image as raw floats
//   jhcode encode RAW OUT [THREADS]   encodes it at quality 90 into OUT
//   jhcode decode FILE        decodes a JPEG-HDR file to float rows (not written anywhere)
// RAW is the text "JHF <width> <height>" padded with spaces to 31 bytes and a line break,
// followed by width x height x 3 native floats.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpegglue/jpegglue.h"
#include "jh_bench_image.h"
#include "jpeghdr/jpeghdr.h"

namespace {

int writeImage(const char* path) {
  const std::vector<float> px = jhBenchImage();
  FILE* fp = std::fopen(path, "wb");
  if (fp == nullptr) return 1;
  // The text is padded to 32 bytes so the floats after it are aligned when mapped.
  char text[33];
  std::snprintf(text, sizeof text, "JHF %d %d", kJhBenchW, kJhBenchH);
  const size_t tl = std::strlen(text);
  std::memset(text + tl, ' ', 31 - tl);
  text[31] = '\n';
  std::fwrite(text, 1, 32, fp);
  const bool ok = std::fwrite(px.data(), sizeof(float), px.size(), fp) == px.size();
  return std::fclose(fp) == 0 && ok ? 0 : 1;
}

int encodeFile(const char* in, const char* outPath, int threads) {
  const int fd = open(in, O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  const size_t len = static_cast<size_t>(st.st_size);
  void* map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return 1;
  const char* base = static_cast<const char*>(map);
  int w = 0, h = 0, n = 0;
  if (std::sscanf(base, "JHF %d %d %n", &w, &h, &n) != 2 || w <= 0 || h <= 0 ||
      len - n < sizeof(float) * 3 * static_cast<size_t>(w) * h)
    return 1;
  // The pixels start right after the text; copy when that is not float-aligned.
  std::vector<float> copy;
  const float* px = reinterpret_cast<const float*>(base + n);
  if (n % alignof(float) != 0) {
    copy.resize(3 * static_cast<size_t>(w) * h);
    std::memcpy(copy.data(), base + n, copy.size() * sizeof(float));
    px = copy.data();
  }
  FILE* out = std::fopen(outPath, "wb");
  if (out == nullptr) return 1;
  const bool ok =
      jhBenchEncode([out](j_compress_ptr c) { jpeg_stdio_dest(c, out); }, px, w, h, threads);
  return std::fclose(out) == 0 && ok ? 0 : 1;
}

bool decode(FILE* in) {
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    jpeghdr_destroy_decompress(&jh);
    return false;
  }
  jpeghdr_create_decompress(&jh);
  jpeg_stdio_src(&jh.cinfo, in);
  if (jpeghdr_read_header(&jh) != 3 || !jpeghdr_start_decompress(&jh)) {
    jpeghdr_destroy_decompress(&jh);
    return false;
  }
  float* row = static_cast<float*>(std::malloc(sizeof(float) * 3 * jh.cinfo.output_width));
  bool ok = row != nullptr;
  for (JDIMENSION y = 0; ok && y < jh.cinfo.output_height; y++)
    ok = jpeghdr_read_scanline(&jh, row) == 1;
  std::free(row);
  jpeghdr_finish_decompress(&jh);
  jpeghdr_destroy_decompress(&jh);
  return ok;
}

int decodeFile(const char* path) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return 1;
  const bool ok = decode(in);
  std::fclose(in);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "image") == 0) return writeImage(argv[2]);
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "encode") == 0)
    return encodeFile(argv[2], argv[3], argc == 5 ? std::atoi(argv[4]) : 1);
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) return decodeFile(argv[2]);
  std::fprintf(stderr, "usage: jhcode image RAW | encode RAW OUT [THREADS] | decode FILE\n");
  return 2;
}
