// The timeline: events grow, merge and split by subject and time; the indexed search gives the
// events of the plain walk from the first event; copies are independent; long chains are
// built, copied and freed without deep recursion; a chain's stamp moves exactly when an event
// comes, goes or begins otherwise.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"
#include "support/pstrings.h"

namespace {

// The date text of t seconds after 2004-01-01 00:00:00 (t below 31 days).
std::string Date(int64_t t) {
  char buf[80];
  snprintf(buf, sizeof(buf), "2004:01:%02d %02d:%02d:%02d", static_cast<int>(1 + t / 86400),
           static_cast<int>(t / 3600 % 24), static_cast<int>(t / 60 % 60),
           static_cast<int>(t % 60));
  return buf;
}

// Day d of January 2004, fractions of a day included (day 1.0 is January 1, 00:00).
std::string Day(double d) {
  return Date(static_cast<int64_t>((d - 1.0) * 86400));
}

// Events as "subject begin-end" texts, in chain order.
std::vector<std::string> Events(const PTimeLink* any) {
  std::vector<std::string> v;
  for (const PTimeLink* e = any->FirstEvent(); e != nullptr; e = e->NextEvent())
    v.push_back(std::string(e->GetSubject()) + " " + e->GetBeginDate() + "-" + e->GetEndDate());
  return v;
}

// The timeline as the walk from the first event defines it, one photo at a time.
class WalkTimeline {
 public:
  void Insert(const std::string& subject, const std::string& date) {
    const int64_t t = PsecsFromDate(date.c_str()), slop = PTimeLink::kStandardSlop;
    size_t i = 0;
    for (; i < ev_.size(); i++) {
      Ev& e = ev_[i];
      if (e.beg - slop <= t && t <= e.end + slop && e.subject == subject) {
        if (t > e.end) {
          e.end = t, e.endDate = date;
          MergeNext(i);
        } else if (t < e.beg) {
          e.beg = t, e.begDate = date;
          if (i > 0) MergeNext(i - 1);
        }
        return;
      }
      if (e.beg >= t) break;
    }
    ev_.insert(ev_.begin() + static_cast<long>(i), Ev{subject, date, date, t, t});
  }
  std::vector<std::string> Events() const {
    std::vector<std::string> v;
    for (const Ev& e : ev_) v.push_back(e.subject + " " + e.begDate + "-" + e.endDate);
    return v;
  }

 private:
  struct Ev {
    std::string subject, begDate, endDate;
    int64_t beg, end;
  };
  void MergeNext(size_t i) {
    if (i + 1 >= ev_.size()) return;
    Ev &a = ev_[i], &b = ev_[i + 1];
    if (a.subject != b.subject || a.end + PTimeLink::kStandardSlop < b.beg) return;
    if (a.end < b.end) a.end = b.end, a.endDate = b.endDate;
    if (a.beg > b.beg) a.beg = b.beg, a.begDate = b.begDate;
    ev_.erase(ev_.begin() + static_cast<long>(i) + 1);
  }
  std::vector<Ev> ev_;
};

// The events' "subject begin" texts.
std::vector<std::string> Begins(std::vector<std::string> events) {
  for (std::string& e : events) e.resize(e.size() - 20);  // "-" and the end date
  return events;
}

// Inserts as the catalogue does: the result becomes the current event.
const PTimeLink* Insert(PTimeline* tl, const std::string& subject, const std::string& date) {
  PTimeLink* e = tl->timel->InsertEvent(subject.c_str(), date.c_str());
  if (e != nullptr) tl->timel = e;
  return e;
}

}  // namespace

