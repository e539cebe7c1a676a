// Helpers of the JPEG-HDR tests: synthetic HDR scenes, files in memory and on disk, and the
// APP11 segments of a file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "jpeghdr/jpeghdr.h"
#include "testutil/temp_dir.h"

namespace jhtest {

inline float luminance(const float* p) {
  return 0.2126f * p[0] + 0.7152f * p[1] + 0.0722f * p[2];
}

// A smooth coloured scene whose luminance spans `decades` powers of ten: a diagonal ramp with
// two bright soft blobs.
inline std::vector<float> smoothScene(int w, int h, float decades = 4.5f) {
  std::vector<float> px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const float u = (x + 0.5f) / w, v = (y + 0.5f) / h;
      float e = 0.55f * (0.6f * u + 0.4f * v);
      const float d1 = (u - 0.3f) * (u - 0.3f) + (v - 0.35f) * (v - 0.35f);
      const float d2 = (u - 0.75f) * (u - 0.75f) + (v - 0.7f) * (v - 0.7f);
      e += 0.45f * std::exp(-d1 / 0.01f) + 0.3f * std::exp(-d2 / 0.02f);
      const float lum = std::pow(10.f, -1.f + decades * (e > 1.f ? 1.f : e));
      float* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      // Gentle hue changes, kept well inside the gamut.
      p[0] = 0.8f + 0.4f * u;
      p[1] = 1.0f;
      p[2] = 0.7f + 0.5f * v;
      const float s = lum / luminance(p);
      for (int c = 0; c < 3; c++) p[c] *= s;
    }
  return px;
}

// A JPEG file name in the temporary folder, removed with the object; stem names its use.
struct TempPath : testutil::TempFile {
  explicit TempPath(const char* /*stem*/) : testutil::TempFile(".jpg") {}
};

inline std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const char* path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

// One marker segment before the scan: its marker byte and payload (after the length).
struct Segment {
  int marker;
  std::string payload;
};

// Splits a JPEG into its header segments up to (not including) SOS; rest receives SOS onward.
inline std::vector<Segment> headerSegments(const std::string& f, std::string* rest) {
  std::vector<Segment> segs;
  size_t i = 2;
  while (i + 4 <= f.size() && static_cast<uint8_t>(f[i]) == 0xFF) {
    const int m = static_cast<uint8_t>(f[i + 1]);
    if (m == 0xDA) break;
    const size_t len = (static_cast<uint8_t>(f[i + 2]) << 8) | static_cast<uint8_t>(f[i + 3]);
    segs.push_back({m, f.substr(i + 4, len - 2)});
    i += 2 + len;
  }
  if (rest != nullptr) *rest = f.substr(i);
  return segs;
}

inline std::string joinSegments(const std::vector<Segment>& segs, const std::string& rest) {
  std::string f("\xFF\xD8", 2);
  for (const Segment& s : segs) {
    const size_t len = s.payload.size() + 2;
    f += static_cast<char>(0xFF);
    f += static_cast<char>(s.marker);
    f += static_cast<char>(len >> 8);
    f += static_cast<char>(len & 255);
    f += s.payload;
  }
  return f + rest;
}

inline std::vector<std::string> app11Payloads(const std::string& f) {
  std::vector<std::string> out;
  for (const Segment& s : headerSegments(f, nullptr))
    if (s.marker == 0xEB) out.push_back(s.payload);
  return out;
}

// Relative luminance errors of decoded against original pixels, sorted.
inline std::vector<float> relErrors(const std::vector<float>& orig, const float* dec, size_t n) {
  std::vector<float> e(n);
  for (size_t i = 0; i < n; i++) {
    const float lo = luminance(&orig[3 * i]), ld = luminance(dec + 3 * i);
    e[i] = std::fabs(ld - lo) / lo;
  }
  std::sort(e.begin(), e.end());
  return e;
}

}  // namespace jhtest
