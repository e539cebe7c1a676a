// The setting commands' shared state and the typo check.
#include "app/core/psetfield.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

PDBFieldID lastFieldSet = PDBFend;
DBField lastSetVal;

void repeatSetting(PDBFieldID f, const char* value) {
  if (f < 0 || f >= PDBFend || value == nullptr) {
    lastFieldSet = PDBFend;
    lastSetVal.Clear();
    return;
  }
  lastFieldSet = f;
  lastSetVal.Set(value);  // a shared copy: the caller's text may go
}

void repeatSetting(PDBFieldID f, const DBField& value) {
  DBField first;
  if (f < 0 || f >= PDBFend || value.Get(&first, 0) != 1) {
    lastFieldSet = PDBFend;
    lastSetVal.Clear();
    return;
  }
  lastFieldSet = f;
  lastSetVal = first;
}

namespace {

inline int Low(char c) {
  return std::tolower(static_cast<unsigned char>(c));
}

// The slips between s and m, counted until they reach limit, plus m's unread rest.
int Slips(const char* s, size_t sl, const char* m, size_t ml, int limit) {
  size_t i = 0, j = 0;
  int count = 0;
  while (i < sl) {
    if (j >= ml) {
      count += static_cast<int>(sl - i);  // m ended: the rest of s counts
      break;
    }
    if (Low(s[i]) == Low(m[j])) {
      ++i, ++j;
      continue;
    }
    const int sn = i + 1 < sl ? Low(s[i + 1]) : 0, mn = j + 1 < ml ? Low(m[j + 1]) : 0;
    if (sn == mn) {
      ++i, ++j;  // one letter for another
    } else if (Low(s[i]) == mn) {
      ++j;  // m has a letter more
    } else if (Low(m[j]) == sn) {
      ++i;  // s has a letter more
    } else {
      ++i, ++j;
    }
    if (++count >= limit) break;
  }
  return count + static_cast<int>(ml - (j < ml ? j : ml));
}

}  // namespace

const char* typoMatch(const char* s, const PStringSet& set) {
  if (s == nullptr || set.GetSize() == 0) return nullptr;
  const size_t sl = strlen(s);
  if (sl < 2 || set.InSet(s)) return nullptr;
  int limit = static_cast<int>(sl / 8) + 2;
  const char* best = nullptr;
  for (int k = set.GetSize(); k-- > 0;) {
    const char* m = set[k];
    if (m == nullptr) continue;
    const size_t ml = strlen(m);
    if (std::labs(static_cast<long>(ml) - static_cast<long>(sl)) >= limit) continue;
    const int total = Slips(s, sl, m, ml, limit);
    if (total < limit) {
      best = m;
      limit = total;
    }
  }
  return best;
}
