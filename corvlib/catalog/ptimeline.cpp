// The timeline of events.
//
// Events are found by the walk the chain defines: from the first event on, a photo belongs to
// the first event of its subject whose window holds its time, unless an event beginning at or
// after that time comes first, before which a new event is linked. Walking the chain for every
// photo is quadratic; the chain's search index gives the same event directly. The chain is kept
// in order of begin time, so the walk stops at the first event beginning at or after the time
// t, and before it only an event of the photo's subject beginning before t and reaching t with
// its end and slop can take the photo. The index keeps every event by begin time, and each
// subject's events by begin time with the longest reach (end + slop - begin) among them, which
// bounds how far back such an event can begin.
//
// Every event of a chain points to one shared PTimeIndex, which holds the chain's stamp beside
// the index; the index itself is filled when a search first needs it.
#include "catalog/ptimeline.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/pdbformat.h"
#include "support/dmessage.h"
#include "support/pwork.h"
#include "support/pstrings.h"

namespace {

// The last stamp given to a chain.
std::atomic<uint64_t> gLastStamp{0};

uint64_t NewStamp() {
  return gLastStamp.fetch_add(1, std::memory_order_relaxed) + 1;
}

// Whether a date text begins with its year: four digits and ':'. The year of such a valid date
// is those digits, whatever follows.
bool YearFirst(const char* d) {
  for (int i = 0; i < 4; i++)
    if (d[i] < '0' || d[i] > '9') return false;
  return d[4] == ':';
}

}  // namespace

struct PTimeIndex {
  using ByBegin = std::multimap<int64_t, PTimeLink*>;
  struct Subject {
    ByBegin events;
    int64_t reach = 0;  // at least end + slop - begin of each of its events
  };

  uint64_t stamp = NewStamp();
  bool built = false;  // first, all and subjects hold the chain
  PTimeLink* first = nullptr;
  ByBegin all;
  std::unordered_map<std::string_view, Subject> subjects;
  long notYearFirst = 0;  // events of all whose begin date does not begin with its year

  // Forgets the chain (the stamp stays).
  void Clear() {
    built = false;
    first = nullptr;
    all.clear();
    subjects.clear();
    notYearFirst = 0;
  }

  // Enters e (a non-empty event) in order: before the events of equal begin time when it was
  // linked before them, after them otherwise.
  void Add(PTimeLink* e, bool beforeEquals) {
    auto put = [&](ByBegin& m) {
      m.insert(beforeEquals ? m.lower_bound(e->begTime) : m.upper_bound(e->begTime),
               {e->begTime, e});
    };
    put(all);
    if (!YearFirst(e->begDate)) notYearFirst++;
    Subject& s = subjects[std::string_view(e->subject)];
    put(s.events);
    Reach(e, &s);
  }
  void Reach(const PTimeLink* e, Subject* s) {
    int64_t r = e->endTime + e->slopTime - e->begTime;
    if (r > s->reach) s->reach = r;
  }
  void Reach(const PTimeLink* e) {
    auto it = subjects.find(std::string_view(e->subject));
    if (it != subjects.end()) Reach(e, &it->second);
  }
  static bool Erase(ByBegin& m, const PTimeLink* e) {
    auto range = m.equal_range(e->begTime);
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == e) {
        m.erase(it);
        return true;
      }
    return false;
  }
  // Takes e out (under its current begin time).
  void Remove(const PTimeLink* e) {
    if (Erase(all, e) && !YearFirst(e->begDate)) notYearFirst--;
    auto it = subjects.find(std::string_view(e->subject));
    if (it == subjects.end()) return;
    Erase(it->second.events, e);
    if (it->second.events.empty()) subjects.erase(it);
  }
};

PTimeLink::PTimeLink() : PTimeLink(new PTimeIndex) {}

PTimeLink::PTimeLink(PTimeIndex* shared)
    : slopTime(kStandardSlop),
      next(nullptr),
      begTime(0),
      prev(nullptr),
      subject(nullptr),
      endTime(0),
      index(shared) {
  begDate[0] = endDate[0] = '\0';
}

