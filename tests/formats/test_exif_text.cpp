#include <gtest/gtest.h>

#include <cstring>

#include "formats/exif.h"

TEST(ExifText, DatesOutOfRangeOrOfWrongLengthAreRefused) {
  EXPECT_EQ(dateOK("2006:07:14 12:59:59"), 1);
  EXPECT_EQ(dateOK("1850:01:01 00:00:00"), 1);
  for (const char* bad : {"2006:13:14 12:00:00", "1849:12:31 23:59:59", "2006:07:14 12:59:60",
                          "2006:07:00 12:00:00", "2006:07:14 24:00:00", "2006:07:14 12:59:59 ",
                          "2006:07:14 12:59", "    :  :     :  :  ", ""})
    EXPECT_EQ(dateOK(bad), 0) << bad;
  EXPECT_EQ(dateOK(nullptr), 0);
}

TEST(ExifText, CleanStringTrimsAndReplacesUnprintables) {
  char a[] = " \t Canon\x01 EOS\xC3\xA9  \n";
  EXPECT_EQ(cleanString(a), 1);
  EXPECT_STREQ(a, "Canon? EOS??");
  char b[] = " \r\n\t ";
  EXPECT_EQ(cleanString(b), 0);
  EXPECT_STREQ(b, "");
  // A trailing control character is replaced, not trimmed.
  char c[] = "x\x7f";
  EXPECT_EQ(cleanString(c), 1);
  EXPECT_STREQ(c, "x?");
  EXPECT_EQ(cleanString(nullptr), 0);
}