TEST(Timeline, EventsGrowSplitAndMerge) {
  PTimeline tl;
  EXPECT_EQ(tl.FirstEvent(), nullptr);
  const PTimeLink* a = Insert(&tl, "Boats", Day(1));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(tl.FirstEvent(), a);
  EXPECT_EQ(Insert(&tl, "Boats", Date(30 * 3600)), a);        // 30 hours later: the same event
  EXPECT_NE(Insert(&tl, "Boats", Date(80 * 3600)), a);        // 50 hours after that: a new one
  EXPECT_EQ(Insert(&tl, "Boats", "2003:12:31 04:00:00"), a);  // 20 hours before: begins earlier
  EXPECT_EQ(Events(tl.timel),
            (std::vector<std::string>{"Boats 2003:12:31 04:00:00-" + Date(30 * 3600),
                                      "Boats " + Date(80 * 3600) + "-" + Date(80 * 3600)}));
  // A on day 1 and B on day 5.5: a photo on day 2.5 extends A only, one on day 4 merges them.
  PTimeline m;
  const PTimeLink* ea = Insert(&m, "Sea", Day(1));
  EXPECT_NE(Insert(&m, "Sea", Day(5.5)), ea);
  EXPECT_EQ(Insert(&m, "Sea", Day(2.5)), ea);
  EXPECT_EQ(Events(m.timel).size(), 2u);
  EXPECT_EQ(Insert(&m, "Sea", Day(4)), ea);
  EXPECT_EQ(Events(m.timel), (std::vector<std::string>{"Sea " + Day(1) + "-" + Day(5.5)}));
  for (const char* bad : {"1979:06:01 00:00:00", "2004:1:9 10:00:00"})
    EXPECT_EQ(m.timel->InsertEvent("Sea", bad), nullptr);
  EXPECT_EQ(m.timel->InsertEvent(nullptr, Day(3).c_str()), nullptr);
  EXPECT_EQ(Events(m.timel).size(), 1u);
}

TEST(Timeline, SubjectsOfADayAndMatching) {
  PTimeline tl;
  Insert(&tl, "Lake", Day(10.6));
  Insert(&tl, "Hills", Day(10.2));
  Insert(&tl, "Town", Day(20));
  ASSERT_EQ(Events(tl.timel).size(), 3u);
  EXPECT_EQ(Events(tl.timel)[0].substr(0, 5), "Hills");  // ordered by begin time
  PStringSet haps, none;
  tl.timel->GetHaps(&haps, Day(10.4).c_str());
  ASSERT_EQ(haps.GetSize(), 2);
  EXPECT_STREQ(haps[0], "Hills");
  EXPECT_STREQ(haps[1], "Lake");
  tl.timel->GetHaps(&none, Day(15).c_str());
  tl.timel->GetHaps(&none, "bad date");
  EXPECT_EQ(none.GetSize(), 0);
  const PTimeLink* lake = tl.timel->MatchEvent("Lake", Day(11.5).c_str());
  ASSERT_NE(lake, nullptr);
  EXPECT_STREQ(lake->GetSubject(), "Lake");
  EXPECT_EQ(tl.timel->MatchEvent("Lake", Day(13).c_str()), nullptr);
  EXPECT_EQ(tl.timel->MatchEvent("Town", Day(10).c_str()), nullptr);
  EXPECT_EQ(tl.timel->MatchEvent(nullptr, Day(10).c_str()), nullptr);
  tl.timel->KillTime();
  EXPECT_EQ(tl.FirstEvent(), nullptr);
  EXPECT_NE(Insert(&tl, "Lake", Day(3)), nullptr);
}

TEST(Timeline, CopiesAreIndependent) {
  PTimeline a, b;
  for (double d : {3.0, 9.0, 1.0, 15.0}) Insert(&a, "Garden", Day(d));
  a.timel = const_cast<PTimeLink*>(a.FirstEvent()->NextEvent());  // not at an end
  Insert(&b, "Other", Day(2));
  *b.timel = *a.timel;
  const std::vector<std::string> before = Events(a.timel);
  EXPECT_EQ(Events(b.timel), before);
  EXPECT_STREQ(b.timel->GetBeginDate(), a.timel->GetBeginDate());
  Insert(&b, "Garden", Day(10));
  Insert(&b, "Zoo", Day(6));
  EXPECT_EQ(Events(a.timel), before);
  const std::vector<std::string> own = Events(b.timel);
  *b.timel = *b.FirstEvent();  // an event of its own chain
  EXPECT_EQ(Events(b.timel), own);
  Insert(&a, "Garden", Day(20));
  EXPECT_NE(Events(a.timel), before);

  // A copy put back over the chain it made, unchanged since, keeps its events and stamp; from
  // a changed chain it is a change.
  PTimeline c;
  EXPECT_NE(c.Stamp(), a.Stamp());
  c = a;
  const PTimeLink* first = c.FirstEvent();
  const uint64_t stamp = c.Stamp();
  EXPECT_NE(stamp, a.Stamp());
  c.timel = const_cast<PTimeLink*>(first);  // the current event elsewhere
  c = a;
  EXPECT_EQ(c.FirstEvent(), first);
  EXPECT_EQ(c.Stamp(), stamp);
  EXPECT_STREQ(c.timel->GetBeginDate(), a.timel->GetBeginDate());
  Insert(&a, "Garden", Day(25));
  c = a;
  EXPECT_NE(c.Stamp(), stamp);
  EXPECT_EQ(Events(c.timel), Events(a.timel));
  const uint64_t full = c.Stamp();
  c.timel->KillTime();
  EXPECT_NE(c.Stamp(), full);
  const uint64_t empty = c.Stamp();
  c.timel->KillTime();  // already empty: no change
  EXPECT_EQ(c.Stamp(), empty);
}

