// Builds TIFF-structured blocks (header, directories, out-of-line values) in either byte
// order, for tests of the directory reader and the EXIF routines.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

class TiffBuilder {
 public:
  explicit TiffBuilder(bool littleEndian) : le_(littleEndian) {}

  // A new directory; chained ones follow each other from IFD0 in the order made, the others
  // are reached only through pointer entries.
  int addIfd(bool chained = true) {
    ifds_.push_back({chained, {}});
    return static_cast<int>(ifds_.size()) - 1;
  }
  // A raw entry: value bytes already in the file's byte order.
  void raw(int ifd, uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
    ifds_[ifd].entries.push_back({tag, type, count, std::move(bytes), -1, -1});
  }
  void ascii(int ifd, uint16_t tag, const std::string& s) {
    std::vector<uint8_t> b(s.begin(), s.end());
    b.push_back(0);
    const uint32_t n = static_cast<uint32_t>(b.size());
    raw(ifd, tag, 2, n, std::move(b));
  }
  void bytes(int ifd, uint16_t tag, uint16_t type, const std::string& s) {
    raw(ifd, tag, type, static_cast<uint32_t>(s.size()), std::vector<uint8_t>(s.begin(), s.end()));
  }
  void shorts(int ifd, uint16_t tag, std::vector<uint16_t> v, uint16_t type = 3) {
    std::vector<uint8_t> b;
    for (uint16_t x : v) put(b, x, 2);
    raw(ifd, tag, type, static_cast<uint32_t>(v.size()), std::move(b));
  }
  void longs(int ifd, uint16_t tag, std::vector<uint32_t> v, uint16_t type = 4) {
    std::vector<uint8_t> b;
    for (uint32_t x : v) put(b, x, 4);
    raw(ifd, tag, type, static_cast<uint32_t>(v.size()), std::move(b));
  }
  void rationals(int ifd, uint16_t tag, std::vector<std::pair<uint32_t, uint32_t>> v,
                 uint16_t type = 5) {
    std::vector<uint8_t> b;
    for (auto& p : v) {
      put(b, p.first, 4);
      put(b, p.second, 4);
    }
    raw(ifd, tag, type, static_cast<uint32_t>(v.size()), std::move(b));
  }
  void doubles(int ifd, uint16_t tag, std::vector<double> v) {
    std::vector<uint8_t> b;
    for (double d : v) {
      uint64_t w;
      std::memcpy(&w, &d, 8);
      if (le_) {
        put(b, static_cast<uint32_t>(w), 4);
        put(b, static_cast<uint32_t>(w >> 32), 4);
      } else {
        put(b, static_cast<uint32_t>(w >> 32), 4);
        put(b, static_cast<uint32_t>(w), 4);
      }
    }
    raw(ifd, tag, 12, static_cast<uint32_t>(v.size()), std::move(b));
  }
  // A LONG entry holding the offset of directory target.
  void pointer(int ifd, uint16_t tag, int target) {
    ifds_[ifd].entries.push_back({tag, 4, 1, {}, target, -1});
  }
  // Bytes placed after everything else; blobPointer stores their offset in a LONG entry.
  int addBlob(std::vector<uint8_t> b) {
    blobs_.push_back(std::move(b));
    return static_cast<int>(blobs_.size()) - 1;
  }
  void blobPointer(int ifd, uint16_t tag, int blob) {
    ifds_[ifd].entries.push_back({tag, 4, 1, {}, -1, blob});
  }

  std::vector<uint8_t> build() const {
    std::vector<uint32_t> ifdAt(ifds_.size());
    uint32_t at = 8;
    for (size_t i = 0; i < ifds_.size(); ++i) {
      ifdAt[i] = at;
      at += 2 + 12 * static_cast<uint32_t>(ifds_[i].entries.size()) + 4;
    }
    // Out-of-line values, then blobs.
    std::vector<std::vector<uint32_t>> valueAt(ifds_.size());
    for (size_t i = 0; i < ifds_.size(); ++i)
      for (auto& e : ifds_[i].entries) {
        valueAt[i].push_back(at);
        if (e.data.size() > 4) at += static_cast<uint32_t>(e.data.size() + (e.data.size() & 1));
      }
    std::vector<uint32_t> blobAt;
    for (auto& b : blobs_) {
      blobAt.push_back(at);
      at += static_cast<uint32_t>(b.size());
    }
    std::vector<uint8_t> out;
    out.push_back(le_ ? 'I' : 'M');
    out.push_back(le_ ? 'I' : 'M');
    put(out, 42, 2);
    put(out, ifds_.empty() ? 0 : ifdAt[firstChained()], 4);
    for (size_t i = 0; i < ifds_.size(); ++i) {
      const auto& d = ifds_[i];
      put(out, static_cast<uint32_t>(d.entries.size()), 2);
      for (size_t k = 0; k < d.entries.size(); ++k) {
        const auto& e = d.entries[k];
        put(out, e.tag, 2);
        put(out, e.type, 2);
        put(out, e.count, 4);
        if (e.target >= 0) {
          put(out, ifdAt[e.target], 4);
        } else if (e.blob >= 0) {
          put(out, blobAt[e.blob], 4);
        } else if (e.data.size() <= 4) {
          std::vector<uint8_t> v = e.data;
          v.resize(4, 0);
          out.insert(out.end(), v.begin(), v.end());
        } else {
          put(out, valueAt[i][k], 4);
        }
      }
      put(out, d.chained ? nextChained(i, ifdAt) : 0, 4);
    }
    for (size_t i = 0; i < ifds_.size(); ++i)
      for (auto& e : ifds_[i].entries)
        if (e.data.size() > 4) {
          out.insert(out.end(), e.data.begin(), e.data.end());
          if (e.data.size() & 1) out.push_back(0);
        }
    for (auto& b : blobs_) out.insert(out.end(), b.begin(), b.end());
    return out;
  }

  // The block as an APP1 payload: "Exif", two zero bytes, then the TIFF structure.
  std::vector<uint8_t> exifPayload() const {
    std::vector<uint8_t> out = {'E', 'x', 'i', 'f', 0, 0};
    auto b = build();
    out.insert(out.end(), b.begin(), b.end());
    return out;
  }

  void put(std::vector<uint8_t>& b, uint32_t v, int n) const {
    for (int i = 0; i < n; ++i) {
      const int shift = le_ ? 8 * i : 8 * (n - 1 - i);
      b.push_back(static_cast<uint8_t>(v >> shift));
    }
  }

 private:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> data;
    int target, blob;
  };
  struct Ifd {
    bool chained;
    std::vector<Entry> entries;
  };
  size_t firstChained() const {
    for (size_t i = 0; i < ifds_.size(); ++i)
      if (ifds_[i].chained) return i;
    return 0;
  }
  uint32_t nextChained(size_t i, const std::vector<uint32_t>& at) const {
    for (size_t k = i + 1; k < ifds_.size(); ++k)
      if (ifds_[k].chained) return at[k];
    return 0;
  }
  bool le_;
  std::vector<Ifd> ifds_;
  std::vector<std::vector<uint8_t>> blobs_;
};