PTimeLink::~PTimeLink() {
  KillTime();
  delete index;
}

uint64_t PTimeLink::Stamp() const {
  return index != nullptr ? index->stamp : 0;
}

void PTimeLink::Changed() {
  if (index != nullptr) index->stamp = NewStamp();
}

void PTimeLink::DeleteRun(PTimeLink* p, bool forward) {
  // One event at a time: a long chain builds no deep recursion of destructors.
  for (long long k = 1; p != nullptr; ++k) {
    PworkItem(k, -1);
    PTimeLink* n = forward ? p->next : p->prev;
    p->next = p->prev = nullptr;
    p->index = nullptr;
    delete p;
    p = n;
  }
}

void PTimeLink::KillTime() {
  const bool empty = next == nullptr && prev == nullptr && subject == nullptr && begTime == 0 &&
                     endTime == 0 && begDate[0] == '\0' && endDate[0] == '\0';
  // This event is cut from the chain first: it stands alone, whole, while the rest goes.
  PTimeLink* after = next;
  PTimeLink* before = prev;
  next = prev = nullptr;
  DeleteRun(after, true);
  DeleteRun(before, false);
  if (index != nullptr) index->Clear();
  if (!empty) Changed();
  strunlink(subject);
  subject = nullptr;
  begTime = endTime = 0;
  begDate[0] = endDate[0] = '\0';
}

void PTimeLink::CopyFields(const PTimeLink& o) {
  const char* s = strlink(o.subject);
  strunlink(subject);
  subject = s;
  memcpy(begDate, o.begDate, sizeof(begDate));
  memcpy(endDate, o.endDate, sizeof(endDate));
  begTime = o.begTime;
  endTime = o.endTime;
  slopTime = o.slopTime;
}

namespace {

bool SameText(const char* a, const char* b) {
  return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

}  // namespace

const PTimeLink* PTimeLink::Twin(const PTimeLink& other) const {
  const PTimeLink* at = nullptr;
  const PTimeLink *a = First(), *b = other.First();
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
    if (a->begTime != b->begTime || a->endTime != b->endTime || a->slopTime != b->slopTime ||
        !SameText(a->subject, b->subject) || memcmp(a->begDate, b->begDate, sizeof(PDate)) != 0 ||
        memcmp(a->endDate, b->endDate, sizeof(PDate)) != 0)
      return nullptr;
    if (b == &other) at = a;
  }
  return a == nullptr && b == nullptr ? at : nullptr;
}

PTimeLink& PTimeLink::operator=(const PTimeLink& other) {
  if (&other == this) return *this;
  // The copies are made first: other may belong to this event's own chain.
  std::vector<PTimeLink*> after, before;
  for (const PTimeLink* o = other.next; o != nullptr; o = o->next) {
    after.push_back(new PTimeLink(nullptr));
    after.back()->CopyFields(*o);
  }
  for (const PTimeLink* o = other.prev; o != nullptr; o = o->prev) {
    before.push_back(new PTimeLink(nullptr));
    before.back()->CopyFields(*o);
  }
  PTimeLink self(nullptr);
  self.CopyFields(other);
  KillTime();
  CopyFields(self);
  PTimeLink* tail = this;
  for (PTimeLink* n : after) {
    n->index = index;
    tail->next = n;
    n->prev = tail;
    tail = n;
  }
  PTimeLink* head = this;
  for (PTimeLink* n : before) {
    n->index = index;
    head->prev = n;
    n->next = head;
    head = n;
  }
  Changed();
  return *this;
}

bool PTimeLink::Set(const char* subj, const char* date) {
  if (subj == nullptr || date == nullptr) return false;
  int64_t t = PsecsFromDate(date);
  if (t == 0) return false;
  begTime = endTime = t;
  memcpy(begDate, date, sizeof(PDate) - 1);
  begDate[sizeof(PDate) - 1] = '\0';
  memcpy(endDate, begDate, sizeof(PDate));
  const char* s = strlink(subj);
  strunlink(subject);
  subject = s;
  return true;
}

