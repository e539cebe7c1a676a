// The timeline: catalogued photos grouped into events, a subject photographed over a span of
// capture dates. Photos of one subject whose capture times lie within a slop (two days) of an
// event belong to it; an event grows at either end as photos arrive and swallows the next
// event when they come within the slop. Events form a doubly linked chain in order of their
// begin times; the chain is reached from any of its events. A stamp tells whether the events,
// their order, subjects and begin dates are still those something was drawn from.
#pragma once

#include <cstdint>

class PStringSet;
struct PTimeIndex;

// A capture-date text "YYYY:MM:DD hh:mm:ss" and its NUL.
typedef char PDate[20];

class PTimeLink {
 public:
  // An empty event (no subject, times 0) with the standard slop.
  PTimeLink();
  // Deletes every other event of the chain.
  ~PTimeLink();
  PTimeLink(const PTimeLink&) = delete;
  // Makes this event's chain a copy of other's chain, this event taking other's place in it.
  PTimeLink& operator=(const PTimeLink& other);
  // When this event's chain is event for event the same as other's chain, its event in other's
  // place; null otherwise.
  const PTimeLink* Twin(const PTimeLink& other) const;

  // Records one photo; the event that now holds it, or null for a null subject or date, or a
  // date that is not a valid capture date.
  PTimeLink* InsertEvent(const char* subject, const char* date);
  // The first event of the chain the photo would belong to (any subject for a null subject
  // here; null for a null date or an invalid one).
  const PTimeLink* MatchEvent(const char* subject, const char* date) const;
  // Adds to set the subjects of the events happening around the date.
  void GetHaps(PStringSet* set, const char* date) const;
  // Deletes every other event of the chain and empties this one.
  void KillTime();

  const char* GetSubject() const { return subject; }
  const char* GetBeginDate() const { return begTime != 0 ? begDate : nullptr; }
  const char* GetEndDate() const { return endTime != 0 ? endDate : nullptr; }
  const PTimeLink* NextEvent() const { return next; }
  // The first event of the chain, null while the chain is empty.
  const PTimeLink* FirstEvent() const;
  // Finds, without a walk, the first event after this one whose begin date's year (its first
  // four digits) differs (null when none): true when found through the chain's search index,
  // false when that cannot be (the index not built yet, or a begin date not written year first).
  bool NextYear(const PTimeLink** found) const;
  // The chain's stamp: the same value only while the chain's events are the same events, in
  // the same order, with the same subjects and begin dates (none added, merged or deleted, none
  // beginning earlier, no copy made into the chain). An end that moves later, the event staying,
  // keeps the stamp. Stamps are never reused.
  uint64_t Stamp() const;

  // Seconds a capture time may lie before the begin or after the end of the event and still
  // belong to it; new events take their neighbour's. Set it before events are inserted: the
  // search for an event relies on the slops the events had when they last changed.
  int64_t slopTime;
  static constexpr int64_t kStandardSlop = 172800;  // two days

 private:
  friend struct PTimeIndex;
  // An event of no chain yet (shared null): one of a chain being made.
  explicit PTimeLink(PTimeIndex* shared);
  // Deletes p and the events after it (forward) or before it.
  static void DeleteRun(PTimeLink* p, bool forward);
  bool Set(const char* subj, const char* date);
  bool MergeNext();
  PTimeLink* First() const;
  // Makes every event of the chain share one search index (built when missing).
  void EnsureIndex();
  // Records (subj, t, date) in the event e, which holds the photo's window.
  PTimeLink* Extend(PTimeLink* e, int64_t t, const char* date);
  // A new event for the photo, linked before (or, for a null before, after) the given event.
  PTimeLink* NewEvent(const char* subj, const char* date, PTimeLink* before, PTimeLink* after);
  bool InWindow(int64_t t) const { return begTime - slopTime <= t && t <= endTime + slopTime; }
  const PTimeLink* MatchFrom(const char* subj, int64_t t) const;
  void CopyFields(const PTimeLink& o);
  // Notes a change of the chain: a new stamp.
  void Changed();

  // A walk along the chain reads next, begTime and begDate: they lie together.
  PTimeLink* next;
  int64_t begTime;  // seconds since 1980-01-01; 0 marks an empty event
  PDate begDate;
  PDate endDate;
  PTimeLink* prev;
  const char* subject;  // shared string (strlink)
  int64_t endTime;
  // What the events of the chain share: its stamp and its search index (built when needed).
  // Null only in an event being deleted or not yet linked.
  PTimeIndex* index;
};

class PTimeline {
 public:
  PTimeline() : timel(new PTimeLink) {}
  ~PTimeline() { delete timel; }
  PTimeline(const PTimeline&) = delete;
  // Makes the chain a copy of other's, the current event at the place of other's. A chain
  // already the same as other's is kept (its events and stamp stay): only the current event
  // moves.
  PTimeline& operator=(const PTimeline& other);

  const PTimeLink* FirstEvent() const { return timel->FirstEvent(); }
  // The stamp of the chain (see PTimeLink::Stamp).
  uint64_t Stamp() const { return timel->Stamp(); }

  // The current event: the one most recently inserted (owned; deleting it deletes the chain).
  PTimeLink* timel;
};
