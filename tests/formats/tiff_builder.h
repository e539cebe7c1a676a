// Builds TIFF-structured blocks (header, directories, out-of-line values) in either byte
// order, for tests of the directory reader and the EXIF routines, and small whole TIFF files.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

class TiffBuilder {
 public:
  explicit TiffBuilder(bool littleEndian) : le_(littleEndian) {}

  // A new directory; chained ones follow IFD0 in the order made, the others are reached only
  // through pointer entries.
  int addIfd(bool chained = true) {
    ifds_.push_back({chained, {}});
    return static_cast<int>(ifds_.size()) - 1;
  }
  // An entry whose value bytes are already in the file's byte order.
  void raw(int ifd, uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
    ifds_[ifd].push_back({tag, type, count, std::move(bytes), kNone});
  }
  void ascii(int ifd, uint16_t tag, const std::string& s) {
    raw(ifd, tag, 2, static_cast<uint32_t>(s.size() + 1),
        std::vector<uint8_t>(s.c_str(), s.c_str() + s.size() + 1));
  }
  void bytes(int ifd, uint16_t tag, uint16_t type, const std::string& s) {
    raw(ifd, tag, type, static_cast<uint32_t>(s.size()), std::vector<uint8_t>(s.begin(), s.end()));
  }
  void shorts(int ifd, uint16_t tag, std::vector<uint32_t> v, uint16_t type = 3) {
    words(ifd, tag, type, v, 2);
  }
  void longs(int ifd, uint16_t tag, std::vector<uint32_t> v, uint16_t type = 4) {
    words(ifd, tag, type, v, 4);
  }
  void rationals(int ifd, uint16_t tag, std::vector<std::pair<uint32_t, uint32_t>> v,
                 uint16_t type = 5) {
    // Room made first and the words pushed one by one: an inlined list insert leads GCC 12 at
    // -O3 to warn of an overflow that cannot happen.
    std::vector<uint32_t> w;
    w.reserve(2 * v.size());
    for (auto& p : v) {
      w.push_back(p.first);
      w.push_back(p.second);
    }
    words(ifd, tag, type, w, 4);
    ifds_[ifd].back().count = static_cast<uint32_t>(v.size());
  }
  void doubles(int ifd, uint16_t tag, std::vector<double> v) {
    std::vector<uint32_t> w;  // filled as in rationals
    w.reserve(2 * v.size());
    for (double d : v) {
      uint64_t b;
      std::memcpy(&b, &d, 8);
      const uint32_t hi = static_cast<uint32_t>(b >> 32), lo = static_cast<uint32_t>(b);
      w.push_back(le_ ? lo : hi);
      w.push_back(le_ ? hi : lo);
    }
    words(ifd, tag, 12, w, 4);
    ifds_[ifd].back().count = static_cast<uint32_t>(v.size());
  }
  // A LONG entry holding the offset of directory target.
  void pointer(int ifd, uint16_t tag, int target) { ifds_[ifd].push_back({tag, 4, 1, {}, target}); }
  // Bytes placed after everything else, and a LONG entry holding their offset.
  void blob(int ifd, uint16_t tag, std::vector<uint8_t> b) {
    blobs_.push_back(std::move(b));
    ifds_[ifd].push_back({tag, 4, 1, {}, kBlob - static_cast<int>(blobs_.size() - 1)});
  }

