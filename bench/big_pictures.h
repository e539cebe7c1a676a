// Very large pictures for the benchmarks, written a row at a time so that making them takes
// little memory: a 30000 x 20000 camera-like JPEG and a 20000 x 20000 float OpenEXR. They are
// made once in /tmp/lumerin_bench_big and kept for later runs.
#pragma once

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfOutputFile.h>

namespace bigpic {

inline const std::string& Dir() {
  static const std::string d = [] {
    const std::string p = "/tmp/lumerin_bench_big";
    mkdir(p.c_str(), 0755);
    return p;
  }();
  return d;
}

inline bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && st.st_size > 0;
}

// A smooth picture with some detail: gradients, a fine pattern and a little noise.
inline void PaintRow(unsigned char* row, int w, int h, int y) {
  unsigned s = 2463534242u ^ static_cast<unsigned>(y) * 2654435761u;
  for (int x = 0; x < w; ++x) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    const int n = static_cast<int>(s & 15) - 8;
    const int r = 255 * x / w, g = 255 * y / h, b = ((x / 64 + y / 64) & 1) ? 200 : 60;
    row[3 * x] = static_cast<unsigned char>(std::min(255, std::max(0, r + n)));
    row[3 * x + 1] = static_cast<unsigned char>(std::min(255, std::max(0, g + n)));
    row[3 * x + 2] = static_cast<unsigned char>(std::min(255, std::max(0, b + n)));
  }
}

// A JPEG of w x h pixels at quality 90; its path, "" when it could not be written.
inline std::string Jpeg(int w, int h) {
  const std::string path = Dir() + "/big" + std::to_string(w) + "x" + std::to_string(h) + ".jpg";
  if (Exists(path)) return path;
  const std::string tmp = path + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return "";
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    PaintRow(row.data(), w, h, y);
    JSAMPROW rp = row.data();
    jpeg_write_scanlines(&c, &rp, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  const bool ok = std::fclose(f) == 0;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) return "";
  return path;
}

// A float R,G,B OpenEXR of w x h pixels (ZIP), values from about 0.001 to 1000 in blocks of
// 32 x 16 pixels (so it stays small on disk); its path, "" when it could not be written.
inline std::string FloatExr(int w, int h) {
  const std::string path = Dir() + "/big" + std::to_string(w) + "x" + std::to_string(h) + ".exr";
  if (Exists(path)) return path;
  const std::string tmp = path + ".part.exr";
  try {
    Imf::Header hd(w, h);
    hd.compression() = Imf::ZIP_COMPRESSION;
    hd.channels().insert("R", Imf::Channel(Imf::FLOAT));
    hd.channels().insert("G", Imf::Channel(Imf::FLOAT));
    hd.channels().insert("B", Imf::Channel(Imf::FLOAT));
    Imf::OutputFile out(tmp.c_str(), hd);
    constexpr int kRows = 16;
    std::vector<float> px(static_cast<size_t>(w) * kRows * 3);
    for (int y0 = 0; y0 < h; y0 += kRows) {
      const int n = std::min(kRows, h - y0);
      for (int j = 0; j < n; ++j)
        for (int x = 0; x < w; ++x) {
          float* p = &px[(static_cast<size_t>(j) * w + x) * 3];
          const int bx = x / 32, by = (y0 + j) / 16;
          const float v = std::pow(10.0f, -3.0f + 6.0f * static_cast<float>(bx) * 32 / w);
          p[0] = v;
          p[1] = v * (0.5f + 0.5f * static_cast<float>(by) * 16 / h);
          p[2] = v * (((bx + by) & 1) ? 0.8f : 0.3f);
        }
      Imf::FrameBuffer fb;
      char* base = reinterpret_cast<char*>(px.data()) -
                   (static_cast<ptrdiff_t>(y0) * w) * 3 * static_cast<ptrdiff_t>(sizeof(float));
      const size_t xs = 3 * sizeof(float), ys = xs * static_cast<size_t>(w);
      fb.insert("R", Imf::Slice(Imf::FLOAT, base, xs, ys));
      fb.insert("G", Imf::Slice(Imf::FLOAT, base + sizeof(float), xs, ys));
      fb.insert("B", Imf::Slice(Imf::FLOAT, base + 2 * sizeof(float), xs, ys));
      out.setFrameBuffer(fb);
      out.writePixels(n);
    }
  } catch (...) {
    std::remove(tmp.c_str());
    return "";
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return "";
  return path;
}

}  // namespace bigpic
