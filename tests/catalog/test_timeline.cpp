// The timeline: events grow, merge and split by subject and time; the indexed search gives
// the events of the plain walk from the first event; copies are independent; long chains are
// built, copied and freed without deep recursion.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"
#include "support/pstrings.h"

namespace {

// The date text of t seconds after 2004-01-01 00:00:00 (t below 28 days).
std::string Date(int64_t t) {
  char buf[32];
  snprintf(buf, sizeof(buf), "2004:01:%02d %02d:%02d:%02d", static_cast<int>(1 + t / 86400),
           static_cast<int>(t / 3600 % 24), static_cast<int>(t / 60 % 60),
           static_cast<int>(t % 60));
  return buf;
}

// The date text of a fractional day of January 2004 (day 1.0 is January 1, 00:00).
std::string Day(double d) {
  return Date(static_cast<int64_t>((d - 1.0) * 86400));
}

struct Event {
  std::string subject, begin, end;
  bool operator==(const Event& o) const {
    return subject == o.subject && begin == o.begin && end == o.end;
  }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << e.subject << " [" << e.begin << " - " << e.end << "]";
}

std::vector<Event> Events(const PTimeLink* any) {
  std::vector<Event> v;
  for (const PTimeLink* e = any->FirstEvent(); e != nullptr; e = e->NextEvent())
    v.push_back({e->GetSubject(), e->GetBeginDate(), e->GetEndDate()});
  return v;
}

// The timeline as the plain walk from the first event defines it, one photo at a time.
class WalkTimeline {
 public:
  void Insert(const std::string& subject, const std::string& date) {
    const int64_t t = PsecsFromDate(date.c_str());
    if (t == 0) return;
    for (size_t i = 0; i < ev_.size(); i++) {
      Slot& e = ev_[i];
      if (e.beg - kSlop <= t && t <= e.end + kSlop && e.ev.subject == subject) {
        if (t > e.end) {
          e.end = t;
          e.ev.end = date;
          MergeNext(i);
        } else if (t < e.beg) {
          e.beg = t;
          e.ev.begin = date;
          if (i > 0) MergeNext(i - 1);
        }
        return;
      }
      if (e.beg >= t) {
        ev_.insert(ev_.begin() + static_cast<long>(i), Slot{{subject, date, date}, t, t});
        return;
      }
    }
    ev_.push_back(Slot{{subject, date, date}, t, t});
  }
  std::vector<Event> Events() const {
    std::vector<Event> v;
    for (const Slot& s : ev_) v.push_back(s.ev);
    return v;
  }

 private:
  static constexpr int64_t kSlop = PTimeLink::kStandardSlop;
  struct Slot {
    Event ev;
    int64_t beg, end;
  };
  void MergeNext(size_t i) {
    if (i + 1 >= ev_.size()) return;
    Slot &a = ev_[i], &b = ev_[i + 1];
    if (a.ev.subject != b.ev.subject || a.end + kSlop < b.beg) return;
    if (a.end < b.end) {
      a.end = b.end;
      a.ev.end = b.ev.end;
    }
    if (a.beg > b.beg) {
      a.beg = b.beg;
      a.ev.begin = b.ev.begin;
    }
    ev_.erase(ev_.begin() + static_cast<long>(i) + 1);
  }
  std::vector<Slot> ev_;
};

// Inserts through the timeline as the catalogue does: the result becomes the current event.
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
  EXPECT_STREQ(a->GetBeginDate(), Day(1).c_str());
  EXPECT_STREQ(a->GetEndDate(), Day(1).c_str());
  // 30 hours later: the same event; 50 hours after that: a new one.
  EXPECT_EQ(Insert(&tl, "Boats", Date(30 * 3600)), a);
  EXPECT_STREQ(a->GetEndDate(), Date(30 * 3600).c_str());
  const PTimeLink* b = Insert(&tl, "Boats", Date(80 * 3600));
  EXPECT_NE(b, a);
  EXPECT_EQ(Events(tl.timel).size(), 2u);
  // 20 hours before the first: its begin moves.
  EXPECT_EQ(Insert(&tl, "Boats", "2003:12:31 04:00:00"), a);
  EXPECT_STREQ(a->GetBeginDate(), "2003:12:31 04:00:00");

  PTimeline m;
  const PTimeLink* ea = Insert(&m, "Sea", Day(1));
  const PTimeLink* eb = Insert(&m, "Sea", Day(5.5));
  EXPECT_NE(ea, eb);
  EXPECT_EQ(Insert(&m, "Sea", Day(2.5)), ea);  // 2.5 + 2 < 5.5: apart
  EXPECT_EQ(Events(m.timel).size(), 2u);
  EXPECT_EQ(Insert(&m, "Sea", Day(4)), ea);  // within reach of both: merged
  ASSERT_EQ(Events(m.timel).size(), 1u);
  EXPECT_STREQ(ea->GetEndDate(), Day(5.5).c_str());
  EXPECT_STREQ(ea->GetBeginDate(), Day(1).c_str());

  // Invalid photos change nothing.
  EXPECT_EQ(m.timel->InsertEvent(nullptr, Day(3).c_str()), nullptr);
  EXPECT_EQ(m.timel->InsertEvent("Sea", nullptr), nullptr);
  EXPECT_EQ(m.timel->InsertEvent("Sea", "1979:06:01 00:00:00"), nullptr);
  EXPECT_EQ(m.timel->InsertEvent("Sea", "2004:1:9 10:00:00"), nullptr);
  EXPECT_EQ(Events(m.timel).size(), 1u);
}

