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
class PHDPoll;
// Half-size 8-bit grey copy (2x2 block means of the green or grey values); poll, when given, is
// asked every few hundred rows, and a Stop it heard ends the copy (false, no pixels).
bool shrinkImage(_ImgStruct* dst, const _ImgStruct* src, PHDPoll* poll = nullptr);
// What the finest level of a search saw around its best shift, and whether that shift was
// found: a shift is found when it lies inside what the levels could reach (not on its rim,
// beyond which the search could not look) and its score is clearly below the scores two
// pixels away along either axis and the score of no shift.
struct PHDshiftCheck {
  long best = 0;       // score of the best shift
  long around = 0;     // the lowest score two pixels from it
  long zero = -1;      // the score of no shift; -1 when that lies within two pixels
  bool edge = false;   // the best shift lay as far out as the levels could reach
  bool found = false;  // the verdict
};
// Pyramid search of the shift of a onto b, each level within a quarter of its width and height,
// candidates scored by their share of differing pixels; shift gets twice the pixel offset, and
// fine, when given, the shift in pixels refined below a pixel; check, when given, whether the
// shift was found. poll, when given, is asked between the steps of each level: a Stop ends the
// search (false).
bool shiftImage(int* shift, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                int levels, double* fine = nullptr, PHDshiftCheck* check = nullptr,
                PHDPoll* poll = nullptr);
// Lowers the pyramid depth by the threshold's margin in lo..hi; false when it is too small.
bool limitShift(int* levels, int lo, int t, int hi);
// What a pair of point-mirrored regions measured: the rotation (degrees), the shift of the image
// centre (pixels) and the rotation half a pixel across the pair's separation makes (degrees).
struct PHDpairEst {
  float deg, cx, cy, step;
};
// Rotation of a against b in degrees from region r and its point-mirrored region; pair, when
// given, gets what the pair measured; poll as for shiftImage.
bool getRotation(float* deg, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                 int levels, const _ImgRect* r, PHDpairEst* pair = nullptr,
                 PHDPoll* poll = nullptr);

// The rotation from n (at most 3) pair estimates: the mean of the pairs whose centre shift
// agrees with the others' (within 2 pixels), and in centre, when given, their mean centre
// shift. False (rotation 0) when fewer than two pairs remain or when their rotations lie
// further apart than 0.07 degree, the largest step of the pairs kept and a fifth of their mean.
bool PHDmeanRotation(const PHDpairEst* est, int n, float* rot, float* centre = nullptr);

// The comparison values (green or grey) of src turned about its centre by angle degrees,
// clockwise on screen, into dst (whose pixels are freed first): an 8-bit grey image of src's
// size, as the image turned by ProtateImage with linear interpolation would give them
// (positions outside count as 0). False for an unsupported image or a failed allocation.
bool PHDrotateValues(_ImgStruct* dst, const _ImgStruct* src, double angle);

// The thresholds of exposure e and its neighbour prev (green statistics) and the pyramid depth
// their margins allow; -1 when either threshold is too extreme for alignment.
class PHDExposure;
int PHDalignDepth(const PHDExposure& e, const PHDExposure& prev, int* te, int* tprev);

// Differing pixels of a's bitmaps shifted by (sx, sy) against b's: set bits of
// (shift(at) ^ bt) & be & shift(ae), vacated positions excluded; compared, when given, gets the
// number of pixels compared (set bits of be & shift(ae)). Word-wise, on the bitmaps' packed
// bits; the plain form shifts copies of the ABitMap2s.
long PHDcountDiff(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt, const ABitMap2& be,
                  int sx, int sy, long* compared = nullptr);
long PHDcountDiffPlain(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt,
                       const ABitMap2& be, int sx, int sy, long* compared = nullptr);
