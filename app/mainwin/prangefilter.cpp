#include "app/mainwin/prangefilter.h"

#include <algorithm>
#include <vector>

#include "support/pstrings.h"

namespace {

struct Span {
  const char* lo;  // the range on field k, in the order of the field's own comparison
  const char* hi;
  size_t sel;
};

bool Before(const char* a, const char* b) {
  return strcmp_nc(a, b) < 0;
}

// The single string value of a bound, else null.
const char* OneString(const DBField* f) {
  if (f == nullptr || f->nv != 1 || f->dt != DBDTstring) return nullptr;
  const char* s = nullptr;
  return f->Get(&s, 1) == 1 ? s : nullptr;
}

}  // namespace

int KeepMatching(DBRecordList* list, const DBQuery* q, int k) {
  const DBFieldInfo* schema = list->GetFieldInfo();
  const DBQueryPlan plan(q, schema);
  // Spans sorted by their low end; reach[j] is the highest high end among spans 0..j, so the
  // spans that can hold a value v are those from the first whose reach is >= v up to the last
  // whose low end is <= v. Selectors without a usable range on k are tried for every record.
  std::vector<Span> spans;
  std::vector<size_t> always;
  for (size_t i = 0; i < plan.Selectors(); ++i) {
    const DBField* flo = nullptr;
    const DBField* fhi = nullptr;
    const char* a = plan.Bounds(i, k, &flo, &fhi) ? OneString(flo) : nullptr;
    const char* b = a != nullptr ? OneString(fhi) : nullptr;
    if (a == nullptr || b == nullptr) {
      always.push_back(i);
    } else if (Before(b, a)) {
      spans.push_back(Span{b, a, i});
    } else {
      spans.push_back(Span{a, b, i});
    }
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& x, const Span& y) { return Before(x.lo, y.lo); });
  std::vector<const char*> reach(spans.size());
  for (size_t j = 0; j < spans.size(); ++j)
    reach[j] = j > 0 && Before(spans[j].hi, reach[j - 1]) ? reach[j - 1] : spans[j].hi;

  const bool fast = plan.Separable();
  auto matches = [&](const DBRecord& r) {
    if (!fast || r.GetFieldInfo() != schema || k < 0 || k >= r.GetNAlloc()) return plan.Match(r);
    const DBField* v = r.GetField(k);
    if (v == nullptr || v->nv == 0 || v->dt != DBDTstring) return plan.Match(r);
    for (size_t i : always)
      if (plan.MatchSelector(r, i)) return true;
    const char* vals[DB_MAXARRAY];
    const int n = v->Get(vals, std::min<int>(v->nv, DB_MAXARRAY));
    for (int m = 0; m < n; ++m) {
      const char* s = vals[m];
      if (s == nullptr) continue;
      auto last = std::upper_bound(spans.begin(), spans.end(), s,
                                   [](const char* x, const Span& y) { return Before(x, y.lo); });
      auto first = std::lower_bound(reach.begin(), reach.end(), s, Before) - reach.begin();
      for (auto j = spans.begin() + first; j < last; ++j)
        if (!Before(j->hi, s) && plan.MatchSelector(r, j->sel)) return true;
    }
    return false;
  };
  for (int i = list->GetSize(); i-- > 0;)
    if (!matches(list->Get(i))) (*list)[i].Init();
  list->Compact(false);
  return list->GetSize();
}
