// Photo field formatters and capture-date seconds.
#include <climits>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"

namespace {

using Formatter = char* (*)(char*, int, const DBField&);

// The formatter's text into a buffer of len bytes, guarded on both sides; "(null)" when it
// returns null. Fails the test when it writes outside the buffer or leaves no NUL in it.
std::string Format(Formatter fmt, int len, const DBField& f) {
  char mem[256];
  memset(mem, '#', sizeof(mem));
  char* buf = mem + 64;
  char* r = fmt(buf, len, f);
  EXPECT_EQ(mem[63], '#') << "wrote before the buffer";
  EXPECT_EQ(buf[len], '#') << "wrote past " << len << " bytes";
  if (r == nullptr) return "(null)" + std::string(buf[0] == '#' ? "" : buf);
  EXPECT_EQ(r, buf);
  EXPECT_LT(strnlen(buf, len), static_cast<size_t>(len)) << "no NUL inside the buffer";
  return buf;
}

DBField Text(const char* s) {
  DBField f;
  f.Set(s);
  return f;
}

int64_t Timegm(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return static_cast<int64_t>(timegm(&t));
}

}  // namespace

TEST(PhotoFormat, DateTemplatesFollowTheRoom) {
  const DBField d = Text("2004:06:05 15:07:09");
  struct {
    int len;
    const char* text;
  } cases[] = {{40, "June 5 2004 3:07:09p"},
               {22, "June 5 2004 3:07:09p"},
               {21, "June 5 2004 3:07p"},
               {16, "6/05/2004 3:07p"},
               {14, "6/05/04 15:07"},
               {10, "6/05/2004"},
               {8, "6/05/04"},
               {5, "6/04"},
               {4, ""},
               {3, ""}};
  for (const auto& c : cases) EXPECT_EQ(Format(PDBformatDate, c.len, d), c.text) << c.len;
  EXPECT_EQ(Format(PDBformatDate, 2, d), "(null)");
  // Midnight is 12 a.m.; two-digit months and hours push to the next template that fits.
  EXPECT_EQ(Format(PDBformatDate, 22, Text("2004:01:09 00:00:00")), "Jan 9 2004 12:00:00a");
  EXPECT_EQ(Format(PDBformatDate, 16, Text("2004:12:12 12:07:00")), "12/12/04 12:07");
  EXPECT_EQ(Format(PDBformatDate, 6, Text("2004:12:12 12:07:00")), "12/04");
  EXPECT_EQ(Format(PDBformatDate, 5, Text("2004:12:12 12:07:00")), "");
  EXPECT_EQ(Format(PDBformatDate, 23, Text("1999:09:30 23:59:59")), "Sept 30 1999 11:59:59p");
  EXPECT_EQ(Format(PDBformatDate, 22, Text("1999:09:30 23:59:59")), "Sept 30 1999 11:59p");
  // Invalid dates and fields that are no dates.
  for (const char* bad :
       {"1979:12:31 23:59:59", "2004:13:01 00:00:00", "2004:6:5 15:07:09", "2004:06:05 24:00:00",
        "2004:06:32 00:00:00", "2004-06-05 15:07:09", "2004:06:05 15:07:09 ", ""})
    EXPECT_EQ(Format(PDBformatDate, 30, Text(bad)), "(null)") << bad;
  EXPECT_EQ(Format(PDBformatDate, 30, DBField(5L)), "(null)");
  EXPECT_EQ(Format(PDBformatDate, 30, DBField()), "(null)");
}

TEST(PhotoFormat, FolderKeepsTheEnd) {
  const DBField f = Text("/Users/x/Pictures/2004");
  EXPECT_EQ(Format(PDBformatFolder, 11, f), "...es/2004");
  EXPECT_EQ(Format(PDBformatFolder, 23, f), "/Users/x/Pictures/2004");
  EXPECT_EQ(Format(PDBformatFolder, 22, f), "...rs/x/Pictures/2004");
  EXPECT_EQ(Format(PDBformatFolder, 5, f), "...4");
  EXPECT_EQ(Format(PDBformatFolder, 4, f), "(null)");
  const char* two[2] = {"/new", "/old"};
  DBField list;
  list.Set(two, 2);
  EXPECT_EQ(Format(PDBformatFolder, 20, list), "/new");
  EXPECT_EQ(Format(PDBformatFolder, 20, DBField(3L)), "(null)");
}

TEST(PhotoFormat, ApertureAndExposure) {
  EXPECT_EQ(Format(PDBformatAperture, 20, DBField(2.8f)), "f/2.8");
  EXPECT_EQ(Format(PDBformatAperture, 20, DBField(5.6789123f)), "f/5.679");
  EXPECT_EQ(Format(PDBformatAperture, 6, DBField(11.0f)), "f/11");
  EXPECT_EQ(Format(PDBformatAperture, 4, DBField(2.8f)), "(null)");
  EXPECT_EQ(Format(PDBformatAperture, 20, DBField(3L)), "(null)");

  EXPECT_EQ(Format(PDBformatExposure, 10, DBField(0.004f)), "1/250 sec");
  EXPECT_EQ(Format(PDBformatExposure, 9, DBField(0.004f)), "1/250");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(2.0f)), "2 sec");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(0.5f)), "1/2 sec");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(0.3f)), "1/3.3333333 sec");
  EXPECT_EQ(Format(PDBformatExposure, 8, DBField(0.3f)), "1/3.333");
  EXPECT_EQ(Format(PDBformatExposure, 6, DBField(0.004f)), "(null)");
  // Values without a sensible reciprocal print as numbers.
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(0.0f)), "0");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(-0.25f)), "-0.25");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(std::ldexp(1.0f, -40))), "9.094947e-13");
  EXPECT_EQ(Format(PDBformatExposure, 20, DBField(std::numeric_limits<float>::denorm_min())),
            "1.4012985e-45");
  DBField nan;
  const float q = std::numeric_limits<float>::quiet_NaN();
  nan.SetView(DBDTfloat, 1, &q, false);
  EXPECT_EQ(Format(PDBformatExposure, 20, nan), "nan");
}

