// Bit maps: ABitMap is a fixed-length array of bits used as a set of record numbers; ABitMap2
// lays the same bits out row by row as a two-dimensional mask that can be shifted and grown.
// Bit i is bit (i mod 32) of word i / 32, counting from the least significant bit.
#pragma once

#include <cstdint>

class ABitMap {
 public:
  explicit ABitMap(uint32_t n = 0, bool value = false);
  ABitMap(const ABitMap& other);
  ABitMap& operator=(const ABitMap& other);
  ~ABitMap();

  // New length n with every bit set to value; false (and no words) for n = 0 or no memory.
  bool NewBitMap(uint32_t n, bool value = false);
  void ClearBitMap(bool value = false);
  // Bits start .. start + n - 1 (cut at the length) set to value.
  void ClearBits(uint32_t start, uint32_t n, bool value = false);
  uint32_t Length() const { return len; }
  // Number of set bits.
  uint32_t SumTotal() const;

  // First bit at or after start equal to value; Length() when none.
  uint32_t Find(uint32_t start = 0, bool value = true) const;
  uint32_t Find(int start, bool value = true) const {
    return Find(static_cast<uint32_t>(start < 0 ? 0 : start), value);
  }
  // Iterator form: moves *pos to the next bit at or after it equal to value; false at the end.
  bool Find(uint32_t* pos, bool value = true) const;

  bool Check(uint32_t i) const { return i < len && (bmap[i >> 5] & Bit(i)) != 0; }
  void Set(uint32_t i) {
    ++changes;
    if (i < len) bmap[i >> 5] |= Bit(i);
  }
  void Reset(uint32_t i) {
    ++changes;
    if (i < len) bmap[i >> 5] &= ~Bit(i);
  }
  void Set(uint32_t i, bool value) { value ? Set(i) : Reset(i); }
  // The word holding bit i (a scratch word beyond the length, whose writes change nothing); it
  // is to be written before the map is read again.
  uint32_t& Word(uint32_t i) {
    ++changes;
    if (i < len) return bmap[i >> 5];
    dummy = 0;
    return dummy;
  }
  uint32_t WordV(uint32_t i) const { return i < len ? bmap[i >> 5] : 0; }
  static uint32_t Bit(uint32_t i) { return uint32_t{1} << (i & 31); }
  uint32_t NumWords() const { return nwords(len); }
  const uint32_t* Words() const { return bmap; }
  // How many times the map was changed (or handed out a word to change): a result computed
  // from the map stays valid while the count is the same.
  uint64_t Changes() const { return changes; }

  void Invert();
  bool operator==(const ABitMap& other) const;
  bool operator!=(const ABitMap& other) const { return !(*this == other); }
  // OR with a map of the same length; a map of another length is copied.
  ABitMap& operator|=(const ABitMap& other);
  // AND / XOR with a map of the same length; another length leaves the map unchanged.
  ABitMap& operator&=(const ABitMap& other);
  ABitMap& operator^=(const ABitMap& other);
  // Bit i takes bit i + n; the top n bits become 0.
  ABitMap& operator>>=(uint32_t n);
  // Bit i takes bit i - n; the lowest n bits become 0.
  ABitMap& operator<<=(uint32_t n);

 protected:
  static uint32_t nwords(uint32_t n) { return (n >> 5) + ((n & 31) != 0); }
  // Clears the bits past len in the last word, so whole-word reads see only the map.
  void MaskTail();
  void SetRun(uint32_t start, uint32_t n, bool value);

  uint32_t len = 0;
  uint32_t* bmap = nullptr;
  uint64_t changes = 0;
  mutable uint64_t countedAt = ~uint64_t{0};  // the changes at which counted was taken
  mutable uint32_t counted = 0;

 private:
  static thread_local uint32_t dummy;
};

class ABitMap2 : public ABitMap {
 public:
  ABitMap2() = default;
  ABitMap2(int width, int height, bool value = false);
  ABitMap2(const ABitMap2& other) = default;
  ABitMap2& operator=(const ABitMap2& other) = default;

  // New sizes with every bit set to value; false for an empty or too large map.
  bool NewBitMap(int w, int h, bool value = false);
  int Width() const { return width; }
  int Height() const { return height; }
  bool OffBitMap(int x, int y) const { return x < 0 || y < 0 || x >= width || y >= height; }
  bool Check(int x, int y) const {
    return !OffBitMap(x, y) && ABitMap::Check(static_cast<uint32_t>(y) * width + x);
  }
  void Reset(int x, int y) {
    if (!OffBitMap(x, y)) ABitMap::Reset(static_cast<uint32_t>(y) * width + x);
  }
  // Iterator in row order: moves (*x, *y) to the next position at or after it whose bit equals
  // value (a negative *y starts at (0, 0)); false at the end or for a map narrower than 1.
  bool Find(int* x, int* y, bool value = true) const;
  // The rectangle, clipped to the map, set to value.
  void ClearRect(int x, int y, int w, int h, bool value = false);
  // Moves the content right by dx and down by dy. fill < 0 leaves the vacated bands as the
  // shift left them; 0 clears them; 1 sets them.
  void Shift(int dx, int dy, int fill = 0);
  // Grows the region of value bits by a disc of the given radius (a negative radius grows the
  // opposite value).
  void Expand(double radius, bool value = true);

  using ABitMap::Check;
  using ABitMap::Reset;

 private:
  int width = 0;
  int height = 0;
};
