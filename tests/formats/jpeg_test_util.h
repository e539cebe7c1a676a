// Helpers of the JPEG and EXIF tests: small JPEGs made in memory, temporary files, outside
// tools and the EXIF segment of a JPEG file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "formats/jpegio.h"
#include "testutil/run_program.h"
#include "testutil/temp_dir.h"

// A w x h 8-bit RGB test pattern: red rises left to right, green top to bottom, blue is the
// red-green difference folded into 0..255.
inline uint8_t patternValue(int x, int y, int w, int h, int c) {
  const int r = x * 255 / (w > 1 ? w - 1 : 1), g = y * 255 / (h > 1 ? h - 1 : 1);
  return static_cast<uint8_t>(c == 0 ? r : c == 1 ? g : (r + g) / 2);
}

inline std::vector<uint8_t> testPattern(int w, int h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        px[(static_cast<size_t>(y) * w + x) * 3 + c] = patternValue(x, y, w, h, c);
  return px;
}

// The pattern compressed by libjpeg, its components numbered from firstId.
inline std::vector<uint8_t> testJpeg(int w, int h, int quality = 95, int firstId = 1,
                                     bool progressive = false) {
  const std::vector<uint8_t> px = testPattern(w, h);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long outsize = 0;
  jpeg_mem_dest(&c, &out, &outsize);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  for (int i = 0; i < c.num_components; ++i) c.comp_info[i].component_id = firstId + i;
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < h; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(px.data() + static_cast<size_t>(y) * w * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> v(out, out + outsize);
  std::free(out);
  return v;
}

inline bool haveTool(const char* name) {
  return testutil::OnPath(name);
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The payload of the first APP1 segment that starts "Exif\0\0", or nothing.
inline std::vector<uint8_t> exifSegment(const std::vector<uint8_t>& jpeg) {
  size_t p = 2;
  while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF) {
    const int marker = jpeg[p + 1];
    const size_t len = static_cast<size_t>(jpeg[p + 2]) << 8 | jpeg[p + 3];
    if (marker == 0xDA || len < 2 || p + 2 + len > jpeg.size()) break;
    if (marker == 0xE1 && len >= 8 && std::memcmp(&jpeg[p + 4], "Exif\0\0", 6) == 0)
      return std::vector<uint8_t>(jpeg.begin() + p + 4, jpeg.begin() + p + 2 + len);
    p += 2 + len;
  }
  return {};
}

// An open JPEG reader, closed at the end of the scope.
struct ReaderCloser {
  void operator()(_ImgReader* ir) const { JRclose(ir); }
};
using Reader = std::unique_ptr<_ImgReader, ReaderCloser>;
using testutil::TempFile;

// Reads the rectangle at subsample s in cs (which receives the colour space delivered); the
// pixels, or nothing when nothing was read. Checks that nothing is written past them.
inline std::vector<uint8_t> readRect(_ImgReader* ir, _ImgRect r, int s, _ImgColorSpace* cs) {
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = *cs;
  rb.r = r;
  rb.subsample = s;
  const size_t bytes = PreadBufBytes(&rb);
  std::vector<uint8_t> px(bytes + 16, 0xA5);
  rb.buf = px.data();
  rb.bufsize = bytes;
  const ImgReadErr e = JRreadRec(ir, &rb);
  *cs = rb.cs;
  if (e != IREnone || rb.r.ybottom == rb.r.ytop) return {};
  const size_t got = PreadBufBytes(&rb);
  for (size_t i = got; i < px.size(); ++i) EXPECT_EQ(px[i], 0xA5) << "written past the end";
  px.resize(got);
  return px;
}

inline std::vector<uint8_t> readAll(_ImgReader* ir, int s, _ImgColorSpace* cs) {
  return readRect(ir, {0, ir->xres / s * s, 0, ir->yres / s * s}, s, cs);
}
