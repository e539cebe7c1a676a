// The aspect typed in the image export options, read in the C locale.
#include "app/export/paspect.h"

#include <cmath>
#include <cstring>

#include "support/cnumber.h"

namespace {

// A number of an aspect at s: digits with at most one point, no sign and no exponent. Its end,
// with the value in *v, or NULL when s does not start with one.
const char* AspectNumber(const char* s, double* v) {
  const char* p = s;
  int digits = 0;
  while (Cdigit(*p)) ++p, ++digits;
  if (*p == '.')
    for (++p; Cdigit(*p); ++p) ++digits;
  if (digits == 0) return nullptr;
  char* end = nullptr;
  *v = Cstrtod(s, &end);
  return end == p ? p : nullptr;
}

}  // namespace

bool PaspectOf(const char* text, float* aspect) {
  if (text == nullptr || aspect == nullptr) return false;
  const char* p = text;
  while (Cspace(*p)) ++p;
  if (*p == '\0') {
    *aspect = 0;
    return true;
  }
  double a = 0, b = 0;
  if ((p = AspectNumber(p, &a)) == nullptr) return false;
  // Between the numbers anything but what would belong to a number: a comma here is a decimal
  // comma, and "1,85:1" three numbers.
  // A lone dash between them ("16-9", "16 - 9") separates too; beside other marks it would be a
  // sign.
  const char* sep = p;
  int dashes = 0, others = 0;
  for (; *p != '\0' && !Cdigit(*p); ++p) {
    if (*p == '-')
      ++dashes;
    else if (strchr(",.+eE", *p) != nullptr)
      return false;
    else if (!Cspace(*p))
      ++others;
  }
  if (dashes > 1 || (dashes == 1 && others > 0)) return false;
  if (p == sep || (p = AspectNumber(p, &b)) == nullptr) return false;
  while (Cspace(*p)) ++p;
  if (*p != '\0' || !(a > 0) || !(b > 0)) return false;
  const float r = static_cast<float>(a < b ? a / b : b / a);
  if (!(r > 0) || !std::isfinite(r)) return false;  // one side beyond the other's range
  *aspect = r;
  return true;
}
