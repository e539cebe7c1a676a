// Least-squares fitting of the channel responses and the exposure adjustments on the patches.
#include <cmath>

#include "hdr/phdrimg.h"
#include "support/dmessage.h"

namespace {

bool columnsMatch(const PPatchSet* ps, int ustart, int uend) {
  return DMASSERT(uend - ustart == ps->nexp);
}

}  // namespace

bool PHDfitPoly(PHDSoln* s, int n, const PPatchSet* ps, const float* sto, int ustart, int uend,
                PHDPoll* poll) {
  if (!columnsMatch(ps, ustart, uend) || n < 1 || n > 5) return false;
  for (PPolynomial& p : s->ply) p.degree = n;
  for (int c = 0; c < 3; c++) {
    double A[5 * 5] = {0}, b[5] = {0};
    for (int k = ustart; k < uend; k++) {
      // A row of pairs is at most 49 x 400 patches.
      if (poll != nullptr && !poll->Go()) return false;
      for (int j = k + 1; j < uend; j++) {
        const double r = (double(s->expadj[j]) * sto[j]) / (double(s->expadj[k]) * sto[k]);
        const int ek = k - ustart, ej = j - ustart;
        for (int p = 0; p < ps->npatch; p++) {
          const uint8_t* vk = ps->val[p][ek];
          const uint8_t* vj = ps->val[p][ej];
          if (!vk[3] || !vj[3]) continue;
          const double xk = PHDbyteX(vk[c]), xj = PHDbyteX(vj[c]);
          double row[6];
          double pk = 1, pj = 1;
          for (int i = 0; i <= n; i++) {
            row[i] = pk - r * pj;
            pk *= xk;
            pj *= xj;
          }
          // Residual row_n + sum a_i (row_i - row_n): coef[n] = 1 - sum of the others, so
          // that P(1) = 1. Normal equations of that residual.
          for (int i = 0; i < n; i++) {
            const double li = row[i] - row[n];
            for (int m = 0; m < n; m++) A[i * n + m] += li * (row[m] - row[n]);
            b[i] -= li * row[n];
          }
        }
      }
    }
    double a[5];
    if (!GJsolveLinearEq(n, A, b, a)) return false;
    double sum = 0;
    for (int i = 0; i < n; i++) {
      s->ply[c].coef[i] = a[i];
      sum += a[i];
    }
    s->ply[c].coef[n] = 1.0 - sum;
    for (int i = n + 1; i < 6; i++) s->ply[c].coef[i] = 0;
  }
  return true;
}

bool PHDfitExposures(PHDSoln* s, const PPatchSet* ps, const float* sto, int ustart, int uend,
                     const float* maxadj) {
  if (!columnsMatch(ps, ustart, uend)) return false;
  double ratio[PHD_MAXEXP] = {0};
  for (int j = uend - 1; j > ustart; j--) {
    const int k = j - 1;
    const int ej = j - ustart, ek = k - ustart;
    double sum = 0;
    int cnt = 0;
    for (int p = 0; p < ps->npatch; p++) {
      const uint8_t* vk = ps->val[p][ek];
      const uint8_t* vj = ps->val[p][ej];
      if (!vk[3] || !vj[3]) continue;
      for (int c = 0; c < 3; c++) {
        const double pj = s->ply[c].Eval(PHDbyteX(vj[c]));
        const double pk = s->ply[c].Eval(PHDbyteX(vk[c]));
        if (!(pj > 0) || !(pk > 0)) continue;  // no meaningful ratio off the response's range
        sum += pj / pk;
        cnt++;
      }
    }
    if (cnt > 0)
      ratio[j] = sum / cnt;
    else
      ratio[j] = (double(s->expadj[k]) * sto[k]) / (double(s->expadj[j]) * sto[j]);
  }
  for (int j = ustart + 1; j < uend; j++) {
    const double nw = double(s->expadj[j - 1]) * sto[j - 1] / (ratio[j] * sto[j]);
    if (!std::isfinite(nw) || !(nw > 0)) continue;  // keep the current adjustment
    const double m = maxadj[j];
    s->expadj[j] = static_cast<float>(nw > m ? m : (nw < 1.0 / m ? 1.0 / m : nw));
  }
  return true;
}

double PHDfitError(const PHDSoln* s, const PPatchSet* ps, const float* sto, int ustart, int uend) {
  if (!columnsMatch(ps, ustart, uend)) return HUGE_VAL;
  double sum = 0;
  long cnt = 0;
  static const double wc[3] = {0.256, 0.678, 0.066};
  for (int j = ustart + 1; j < uend; j++) {
    const double Sj = double(s->expadj[j]) * sto[j], Sk = double(s->expadj[j - 1]) * sto[j - 1];
    const int ej = j - ustart, ek = j - 1 - ustart;
    for (int p = 0; p < ps->npatch; p++) {
      const uint8_t* vk = ps->val[p][ek];
      const uint8_t* vj = ps->val[p][ej];
      if (!vk[3] || !vj[3]) continue;
      double Lj[3], Lk[3], den = 0;
      for (int c = 0; c < 3; c++) {
        Lj[c] = Sj * s->ply[c].Eval(PHDbyteX(vj[c]));
        Lk[c] = Sk * s->ply[c].Eval(PHDbyteX(vk[c]));
        den += wc[c] * (Lj[c] + Lk[c]);
      }
      const double w = 2.0 / den;
      double t = 0;
      for (int c = 0; c < 3; c++) {
        const double d = w * (Lj[c] - Lk[c]);
        t += wc[c] * d * d;
      }
      sum += t;
      cnt++;
    }
  }
  if (cnt == 0) return NAN;
  return std::sqrt(sum / cnt);
}
