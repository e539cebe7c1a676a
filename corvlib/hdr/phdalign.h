// Exposure alignment: threshold bitmaps compared over an image pyramid for the shift, and
// shifts of opposite regions for the rotation.
#pragma once

#include "image/pimage.h"
#include "support/abitmap.h"

// An offset candidate: differing pixels and its shift.
struct BMdiff {
  long count;
  int sx, sy;
};
// Ascending order of candidates by count, for qsort.
int cmpBMdiff(const void* a, const void* b);

// Threshold (value > t) and exclusion (value outside t-3..t+3) bitmaps of an 8-bit RGB (green)
// or grey image.
bool thresholdImage(ABitMap2* tbm, ABitMap2* ebm, const _ImgStruct* img, int t);
// Half-size 8-bit grey copy (2x2 block means of the green or grey values).
bool shrinkImage(_ImgStruct* dst, const _ImgStruct* src);
// Pyramid search of the shift of a onto b; shift gets twice the pixel offset.
bool shiftImage(int* shift, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                int levels);
// Lowers the pyramid depth by the threshold's margin in lo..hi; false when it is too small.
bool limitShift(int* levels, int lo, int t, int hi);
// Rotation of a against b in degrees from region r and its point-mirrored region.
bool getRotation(float* deg, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                 int levels, const _ImgRect* r);

// The rotation from n region estimates: their mean; false (rotation 0) when there is none or
// when they contradict each other (one above 0.07 degree, another below -0.07).
bool PHDmeanRotation(const float* est, int n, float* rot);

// Differing pixels of a's bitmaps shifted by (sx, sy) against b's: set bits of
// (shift(at) ^ bt) & be & shift(ae), vacated positions excluded. Word-wise, on the bitmaps'
// packed bits; the plain form shifts copies of the ABitMap2s.
long PHDcountDiff(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt, const ABitMap2& be,
                  int sx, int sy);
long PHDcountDiffPlain(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt,
                       const ABitMap2& be, int sx, int sy);
