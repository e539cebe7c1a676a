// Fuzz target for the JPEG-HDR decoder: APP11 segment parsing and reassembly, ratio-image
// decoding, resampling and post-correction, and row reconstruction. The first byte picks the
// mode: 0 decodes the rest as a whole file; 1 takes the rest as the payload of the ratio
// segments (header text, zero byte, ratio-image JPEG) and carries it in a fixed small
// foreground, so that the ratio path is reached often; 2 decodes the rest as a plain JPEG
// through the stream source with the smoothing inverse DCT.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "jpegglue/jpegglue.h"
#include "jpegglue/jpegsfidct.h"
#include "jpeghdr/jpeghdr.h"
#include "fuzz_jpegmem.h"

namespace {

constexpr unsigned long kMaxPixels = 1ul << 20;

// Decodes from in under an armed jump record; the row buffer is the caller's.
void decode(std::istream* in, float* row, size_t row_floats, uint8_t* bytes) {
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    jpeghdr_destroy_decompress(&jh);
    return;
  }
  jpeghdr_create_decompress(&jh);
  jpeg_stream_src(&jh.cinfo, in);
  if (jpeghdr_read_header(&jh) != 3) {
    jpeghdr_destroy_decompress(&jh);
    return;
  }
  // Keep large images cheap: decode them reduced, or not at all.
  unsigned long px = static_cast<unsigned long>(jh.cinfo.image_width) * jh.cinfo.image_height;
  if (px > kMaxPixels) jh.cinfo.scale_denom = 8;
  jpeg_calc_output_dimensions(&jh.cinfo);
  if (static_cast<unsigned long>(jh.cinfo.output_width) * jh.cinfo.output_height > kMaxPixels ||
      jh.cinfo.output_width * 3 > row_floats) {
    jpeghdr_destroy_decompress(&jh);
    return;
  }
  if (jpeghdr_start_decompress(&jh)) {
    while (jpeghdr_read_scanline(&jh, row))
      for (JDIMENSION x = 0; x < jh.cinfo.output_width; x += 7)
        jpeghdr_scan_rgb24(&jh, bytes, static_cast<int>(x));
    jpeghdr_finish_decompress(&jh);
  }
  jpeghdr_destroy_decompress(&jh);
}

// Decodes from in as a plain JPEG with the smoothing transform, under an armed jump record.
void decodePlain(std::istream* in, uint8_t* row, size_t row_bytes) {
  jpeg_decompress_struct ci;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&ci), sizeof ci, &jerr, &rec);
  if (setjmp(rec.env)) {
    jpeg_destroy_decompress(&ci);
    return;
  }
  jpeg_create_decompress(&ci);
  jpeg_stream_src(&ci, in);
  jpeg_read_header(&ci, TRUE);
  if (static_cast<unsigned long>(ci.image_width) * ci.image_height > kMaxPixels ||
      static_cast<size_t>(ci.image_width) * ci.num_components > row_bytes) {
    jpeg_destroy_decompress(&ci);
    return;
  }
  ci.dct_method = JDCT_FLOAT;
  jpeg_start_decompress(&ci);
  jpeg_sf_idct(&ci);
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW rp = row;
    if (jpeg_read_scanlines(&ci, &rp, 1) != 1) break;
  }
  jpeg_abort_decompress(&ci);
  jpeg_destroy_decompress(&ci);
}

// A plain 40 x 24 YCbCr JPEG (grey ramp), made once.
std::string makeForeground() {
  std::ostringstream out;
  jpeg_compress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_compress(&ci);
  jpeg_stream_dest(&ci, &out);
  ci.image_width = 40;
  ci.image_height = 24;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_start_compress(&ci, TRUE);
  JSAMPLE row[40 * 3];
  while (ci.next_scanline < ci.image_height) {
    for (int i = 0; i < 40 * 3; i++) row[i] = static_cast<JSAMPLE>(i * 2 + ci.next_scanline * 5);
    JSAMPROW rp = row;
    jpeg_write_scanlines(&ci, &rp, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
  return out.str();
}

void appendSegment(std::string* f, const char* data, size_t n) {
  const size_t len = n + 2;
  f->push_back(static_cast<char>(0xFF));
  f->push_back(static_cast<char>(0xEB));
  f->push_back(static_cast<char>(len >> 8));
  f->push_back(static_cast<char>(len & 255));
  f->append(data, n);
}

// The foreground with payload carried in APP11 segments after its first (JFIF) segment.
std::string wrap(const uint8_t* payload, size_t size) {
  static const std::string fg = makeForeground();
  const size_t app0_end = 4 + ((static_cast<uint8_t>(fg[4]) << 8) | static_cast<uint8_t>(fg[5]));
  std::string f = fg.substr(0, app0_end);
  const char* p = reinterpret_cast<const char*>(payload);
  size_t first = size < 65280 ? size : 65280;
  appendSegment(&f, p, first);
  for (int ext = 1; first < size; ext++) {
    char text[32];
    const int tl = std::snprintf(text, sizeof text, "HDR_RI ext=%d\n~", ext) + 1;
    const size_t n = size - first < static_cast<size_t>(65280 - tl) ? size - first : 65280 - tl;
    std::string seg(text, tl);
    seg.append(p + first, n);
    appendSegment(&f, seg.data(), seg.size());
    first += n;
  }
  return f + fg.substr(app0_end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static float row[4096 * 3];
  uint8_t bytes[3];
  if (data[0] == 2) {
    static uint8_t brow[4096 * 4];
    std::istringstream in(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    decodePlain(&in, brow, sizeof brow);
    return 0;
  }
  std::string file = data[0] == 1 ? wrap(data + 1, size - 1)
                                  : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  std::istringstream in(file);
  decode(&in, row, sizeof row / sizeof row[0], bytes);
  return 0;
}
