// Photo field formatters and capture-date seconds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"

namespace {

// The text a formatter writes into a buffer of len bytes, "(null)" before it when it returns
// null; fails the test when it writes outside the buffer or leaves no NUL in it.
std::string Format(DBFormatFunc fmt, int len, const DBField& f) {
  char mem[256];
  memset(mem, '#', sizeof(mem));
  char* buf = mem + 64;
  char* r = fmt(buf, len, f);
  EXPECT_EQ(mem[63], '#');
  EXPECT_EQ(buf[len], '#') << "wrote past " << len << " bytes";
  if (r == nullptr) return "(null)" + std::string(buf[0] == '#' ? "" : buf);
  EXPECT_LT(strnlen(buf, len), static_cast<size_t>(len));
  return buf;
}

DBField Text(const char* s) {
  DBField f;
  f.Set(s);
  return f;
}

struct Case {
  DBFormatFunc fmt;
  int len;
  DBField field;
  const char* text;
};

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

TEST(PhotoFormat, TextsFitTheirBuffers) {
  const DBField d = Text("2004:06:05 15:07:09"), late = Text("2004:12:12 12:07:00");
  const DBField folder = Text("/Users/x/Pictures/2004");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  DBField nanField;
  nanField.SetView(DBDTfloat, 1, &nan, false);
  const Case cases[] = {
      // Dates: the longest template that fits, even when a two-digit value makes it longer.
      {PDBformatDate, 22, d, "June 5 2004 3:07:09p"},
      {PDBformatDate, 21, d, "June 5 2004 3:07p"},
      {PDBformatDate, 16, d, "6/05/2004 3:07p"},
      {PDBformatDate, 14, d, "6/05/04 15:07"},
      {PDBformatDate, 10, d, "6/05/2004"},
      {PDBformatDate, 5, d, "6/04"},
      {PDBformatDate, 4, d, ""},
      {PDBformatDate, 2, d, "(null)"},
      {PDBformatDate, 16, late, "12/12/04 12:07"},
      {PDBformatDate, 5, late, ""},
      {PDBformatDate, 22, Text("2004:01:09 00:00:00"), "Jan 9 2004 12:00:00a"},
      {PDBformatDate, 22, Text("1999:09:30 23:59:59"), "Sept 30 1999 11:59p"},
      {PDBformatDate, 30, Text("1979:12:31 23:59:59"), "(null)"},
      {PDBformatDate, 30, Text("2004:13:01 00:00:00"), "(null)"},
      {PDBformatDate, 30, Text("2004:6:5 15:07:09"), "(null)"},
      {PDBformatDate, 30, DBField(5L), "(null)"},
      // Folders keep their end.
      {PDBformatFolder, 11, folder, "...es/2004"},
      {PDBformatFolder, 23, folder, "/Users/x/Pictures/2004"},
      {PDBformatFolder, 5, folder, "...4"},
      {PDBformatFolder, 4, folder, "(null)"},
      // Apertures in at most 7 characters; exposures as fractions of a second.
      {PDBformatAperture, 20, DBField(2.8f), "f/2.8"},
      {PDBformatAperture, 20, DBField(5.6789123f), "f/5.679"},
      {PDBformatAperture, 4, DBField(2.8f), "(null)"},
      {PDBformatExposure, 10, DBField(0.004f), "1/250 sec"},
      {PDBformatExposure, 9, DBField(0.004f), "1/250"},
      {PDBformatExposure, 20, DBField(2.0f), "2 sec"},
      {PDBformatExposure, 20, DBField(0.3f), "1/3.3333333 sec"},
      {PDBformatExposure, 8, DBField(0.3f), "1/3.333"},
      {PDBformatExposure, 6, DBField(0.004f), "(null)"},
      // No sensible reciprocal: the number itself.
      {PDBformatExposure, 20, DBField(0.0f), "0"},
      {PDBformatExposure, 20, DBField(std::ldexp(1.0f, -40)), "9.094947e-13"},
      {PDBformatExposure, 20, DBField(std::numeric_limits<float>::denorm_min()), "1.4012985e-45"},
      {PDBformatExposure, 20, nanField, "nan"},
      // Named values.
      {PDBformatFlash, 20, DBField(16L), "off"},
      {PDBformatFlash, 20, DBField(25L), "on"},
      {PDBformatFlash, 5, DBField(5L), "unre"},
      {PDBformatFlash, 3, DBField(5L), "(null)"},
      {PDBformatSource, 18, DBField(2L), "flatbed scanner"},
      {PDBformatSource, 17, DBField(2L), "scanner"},
      {PDBformatSource, 18, DBField(1.0f), "(null)"},
      {PDBformatWhiteBal, 20, DBField(9L), "daylight"},
      {PDBformatWhiteBal, 20, DBField(21L), "6500K daylight"},
      {PDBformatWhiteBal, 20, DBField(5L), "UNKNOWN"},
      {PDBformatWhiteBal, 3, DBField(0L), "au"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(c.fmt, c.len, c.field), c.text) << c.len;
  // Records show these fields through them.
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFcapdate, "2004:06:05 15:07:09");
  r.SetField(PDBFexptime, 0.004f);
  char buf[64];
  EXPECT_STREQ(r.FormatField(PDBFcapdate, buf, sizeof(buf)), "June 5 2004 3:07:09p");
  EXPECT_STREQ(r.FormatField(PDBFexptime, buf, sizeof(buf)), "1/250 sec");
}

TEST(PhotoFormat, SecondsFromDates) {
  const int64_t epoch = Timegm(1980, 1, 1, 0, 0, 0);
  EXPECT_EQ(PsecsFromDate("2004:06:05 15:07:09"), 770915229);
  EXPECT_EQ(PsecsFromDate("1980:01:01 00:00:00"), 0);
  EXPECT_EQ(PsecsFromDate("2004:02:31 00:00:00"), PsecsFromDate("2004:03:02 00:00:00"));
  for (const char* bad : {"1979:12:31 23:59:59", "2004:06:05 15:07:60", "2004:06:05 15:07:09x",
                          "99999999999:1:1 1:1"})
    EXPECT_EQ(PsecsFromDate(bad), 0) << bad;
  EXPECT_EQ(PsecsFromDate(nullptr), 0);
  // Past the 32-bit range, and across a century that is no leap year.
  EXPECT_EQ(PsecsFromDate("2048:01:19 03:14:08"), Timegm(2048, 1, 19, 3, 14, 8) - epoch);
  EXPECT_GT(PsecsFromDate("2048:01:19 03:14:08"), int64_t{INT32_MAX});
  EXPECT_EQ(PsecsFromDate("2100:03:01 00:00:00") - PsecsFromDate("2100:02:28 00:00:00"), 86400);
  std::mt19937 rng(17);
  auto rnd = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int i = 0; i < 10000; i++) {
    int y = 1980 + rnd(421), mo = 1 + rnd(12), d = 1 + rnd(31), h = rnd(24), mi = rnd(60),
        s = rnd(60);
    char text[80];
    snprintf(text, sizeof(text), "%04d:%02d:%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    ASSERT_EQ(PsecsFromDate(text), Timegm(y, mo, d, h, mi, s) - epoch) << text;
  }
}
