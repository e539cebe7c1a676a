#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "toolkit/pastring.h"
#include "test_window.h"

TEST(PascalStrings, ConversionsCapAndCopyBothWays) {
  std::string long300(300, 'x');
  for (int i = 0; i < 300; ++i) long300[size_t(i)] = char('a' + i % 26);
  unsigned char p[256];
  pfromcstr(p, long300.c_str());
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(std::memcmp(p + 1, long300.data(), 255), 0);

  unsigned char twenty[21];
  pfromcstr(twenty, "abcdefghijklmnopqrst");
  char ten[10];
  EXPECT_EQ(cfrompstr(ten, 10, twenty), ten);
  EXPECT_STREQ(ten, "abcdefghi");

  pfromcstr(p, "");
  EXPECT_EQ(p[0], 0);
  char c[256] = "junk";
  cfrompstr(c, p);
  EXPECT_STREQ(c, "");

  // In place, both ways.
  char buf[256];
  std::strcpy(buf, "in place");
  unsigned char* q = pfromcstr(buf);
  EXPECT_EQ(q[0], 8);
  EXPECT_EQ(std::memcmp(q + 1, "in place", 8), 0);
  EXPECT_STREQ(cfrompstr(q), "in place");
  char one[1] = {'z'};
  cfrompstr(one, 1, twenty);
  EXPECT_EQ(one[0], '\0');
}

TEST(PascalStrings, CutsFallBeforeAWholeCharacter) {
  // 254 ASCII bytes then a two-byte character: 256 bytes, so the character cannot fit.
  std::string s(254, 'a');
  s += "\xC3\xA9";
  unsigned char p[256];
  pfromcstr(p, s.c_str());
  EXPECT_EQ(p[0], 254);
  // A three-byte character straddling the cut of a 6-byte buffer goes whole.
  unsigned char src[8];
  pfromcstr(src,
            "ab\xE6\x9D\xB1"
            "c");  // a, b, one CJK character, c
  char out[5];
  cfrompstr(out, 5, src);
  EXPECT_STREQ(out, "ab");
  char out6[6];
  cfrompstr(out6, 6, src);
  EXPECT_STREQ(out6, "ab\xE6\x9D\xB1");

  EXPECT_TRUE(
      validUTF8("Zürich – 東京 \xF0\x9F\x93\xB7", std::strlen("Zürich – 東京 \xF0\x9F\x93\xB7")));
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"})
    EXPECT_FALSE(validUTF8(bad, std::strlen(bad))) << bad;
}

TEST(ControlText, TextIsUTF8AndCleanedWhole) {
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  ControlRef edit = win.edit->GetControl();
  char buf[64];

  EXPECT_TRUE(PutControlText(edit, "  Zürich\t– 東京\x01 \n"));
  EXPECT_STREQ(GetControlText(edit, buf, sizeof buf, false), "Zürich?– 東京?");
  EXPECT_STREQ(GetControlText(edit, buf, sizeof buf, true), "  Zürich\t– 東京\x01 \n");
  // A C1 control character is one character, replaced by one '?'.
  EXPECT_TRUE(PutControlText(edit,
                             "a\xC2\x85"
                             "b"));
  EXPECT_STREQ(GetControlText(edit, buf, sizeof buf, false), "a?b");

  // Too long for the buffer: refused whole, never cut inside a character.
  EXPECT_TRUE(PutControlText(edit, "abcdé"));
  char small[6] = "xxxxx";
  EXPECT_EQ(GetControlText(edit, small, 6, false), nullptr);
  char fits[7];
  EXPECT_STREQ(GetControlText(edit, fits, 7, false), "abcdé");
  char two[1] = {'q'};
  EXPECT_EQ(GetControlText(edit, two, 1, false), nullptr);
  EXPECT_EQ(two[0], 'q');  // untouched

  EXPECT_FALSE(PutControlText(edit, "broken \xC3"));
  EXPECT_STREQ(GetControlText(edit, buf, sizeof buf, true), "abcdé");
  EXPECT_FALSE(PutControlText(nullptr, "x"));
  EXPECT_FALSE(PutControlText(edit, nullptr));
  EXPECT_FALSE(PutControlText(win.user->GetControl(), "a user pane has no text"));
  EXPECT_EQ(GetControlText(nullptr, buf, sizeof buf, false), nullptr);

  EXPECT_TRUE(PutControlText(win.text->GetControl(), "Static ✓"));
  EXPECT_STREQ(GetControlText(win.text->GetControl(), buf, sizeof buf, false), "Static ✓");
  // A label (the info and image windows' file names, alerts, the status line) shows the name
  // of the byte E9 and the one of the four characters \xE9 apart.
  EXPECT_TRUE(PutControlText(win.text->GetControl(), "'caf\xE9.jpg'"));
  EXPECT_STREQ(GetControlText(win.text->GetControl(), buf, sizeof buf, true), "'caf\\xE9.jpg'");
  EXPECT_TRUE(PutControlText(win.text->GetControl(), "'caf\\xE9.jpg'"));
  EXPECT_STREQ(GetControlText(win.text->GetControl(), buf, sizeof buf, true), "'caf\\\\xE9.jpg'");
  ClearControlText(edit);
  EXPECT_STREQ(GetControlText(edit, buf, sizeof buf, true), "");

  PutControlText(edit, "select me");
  EditControlText(w, edit);
  auto* le = static_cast<QLineEdit*>(WidgetOf(win.edit));
  EXPECT_EQ(le->selectedText(), QString("select me"));
}
