// Packed bitmaps for the alignment search: each row starts on a 64-bit word, so a row of one
// map can be compared with a shifted row of another a word at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "image/pimage.h"
#include "support/abitmap.h"

struct PHDRowBits {
  int w = 0, h = 0, wpr = 0;  // size and words per row
  std::vector<uint64_t> bits;
  const uint64_t* Row(int y) const { return bits.data() + static_cast<size_t>(y) * wpr; }
};

class PHDPoll;
// The threshold (value > t) and exclusion (value outside t-3..t+3) maps of an 8-bit image
// whose comparison value is the byte at offset off of each ps-byte pixel. poll, when given, is
// asked every few hundred rows; false (the maps part made) when it heard a Stop.
bool PHDthresholdRows(PHDRowBits* tb, PHDRowBits* eb, const _ImgStruct* img, int off, int ps, int t,
                      PHDPoll* poll = nullptr);
// The same layout from an ABitMap2.
void PHDpackRows(PHDRowBits* rb, const ABitMap2& bm);
// Set bits of (shift(at) ^ bt) & be & shift(ae) for a's maps moved by (sx, sy); compared, when
// given, gets the set bits of be & shift(ae), the pixels compared.
long PHDcountRows(const PHDRowBits& at, const PHDRowBits& ae, const PHDRowBits& bt,
                  const PHDRowBits& be, int sx, int sy, long* compared = nullptr);