PTimeline& PTimeline::operator=(const PTimeline& other) {
  if (&other == this) return *this;
  // A snapshot put back over the timeline it was taken from, unchanged since, copies nothing:
  // the events (which the timeline list points to) stay.
  if (const PTimeLink* at = timel->Twin(*other.timel))
    timel = const_cast<PTimeLink*>(at);
  else
    *timel = *other.timel;
  return *this;
}

PTimeLink* PTimeLink::First() const {
  if (index != nullptr && index->built) return index->first;
  const PTimeLink* e = this;
  while (e->prev != nullptr) e = e->prev;
  return const_cast<PTimeLink*>(e);
}

const PTimeLink* PTimeLink::FirstEvent() const {
  const PTimeLink* f = First();
  return f->begTime != 0 ? f : nullptr;
}

void PTimeLink::EnsureIndex() {
  if (index->built) return;
  PTimeLink* f = First();
  PTimeIndex* ix = index;
  ix->first = f;
  for (PTimeLink* e = f; e != nullptr; e = e->next)
    if (e->begTime != 0 && e->subject != nullptr) ix->Add(e, false);
  ix->built = true;
}

bool PTimeLink::MergeNext() {
  PTimeLink* n = next;
  if (n == nullptr || n->subject != subject) return false;
  if (!DMASSERT(begTime != 0) || !DMASSERT(n->begTime != 0)) return false;
  if (endTime + slopTime < n->begTime) return false;
  Changed();
  if (index->built) {
    index->Remove(n);
    if (begTime > n->begTime) index->Remove(this);
  }
  const bool rekey = begTime > n->begTime;
  if (endTime < n->endTime) {
    endTime = n->endTime;
    memcpy(endDate, n->endDate, sizeof(PDate));
  }
  if (rekey) {
    begTime = n->begTime;
    memcpy(begDate, n->begDate, sizeof(PDate));
  }
  if (index->built) {
    if (rekey) index->Add(this, true);
    index->Reach(this);
  }
  next = n->next;
  if (next != nullptr) next->prev = this;
  n->next = n->prev = nullptr;
  n->index = nullptr;
  delete n;
  return true;
}

PTimeLink* PTimeLink::Extend(PTimeLink* e, int64_t t, const char* date) {
  if (t >= e->begTime && t <= e->endTime) return e;
  if (t > e->endTime) {
    // A later end alone is no change of the stamp: a merge it brings is.
    e->endTime = t;
    memcpy(e->endDate, date, sizeof(PDate) - 1);
    e->endDate[sizeof(PDate) - 1] = '\0';
    if (e->index->built) e->index->Reach(e);
    e->MergeNext();
    return e;
  }
  e->Changed();
  if (e->index->built) e->index->Remove(e);
  e->begTime = t;
  memcpy(e->begDate, date, sizeof(PDate) - 1);
  e->begDate[sizeof(PDate) - 1] = '\0';
  if (e->index->built) e->index->Add(e, true);
  PTimeLink* p = e->prev;
  return p != nullptr && p->MergeNext() ? p : e;
}

PTimeLink* PTimeLink::NewEvent(const char* subj, const char* date, PTimeLink* before,
                               PTimeLink* after) {
  PTimeLink* n = new PTimeLink(nullptr);
  if (!n->Set(subj, date)) {
    delete n;
    return nullptr;
  }
  PTimeLink* nb = before != nullptr ? before : after;
  n->slopTime = nb->slopTime;
  n->index = nb->index;
  if (before != nullptr) {
    n->prev = before->prev;
    n->next = before;
    if (before->prev != nullptr) before->prev->next = n;
    before->prev = n;
  } else {
    n->next = after->next;
    n->prev = after;
    if (after->next != nullptr) after->next->prev = n;
    after->next = n;
  }
  if (n->index->built) {
    n->index->Add(n, before != nullptr);
    if (n->prev == nullptr) n->index->first = n;
  }
  n->Changed();
  return n;
}