  std::vector<uint8_t> build() const {
    std::vector<uint32_t> at(ifds_.size());
    uint32_t end = 8;
    for (size_t i = 0; i < ifds_.size(); ++i) {
      at[i] = end;
      end += 6 + 12 * static_cast<uint32_t>(ifds_[i].size());
    }
    std::vector<uint8_t> out = {uint8_t(le_ ? 'I' : 'M'), uint8_t(le_ ? 'I' : 'M')}, data;
    put(out, 42, 2);
    put(out, ifds_.empty() ? 0 : at[0], 4);
    for (size_t i = 0; i < ifds_.size(); ++i) {
      put(out, static_cast<uint32_t>(ifds_[i].size()), 2);
      for (const auto& e : ifds_[i]) {
        put(out, e.tag, 2);
        put(out, e.type, 2);
        put(out, e.count, 4);
        if (e.ref >= 0) {
          put(out, at[e.ref], 4);
        } else if (e.ref <= kBlob) {
          put(out, 0, 4);  // patched below
        } else if (e.data.size() <= 4) {
          for (size_t k = 0; k < 4; ++k) out.push_back(k < e.data.size() ? e.data[k] : 0);
        } else {
          put(out, end + static_cast<uint32_t>(data.size()), 4);
          data.insert(data.end(), e.data.begin(), e.data.end());
          if (data.size() & 1) data.push_back(0);
        }
      }
      size_t next = i + 1;
      while (next < ifds_.size() && !ifds_[next].chained) ++next;
      put(out, ifds_[i].chained && next < ifds_.size() ? at[next] : 0, 4);
    }
    out.insert(out.end(), data.begin(), data.end());
    // Blobs last; their pointer entries get the offsets.
    size_t pos = 8;
    for (size_t i = 0; i < ifds_.size(); ++i, pos += 6) {
      for (const auto& e : ifds_[i]) {
        if (e.ref <= kBlob) {
          std::vector<uint8_t> off;
          put(off, static_cast<uint32_t>(out.size()), 4);
          std::memcpy(&out[pos + 10], off.data(), 4);
          const auto& b = blobs_[kBlob - e.ref];
          out.insert(out.end(), b.begin(), b.end());
        }
        pos += 12;
      }
    }
    return out;
  }

  void put(std::vector<uint8_t>& b, uint32_t v, int n) const {
    for (int i = 0; i < n; ++i)
      b.push_back(static_cast<uint8_t>(v >> (le_ ? 8 * i : 8 * (n - 1 - i))));
  }

 private:
  static constexpr int kNone = -1, kBlob = -2;  // ref: directory index, none, or blob kBlob - i
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> data;
    int ref;
  };
  struct Ifd : std::vector<Entry> {
    Ifd(bool c, std::vector<Entry> e) : std::vector<Entry>(std::move(e)), chained(c) {}
    bool chained;
  };
  void words(int ifd, uint16_t tag, uint16_t type, const std::vector<uint32_t>& v, int n) {
    std::vector<uint8_t> b;
    for (uint32_t x : v) put(b, x, n);
    raw(ifd, tag, type, static_cast<uint32_t>(v.size()), std::move(b));
  }
  bool le_;
  std::vector<Ifd> ifds_;
  std::vector<std::vector<uint8_t>> blobs_;
};

// A grey 8-bit, uncompressed TIFF of w x h in strips of 4 rows or tiles of 16 x 16, its
// directory and tables ahead of its pixels (as some writers lay them out), so that a cut
// leaves them whole.
inline std::string HeadFirstTiff(uint32_t w, uint32_t h, bool tiled) {
  const uint32_t bw = tiled ? 16 : w, bh = tiled ? 16 : 4;
  const uint32_t n = (w + bw - 1) / bw * ((h + bh - 1) / bh), size = bw * bh;
  auto laidOut = [&](uint32_t pixelsAt) {
    TiffBuilder b(true);
    const int d = b.addIfd();
    std::vector<uint32_t> at(n);
    for (uint32_t i = 0; i < n; ++i) at[i] = pixelsAt + i * size;
    b.longs(d, 256, {w});
    b.longs(d, 257, {h});
    b.shorts(d, 258, {8});
    b.shorts(d, 259, {1});
    b.shorts(d, 262, {1});
    if (!tiled) b.longs(d, 273, at);
    b.shorts(d, 277, {1});
    if (tiled) {
      b.longs(d, 322, {bw});
      b.longs(d, 323, {bh});
    }
    b.longs(d, tiled ? 324 : 278, tiled ? at : std::vector<uint32_t>{bh});
    b.longs(d, tiled ? 325 : 279, std::vector<uint32_t>(n, size));
    return b.build();
  };
  std::vector<uint8_t> f = laidOut(0);
  f = laidOut(static_cast<uint32_t>(f.size()));
  for (uint32_t i = 0; i < n * size; ++i) f.push_back(static_cast<uint8_t>(i * 7));
  return std::string(f.begin(), f.end());
}
