// Date arithmetic against the C library's day count, and reading date texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "app/records/pdates.h"

namespace {

std::string Text(const int d[6]) {
  char s[kDateTextLen];
  return sprintDate(s, d);
}

// The reference: days, hours, minutes and seconds through timegm/gmtime_r; months and years
// counted as months, the day then held within the month (its last day from the day before the
// next month's first).
void Reference(int d[6], const int dl[6]) {
  struct tm t = {};
  t.tm_year = d[0] - 1900;
  t.tm_mon = d[1] - 1;
  t.tm_mday = d[2];
  t.tm_hour = d[3];
  t.tm_min = d[4];
  t.tm_sec = d[5];
  time_t s = timegm(&t);
  s += static_cast<time_t>(dl[2]) * 86400 + static_cast<time_t>(dl[3]) * 3600 +
       static_cast<time_t>(dl[4]) * 60 + dl[5];
  gmtime_r(&s, &t);
  const long months = (t.tm_year + 1900L) * 12 + t.tm_mon + dl[1] + 12L * dl[0];
  const long year = months >= 0 ? months / 12 : -((11 - months) / 12), mon = months - year * 12;
  struct tm last = {};
  last.tm_year = static_cast<int>(year) - 1900;
  last.tm_mon = static_cast<int>(mon) + 1;
  last.tm_mday = 0;
  time_t l = timegm(&last);
  gmtime_r(&l, &last);
  d[0] = static_cast<int>(year);
  d[1] = static_cast<int>(mon) + 1;
  d[2] = t.tm_mday < last.tm_mday ? t.tm_mday : last.tm_mday;
  d[3] = t.tm_hour;
  d[4] = t.tm_min;
  d[5] = t.tm_sec;
}

TEST(Dates, AdjDateMatchesTheDayCount) {
  std::mt19937 rng(1234);
  auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int n = 0; n < 100000; ++n) {
    int d[6] = {in(1980, 2100), in(1, 12), 1, in(0, 23), in(0, 59), in(0, 59)};
    d[2] = in(1, monthDays(d[0], d[1]));
    ASSERT_TRUE(legalDate(d)) << Text(d);
    // Mostly small offsets, now and then large ones.
    const int big = n % 8 == 0 ? 2000000 : 100;
    const int dl[6] = {in(-5, 5),     in(-30, 30),   in(-big, big),
                       in(-big, big), in(-big, big), in(-big, big)};
    int got[6], want[6];
    memcpy(got, d, sizeof d);
    memcpy(want, d, sizeof d);
    ASSERT_TRUE(adjDate(got, dl));
    Reference(want, dl);
    ASSERT_EQ(Text(got), Text(want)) << "from " << Text(d) << " by " << dl[0] << " " << dl[1] << " "
                                     << dl[2] << " " << dl[3] << " " << dl[4] << " " << dl[5];
  }
}

TEST(Dates, CarriesAndLeapYears) {
  struct {
    const char* from;
    int dl[6];
    const char* to;
  } cases[] = {
      {"1999:12:31 23:59:59", {0, 0, 0, 0, 0, 1}, "2000:01:01 00:00:00"},
      {"2004:03:01 00:00:00", {0, 0, -1, 0, 0, 0}, "2004:02:29 00:00:00"},
      {"2003:03:01 00:00:00", {0, 0, -1, 0, 0, 0}, "2003:02:28 00:00:00"},
      {"2100:03:01 00:00:00", {0, 0, -1, 0, 0, 0}, "2100:02:28 00:00:00"},
      {"2000:03:01 00:00:00", {0, 0, -1, 0, 0, 0}, "2000:02:29 00:00:00"},
      {"2003:01:31 10:00:00", {0, 1, 0, 0, 0, 0}, "2003:02:28 10:00:00"},
      {"2004:01:31 10:00:00", {0, 1, 0, 0, 0, 0}, "2004:02:29 10:00:00"},
      {"2004:02:29 10:00:00", {1, 0, 0, 0, 0, 0}, "2005:02:28 10:00:00"},
      {"1980:01:01 00:00:00", {0, 0, -1, 0, 0, 0}, "1979:12:31 00:00:00"},
  };
  for (const auto& c : cases) {
    int d[6];
    ASSERT_TRUE(sscanDate(d, c.from)) << c.from;
    ASSERT_TRUE(adjDate(d, c.dl));
    EXPECT_EQ(Text(d), c.to) << c.from;
  }
  int d[6];
  sscanDate(d, "1980:01:01 00:00:00");
  const int back[6] = {0, 0, -1, 0, 0, 0};
  adjDate(d, back);
  EXPECT_FALSE(legalDate(d));
  // Years that leave int are refused and leave the date alone.
  sscanDate(d, "2004:02:29 10:00:00");
  const int far[6] = {INT_MAX, 0, 0, 0, 0, 0};
  EXPECT_FALSE(adjDate(d, far));
  EXPECT_EQ(Text(d), "2004:02:29 10:00:00");
}

TEST(Dates, ReadingDates) {
  int d[6];
  EXPECT_TRUE(sscanDate(d, "2004:02:29 10:11:12"));
  EXPECT_EQ(Text(d), "2004:02:29 10:11:12");
  EXPECT_TRUE(sscanDate(d, " 2004:2:9\t1:2:3 and more"));
  EXPECT_EQ(Text(d), "2004:02:09 01:02:03");
  const char* bad[] = {nullptr,
                       "",
                       "2003:02:29 10:11:12",  // not a leap year
                       "2100:02:29 10:11:12",
                       "2004:04:31 10:11:12",
                       "1979:12:31 23:59:59",
                       "2004:13:01 00:00:00",
                       "2004:01:01 24:00:00",
                       "2004:01:01 00:60:00",
                       "2004:01:01 00:00:60",
                       "2004 :01:01 00:00:00",
                       "2004:01:01 00:00",
                       "2004:01:01x00:00:00",
                       "99999999999:01:01 00:00:00"};
  for (const char* s : bad) {
    d[0] = 7;
    EXPECT_FALSE(sscanDate(d, s)) << (s ? s : "NULL");
    if (s == nullptr || s[0] == '\0') {
      EXPECT_EQ(d[0], 0);
    }
  }
  int v = 0;
  EXPECT_TRUE(readDatePart(" -12 ", &v));
  EXPECT_EQ(v, -12);
  EXPECT_FALSE(readDatePart("12abc", &v));
  EXPECT_FALSE(readDatePart("", &v));
  EXPECT_FALSE(readDatePart("4294967296", &v));
}

}  // namespace