PTimeLink* PTimeLink::InsertEvent(const char* subj, const char* date) {
  if (subj == nullptr || date == nullptr) return nullptr;
  PTimeLink* f = First();
  if (f->begTime == 0) {
    if (!f->Set(subj, date)) return nullptr;
    f->Changed();
    return f;
  }
  const int64_t t = PsecsFromDate(date);
  if (t == 0) return nullptr;
  EnsureIndex();
  PTimeIndex* ix = index;
  // An event of the subject beginning before t whose window reaches t: the earliest one.
  PTimeLink* hit = nullptr;
  auto sit = ix->subjects.find(std::string_view(subj));
  if (sit != ix->subjects.end()) {
    const PTimeIndex::ByBegin& m = sit->second.events;
    const int64_t from = t - sit->second.reach;
    for (auto it = m.lower_bound(t); it != m.begin();) {
      --it;
      if (it->first < from) break;
      if (it->second->endTime + it->second->slopTime >= t) hit = it->second;
    }
  }
  if (hit != nullptr) return Extend(hit, t, date);
  // Otherwise the first event beginning at or after t decides.
  auto at = ix->all.lower_bound(t);
  if (at == ix->all.end()) {
    PTimeLink* last = ix->all.rbegin()->second;
    while (last->next != nullptr) last = last->next;
    return NewEvent(subj, date, nullptr, last);
  }
  PTimeLink* e = at->second;
  while (e->prev != nullptr && e->prev->begTime >= t) e = e->prev;
  if (e->InWindow(t) && e->subject != nullptr && strcmp(e->subject, subj) == 0)
    return Extend(e, t, date);
  return NewEvent(subj, date, e, nullptr);
}

bool PTimeLink::NextYear(const PTimeLink** found) const {
  // With every begin date written year first, the years of the chain (kept in order of begin
  // time) run in order too, and the next year begins with the first event at or after its
  // January 1.
  if (begTime == 0 || index == nullptr || !index->built || index->notYearFirst != 0) return false;
  const int year = (begDate[0] - '0') * 1000 + (begDate[1] - '0') * 100 + (begDate[2] - '0') * 10 +
                   (begDate[3] - '0');
  *found = nullptr;
  if (year >= 9999) return true;  // no year of four digits is later
  char from[sizeof(PDate) + 8];
  snprintf(from, sizeof from, "%04d:01:01 00:00:00", year + 1);
  const int64_t t = PsecsFromDate(from);
  if (t == 0) return false;
  auto at = index->all.lower_bound(t);
  if (at == index->all.end()) return true;
  const PTimeLink* e = at->second;
  while (e->prev != nullptr && e->prev->begTime >= t) e = e->prev;
  *found = e;
  return true;
}

const PTimeLink* PTimeLink::MatchFrom(const char* subj, int64_t t) const {
  for (const PTimeLink* e = this; e != nullptr; e = e->next) {
    const bool same = subj == nullptr || subj == e->subject ||
                      (e->subject != nullptr && strcmp(subj, e->subject) == 0);
    if (same && e->InWindow(t)) return e;
    if (e->begTime >= t) return nullptr;
  }
  return nullptr;
}

const PTimeLink* PTimeLink::MatchEvent(const char* subj, const char* date) const {
  if (subj == nullptr || date == nullptr) return nullptr;
  const int64_t t = PsecsFromDate(date);
  return t != 0 ? First()->MatchFrom(subj, t) : nullptr;
}

void PTimeLink::GetHaps(PStringSet* set, const char* date) const {
  if (set == nullptr || date == nullptr) return;
  const int64_t t = PsecsFromDate(date);
  if (t == 0) return;
  for (const PTimeLink* e = First()->MatchFrom(nullptr, t);
       e != nullptr && e->begTime <= t + e->slopTime; e = e->next)
    set->Insert(e->subject);
}
