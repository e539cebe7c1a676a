// The aspect typed in the image export options, read in the C locale.
#include "app/export/paspect.h"

#include <cmath>

#include "support/cnumber.h"

namespace {

// Whether a number read up to p goes on with a decimal comma: a digit, a comma, a digit.
bool DecimalComma(const char* p) {
  return Cdigit(p[-1]) && p[0] == ',' && Cdigit(p[1]);
}

}  // namespace

bool PaspectOf(const char* text, float* aspect) {
  if (text == nullptr || aspect == nullptr) return false;
  float a = 0, b = 0;
  int endA = 0, endB = 0;
  const int n = Csscanf(text, "%f%n%*[^0-9]%f%n", &a, &endA, &b, &endB);
  // The scan would take "1,85:1" for 1 to 85 and "1.85:1,5" for 1.85 to 1.
  if ((n >= 1 && endA > 0 && DecimalComma(text + endA)) ||
      (n == 2 && endB > 0 && DecimalComma(text + endB)))
    return false;
  float r = 0;
  if (n == 2 && a > 0 && b > 0) r = a < b ? a / b : b / a;
  // Sides beyond a float's range give no shape: the picture keeps its own.
  *aspect = std::isfinite(r) ? r : 0;
  return true;
}
