// The query cursor of record lists: FindFirst and FindNext over the records in memory.
#include "db/dbquery.h"
#include "db/dbrlist.h"

int DBRecordList::FindFirst(const DBQuery* q) const {
  if (q == nullptr) return -1;
  mq = q;
  spos = 0;
  return FindNext();
}

int DBRecordList::FindNext() const {
  if (mq == nullptr) return -1;
  while (spos >= 0 && spos < nr) {
    const int i = spos++;
    if (rl[i].MatchQuery(mq)) return i;
  }
  mq = nullptr;
  return -1;
}