TEST(Timeline, IndexedSearchGivesTheEventsOfTheWalk) {
  // Dense photos of few subjects (many merges), photos on whole hours (many equal times),
  // and a spread over many subjects; then a copy searched further.
  const struct {
    unsigned subjects, photos, step;
  } mixes[] = {{3, 3000, 1}, {4, 3000, 3600}, {60, 6000, 60}};
  std::mt19937 rng(41);
  for (const auto& m : mixes) {
    PTimeline tl, copy;
    WalkTimeline walk;
    auto photo = [&](PTimeline* t) {
      std::string subject = "S" + std::to_string(rng() % m.subjects);
      std::string date = Date(static_cast<int64_t>(rng() % (27 * 86400 / m.step) * m.step));
      const std::vector<std::string> was = Begins(walk.Events());
      const uint64_t stamp = t->Stamp();
      Insert(t, subject, date);
      walk.Insert(subject, date);
      EXPECT_EQ(t->Stamp() != stamp, Begins(walk.Events()) != was) << subject << " " << date;
    };
    for (unsigned i = 0; i < m.photos; i++) {
      photo(&tl);
      if (i % 97 == 0) {
        ASSERT_EQ(Events(tl.timel), walk.Events()) << i;
      }
    }
    EXPECT_EQ(Events(tl.timel), walk.Events());
    *copy.timel = *tl.timel;
    for (int i = 0; i < 300; i++) photo(&copy);
    EXPECT_EQ(Events(copy.timel), walk.Events());
  }
}

// The next year through the index is the one the walk finds: events of equal begin times, and
// every event's; none is told while the index is not built or a begin date is not year first.
TEST(Timeline, NextYearFoundAsTheWalkFindsIt) {
  std::mt19937 rng(23);
  auto year = [](const PTimeLink* e) { return std::string(e->GetBeginDate(), 4); };
  PTimeline tl;
  for (int i = 0; i < 3000; i++) {
    char d[40];
    if (i % 50 == 0)  // a year's first second
      snprintf(d, sizeof d, "%04lu:01:01 00:00:00", 2001 + rng() % 6);
    else
      snprintf(d, sizeof d, "%04lu:%02lu:%02lu %02lu:00:00", 2001 + rng() % 6, 1 + rng() % 12,
               1 + rng() % 28, rng() % 24);
    Insert(&tl, "S" + std::to_string(rng() % 5), d);
  }
  auto agrees = [&] {
    for (const PTimeLink* e = tl.FirstEvent(); e != nullptr; e = e->NextEvent()) {
      const PTimeLink* walk = e->NextEvent();
      while (walk != nullptr && year(walk) == year(e)) walk = walk->NextEvent();
      const PTimeLink* found = e;
      if (!e->NextYear(&found) || found != walk) return false;
    }
    return true;
  };
  EXPECT_TRUE(agrees());
  PTimeline copy;
  copy = tl;
  const PTimeLink* found = nullptr;
  EXPECT_FALSE(copy.FirstEvent()->NextYear(&found));
  Insert(&tl, "Odd", " 2004:1:05 10:00:00");
  EXPECT_FALSE(tl.FirstEvent()->NextYear(&found));
  Insert(&tl, "Odd", "2004:01:05 09:00:00");  // begins earlier, written year first
  EXPECT_TRUE(agrees());
}

TEST(Timeline, MillionEventsWithoutRecursion) {
  PTimeline tl, copy;
  tl.timel->slopTime = 0;  // every second its own event
  constexpr int kEvents = 1000000;
  for (int i = 0; i < kEvents; i++) ASSERT_NE(Insert(&tl, "Clock", Date(i)), nullptr);
  *copy.timel = *tl.timel;
  int n = 0;
  for (const PTimeLink* e = copy.FirstEvent(); e != nullptr; e = e->NextEvent()) n++;
  EXPECT_EQ(n, kEvents);
  copy.timel->KillTime();
  EXPECT_EQ(copy.FirstEvent(), nullptr);
}
