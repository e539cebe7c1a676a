// Cubic interpolation weights: twice the Catmull-Rom weights, scaled and rounded to integers.
#include "jpeghdr/jpeghdr.h"

namespace {

void cubicWeights(int16_t wt[4], float t, float scale) {
  const float t2 = t * t, t3 = t2 * t;
  wt[0] = static_cast<int16_t>((-t3 + 2.f * t2 - t) * scale - 0.5f);
  wt[1] = static_cast<int16_t>((3.f * t3 - 5.f * t2 + 2.f) * scale + 0.5f);
  wt[2] = static_cast<int16_t>((-3.f * t3 + 4.f * t2 + t) * scale + 0.5f);
  wt[3] = static_cast<int16_t>((t3 - t2) * scale - 0.5f);
}

}  // namespace

void comp_interp(int16_t wt[4], float t) {
  cubicWeights(wt, t, 512.f);
}

void comp_interp_orig(int16_t wt[4], float t) {
  cubicWeights(wt, t, 128.f);
}