TEST(PhotoFormat, NamedValues) {
  EXPECT_EQ(Format(PDBformatFlash, 20, DBField(16L)), "off");
  EXPECT_EQ(Format(PDBformatFlash, 20, DBField(25L)), "on");
  EXPECT_EQ(Format(PDBformatFlash, 20, DBField(5L)), "unreturned");
  EXPECT_EQ(Format(PDBformatFlash, 20, DBField(6L)), "UNKNOWN");
  EXPECT_EQ(Format(PDBformatFlash, 5, DBField(5L)), "unre");
  EXPECT_EQ(Format(PDBformatFlash, 3, DBField(5L)), "(null)");

  EXPECT_EQ(Format(PDBformatSource, 18, DBField(2L)), "flatbed scanner");
  EXPECT_EQ(Format(PDBformatSource, 17, DBField(2L)), "scanner");
  EXPECT_EQ(Format(PDBformatSource, 18, DBField(-1L)), "UNKNOWN");
  EXPECT_EQ(Format(PDBformatSource, 18, DBField(6L)), "UNKNOWN");
  EXPECT_EQ(Format(PDBformatSource, 4, DBField(0L)), "dig");
  EXPECT_EQ(Format(PDBformatSource, 18, DBField(1.0f)), "(null)");

  const struct {
    long v;
    const char* name;
  } wb[] = {{0, "auto"},     {9, "daylight"},        {14, "fluorescent"},
            {17, "Illum A"}, {21, "6500K daylight"}, {24, "incandescent"},
            {255, "other"},  {5, "UNKNOWN"},         {-3, "UNKNOWN"}};
  for (const auto& w : wb) EXPECT_EQ(Format(PDBformatWhiteBal, 20, DBField(w.v)), w.name);
  EXPECT_EQ(Format(PDBformatWhiteBal, 3, DBField(0L)), "au");
  EXPECT_EQ(Format(PDBformatWhiteBal, 1, DBField(0L)), "(null)");
}

TEST(PhotoFormat, RecordsShowFieldsThroughTheirFormatters) {
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFcapdate, "2004:06:05 15:07:09");
  r.SetField(PDBFaperture, 2.8f);
  r.SetField(PDBFwhitebal, 3L);
  char buf[64];
  EXPECT_STREQ(r.FormatField(PDBFcapdate, buf, sizeof(buf)), "June 5 2004 3:07:09p");
  EXPECT_STREQ(r.FormatField(PDBFaperture, buf, sizeof(buf)), "f/2.8");
  EXPECT_STREQ(r.FormatField(PDBFwhitebal, buf, sizeof(buf)), "incandescent");
}

TEST(PhotoFormat, SecondsFromDates) {
  EXPECT_EQ(PsecsFromDate("2004:06:05 15:07:09"), 770915229);
  EXPECT_EQ(PsecsFromDate("1980:01:01 00:00:00"), 0);
  EXPECT_EQ(PsecsFromDate("1980:01:01 00:00:01"), 1);
  EXPECT_EQ(PsecsFromDate("2004:02:31 00:00:00"), PsecsFromDate("2004:03:02 00:00:00"));
  EXPECT_EQ(PsecsFromDate(nullptr), 0);
  EXPECT_EQ(PsecsFromDate("1979:12:31 23:59:59"), 0);
  EXPECT_EQ(PsecsFromDate("2004:06:05 15:07:60"), 0);
  EXPECT_EQ(PsecsFromDate("2004:06:05 15:07:09x"), 0);
  EXPECT_EQ(PsecsFromDate("99999999999:1:1 1:1"), 0);
  // Past the 32-bit range, and past centuries that are no leap years.
  const int64_t epoch = Timegm(1980, 1, 1, 0, 0, 0);
  EXPECT_EQ(PsecsFromDate("2048:01:19 03:14:08"), Timegm(2048, 1, 19, 3, 14, 8) - epoch);
  EXPECT_GT(PsecsFromDate("2048:01:19 03:14:08"), int64_t{INT32_MAX});
  EXPECT_EQ(PsecsFromDate("2100:03:01 00:00:00") - PsecsFromDate("2100:02:28 00:00:00"), 86400);
  std::mt19937 rng(17);
  for (int i = 0; i < 10000; i++) {
    int y = 1980 + static_cast<int>(rng() % 421), mo = 1 + static_cast<int>(rng() % 12);
    int d = 1 + static_cast<int>(rng() % 31), h = static_cast<int>(rng() % 24);
    int mi = static_cast<int>(rng() % 60), s = static_cast<int>(rng() % 60);
    char text[32];
    snprintf(text, sizeof(text), "%04d:%02d:%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    ASSERT_EQ(PsecsFromDate(text), Timegm(y, mo, d, h, mi, s) - epoch) << text;
  }
}