TEST(Timeline, SubjectsOfADayAndMatching) {
  PTimeline tl;
  Insert(&tl, "Lake", Day(10.6));
  Insert(&tl, "Hills", Day(10.2));
  Insert(&tl, "Town", Day(20));
  std::vector<Event> ev = Events(tl.timel);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].subject, "Hills");
  EXPECT_EQ(ev[1].subject, "Lake");
  PStringSet haps;
  tl.timel->GetHaps(&haps, Day(10.4).c_str());
  ASSERT_EQ(haps.GetSize(), 2);
  EXPECT_STREQ(haps[0], "Hills");
  EXPECT_STREQ(haps[1], "Lake");
  PStringSet none;
  tl.timel->GetHaps(&none, Day(15).c_str());
  tl.timel->GetHaps(&none, "bad date");
  tl.timel->GetHaps(nullptr, Day(10).c_str());
  EXPECT_EQ(none.GetSize(), 0);

  const PTimeLink* lake = tl.timel->MatchEvent("Lake", Day(11.5).c_str());
  ASSERT_NE(lake, nullptr);
  EXPECT_STREQ(lake->GetSubject(), "Lake");
  EXPECT_EQ(tl.timel->MatchEvent("Lake", Day(13).c_str()), nullptr);
  EXPECT_EQ(tl.timel->MatchEvent("Town", Day(10).c_str()), nullptr);
  EXPECT_EQ(tl.timel->MatchEvent(nullptr, Day(10).c_str()), nullptr);
  EXPECT_EQ(tl.timel->MatchEvent("Lake", "2004:01:10"), nullptr);

  tl.timel->KillTime();
  EXPECT_EQ(tl.FirstEvent(), nullptr);
  EXPECT_NE(Insert(&tl, "Lake", Day(3)), nullptr);
  EXPECT_EQ(Events(tl.timel).size(), 1u);
}

TEST(Timeline, CopiesAreIndependent) {
  PTimeline a;
  for (double d : {3.0, 9.0, 1.0, 15.0}) Insert(&a, "Garden", Day(d));
  a.timel = const_cast<PTimeLink*>(a.FirstEvent()->NextEvent());  // not at an end
  PTimeline b;
  Insert(&b, "Other", Day(2));
  *b.timel = *a.timel;
  const std::vector<Event> before = Events(a.timel);
  EXPECT_EQ(Events(b.timel), before);
  EXPECT_STREQ(b.timel->GetBeginDate(), a.timel->GetBeginDate());
  Insert(&b, "Garden", Day(10));
  Insert(&b, "Zoo", Day(6));
  EXPECT_EQ(Events(a.timel), before);
  EXPECT_NE(Events(b.timel), before);
  // Copying an event of its own chain keeps the chain.
  const std::vector<Event> own = Events(b.timel);
  *b.timel = *b.FirstEvent();
  EXPECT_EQ(Events(b.timel), own);
  Insert(&a, "Garden", Day(20));
  EXPECT_NE(Events(a.timel), before);
}

TEST(Timeline, IndexedSearchGivesTheEventsOfTheWalk) {
  // Dense photos of few subjects (many merges), photos on whole hours (many equal times),
  // and a sparse spread over many subjects.
  struct Mix {
    int subjects, photos;
    int64_t span, step;
  } mixes[] = {{3, 3000, 27 * 86400, 1}, {4, 3000, 27 * 86400, 3600}, {60, 6000, 27 * 86400, 60}};
  std::mt19937 rng(41);
  for (const Mix& m : mixes) {
    PTimeline tl;
    WalkTimeline walk;
    for (int i = 0; i < m.photos; i++) {
      std::string subject = "S" + std::to_string(rng() % static_cast<unsigned>(m.subjects));
      std::string date =
          Date(static_cast<int64_t>(rng() % static_cast<unsigned>(m.span / m.step)) * m.step);
      Insert(&tl, subject, date);
      walk.Insert(subject, date);
      if (i % 97 == 0 || i == m.photos - 1) {
        ASSERT_EQ(Events(tl.timel), walk.Events()) << i;
      }
    }
    // A copy searches like its original.
    PTimeline copy;
    *copy.timel = *tl.timel;
    for (int i = 0; i < 300; i++) {
      std::string subject = "S" + std::to_string(rng() % static_cast<unsigned>(m.subjects));
      std::string date = Date(static_cast<int64_t>(rng() % static_cast<unsigned>(m.span)));
      Insert(&copy, subject, date);
      walk.Insert(subject, date);
    }
    EXPECT_EQ(Events(copy.timel), walk.Events());
  }
}

TEST(Timeline, MillionEventsWithoutRecursion) {
  PTimeline tl;
  tl.timel->slopTime = 0;  // every second its own event
  constexpr int kEvents = 1000000;
  char date[32];
  for (int i = 0; i < kEvents; i++) {
    int64_t t = i;
    snprintf(date, sizeof(date), "2004:01:%02d %02d:%02d:%02d", static_cast<int>(1 + t / 86400),
             static_cast<int>(t / 3600 % 24), static_cast<int>(t / 60 % 60),
             static_cast<int>(t % 60));
    ASSERT_NE(Insert(&tl, "Clock", date), nullptr);
  }
  PTimeline copy;
  *copy.timel = *tl.timel;
  int n = 0;
  for (const PTimeLink* e = copy.FirstEvent(); e != nullptr; e = e->NextEvent()) n++;
  EXPECT_EQ(n, kEvents);
  copy.timel->KillTime();
  EXPECT_EQ(copy.FirstEvent(), nullptr);
}
