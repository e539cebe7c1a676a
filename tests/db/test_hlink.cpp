// Header variables: the "Name = value" syntax, its messages and recent-value lists.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"

using dbtest::Messages;

namespace {

// A list as a header declares it: ints, floats, strings and an opaque block.
struct Vars {
  Vars() {
    list = new DBHeaderLink("Count", ints, 4, nullptr);
    list = new DBHeaderLink("One", &one, 1, list);
    list = new DBHeaderLink("Gain", floats, 2, list);
    list = new DBHeaderLink("Name", names, sizeof(names), list);
    list = new DBHeaderLink("Block", this, WriteBlock, ReadBlock, 100, list);
  }
  ~Vars() { delete list; }
  static int WriteBlock(void* o, std::ostream* os, int level) {
    for (int i = 0; i < level; i++) *os << '\t';
    *os << "payload " << static_cast<Vars*>(o)->payload << '\n';
    return 1;
  }
  // Reads up to and including the closing line.
  static int ReadBlock(void* o, std::istream* is) {
    std::string line;
    int n = 0;
    while (std::getline(*is, line)) {
      if (line.find('}') != std::string::npos) return n;
      size_t p = line.find("payload ");
      if (p != std::string::npos) static_cast<Vars*>(o)->payload = line.substr(p + 8);
      n++;
    }
    return -1;
  }
  int Scan(const std::string& text) {
    std::istringstream in(text);
    return list->ScanVars(&in);
  }
  std::string Text() {
    std::ostringstream os;
    list->WriteVars(&os, 0);
    return os.str();
  }

  int ints[4] = {0};
  int one = 0;
  float floats[2] = {0};
  char names[32] = {0};
  std::string payload;
  DBHeaderLink* list;
};

}  // namespace

TEST(HeaderVars, IntegersAccumulateAndOverwriteTheLastSlot) {
  Vars v;
  EXPECT_EQ(v.Scan("One = 1 2 3\nCount = 1\nCount = 2\n}\n"), 3);
  EXPECT_EQ(v.one, 3);
  EXPECT_EQ(v.list->GetVar("One")->NSet(), 1);
  EXPECT_EQ(v.list->GetVar("Count")->NSet(), 2);
  EXPECT_EQ(v.ints[0], 1);
  EXPECT_EQ(v.ints[1], 2);
  EXPECT_EQ(v.Text(), "Count = 1 2\nOne = 3\n");
}

TEST(HeaderVars, BadValuesStopTheScanWithTheirMessages) {
  Vars v;
  Messages log;
  EXPECT_EQ(v.Scan("Count = 1 word\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Expected integer for Count in DB header"));
  EXPECT_EQ(v.list->GetVar("Count")->NSet(), -1);
  EXPECT_EQ(v.ints[0], 1);
  EXPECT_EQ(v.Scan("Count = 1 # note\n"), -1);  // a number sign after a value is no comment
  EXPECT_EQ(v.Scan("Gain = 1.5 x\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Expected float for Gain in DB header"));
  EXPECT_EQ(v.Scan("Count =\nOne = 2\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Could not read value for Count in DB header"));
  EXPECT_EQ(v.one, 0);
  EXPECT_EQ(v.Scan("= 3\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Missing variable name in DB header"));
  EXPECT_EQ(v.Scan("9lives = 3\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Unexpected character ('9') in DB header"));
  EXPECT_EQ(v.Scan("Count 3\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Missing '=' in DB header assignment for Count"));
  EXPECT_EQ(v.Scan(std::string(130, 'x') + " = 1\n"), -1);
  EXPECT_TRUE(log.Has(DMCparameter, "Variable name too long in DB header"));
  EXPECT_EQ(v.Scan("Block = 5\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Expected '{' for Block in DB header"));
  EXPECT_EQ(v.Scan("Name = \"open\n"), -1);
  EXPECT_TRUE(log.Has(DMCdata, "Missing quote for Name in DB header"));
  EXPECT_EQ(v.Scan("Count = 99999999999\n"), -1);  // beyond 32 bits: refused, not wrapped
}

TEST(HeaderVars, CommentsUnknownNamesAndTheClosingBrace) {
  Vars v;
  Messages log;
  std::string text =
      "# a comment\n"
      "// another\n"
      "count = 7\n"
      "Other = {\n\tinner = { \"}\" }\n\t'quoted } brace'\n} // Other\n"
      "Skip = 'a b' trailing\n"
      "One = 4\n"
      "}\t// QRDB\n"
      "One = 5\n";
  std::istringstream in(text);
  EXPECT_EQ(v.list->ScanVars(&in), 1);
  EXPECT_EQ(v.one, 4);
  EXPECT_TRUE(log.Has(DMCwarning, "Unrecognized DB header variable: count"));
  EXPECT_TRUE(log.Has(DMCwarning, "Unrecognized DB header variable: Other"));
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(rest, "One = 5");  // the closing line was consumed, nothing after it
}

TEST(HeaderVars, StringValuesQuotedEitherWayAndOverSeveralLines) {
  Vars v;
  EXPECT_EQ(v.Scan("Name = bare 'two words' \"x\"\n"), 3);
  EXPECT_STREQ(v.list->GetVar("Name")->GetSVal(0), "bare");
  EXPECT_STREQ(v.list->GetVar("Name")->GetSVal(1), "two words");
  EXPECT_STREQ(v.list->GetVar("Name")->GetSVal(2), "x");
  EXPECT_EQ(v.Scan("Name = \"first\nsecond\" tail\n"), 2);
  EXPECT_STREQ(v.list->GetVar("Name")->GetSVal(0), "firstsecond");
  EXPECT_STREQ(v.list->GetVar("Name")->GetSVal(1), "tail");
}

TEST(HeaderVars, WriterQuotesWhatNeedsItAndWritesOnlyWhatReadsBack) {
  // A value is written as the reader will take it back: line breaks become blanks, and of
  // both quote characters the rarer one (the double quote on a tie) is dropped.
  const char* values[] = {"plain",  "has \"dq\"", "it's",    " lead",     "",
                          "a\"b'c", "two\nlines", "x\ry\vz", "''\"it's''"};
  const char* written[] = {"V = plain\n",         "V = 'has \"dq\"'\n", "V = \"it's\"\n",
                           "V = \" lead\"\n",     "V = \"\"\n",         "V = \"ab'c\"\n",
                           "V = \"two lines\"\n", "V = \"x y\vz\"\n",   "V = \"''it's''\"\n"};
  const char* back[] = {"plain", "has \"dq\"", "it's",   " lead",   "",
                        "ab'c",  "two lines",  "x y\vz", "''it's''"};
  for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); i++) {
    char buf[64] = {0};
    DBHeaderLink var("V", buf, sizeof(buf), nullptr);
    ASSERT_EQ(var.SetVal(buf, values[i]), 1);
    std::ostringstream os;
    EXPECT_EQ(var.WriteVars(&os, 0), 1);
    EXPECT_EQ(os.str(), written[i]);
    std::istringstream in(os.str());
    EXPECT_EQ(var.ScanVars(&in), 1) << values[i];
    EXPECT_STREQ(var.GetSVal(0), back[i]);
  }
}

TEST(HeaderVars, StringValuesCannotStartAssignmentsOfTheirOwn) {
  // Values that would end their line and start new variables, as users may type them into
  // recent-value lists: each reads back as one value of its own variable, and the variables
  // after it keep their values.
  char strs[512] = {0};
  int size = 4096, big = 0;
  DBHeaderLink* vars = new DBHeaderLink("HeaderSize", &size, 1, nullptr);
  vars = new DBHeaderLink("Subjects", strs, sizeof(strs), vars);
  vars = new DBHeaderLink("BigEndian", &big, 1, vars);
  DBHeaderLink* subj = vars->FindVar("Subjects");
  const char* typed[] = {"x\"\nHeaderSize = 1\n", "a'b\"\nBigEndian = 1", "\"\n}\t// QRDB\n",
                         "q'\"// comment\nSub = {"};
  for (const char* t : typed) ASSERT_GT(subj->InsertSVal(t, -1), 0) << t;
  vars->SetVal(&size, 4096);
  vars->SetVal(&big, 0);
  std::ostringstream os;
  EXPECT_EQ(vars->WriteVars(&os, 0), 6);
  size = 7;
  big = 7;
  std::istringstream in(os.str());
  MessageLog log;
  EXPECT_EQ(vars->ScanVars(&in), 6) << os.str();
  EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
  EXPECT_EQ(size, 4096);
  EXPECT_EQ(big, 0);
  ASSERT_EQ(subj->NSet(), 4);
  EXPECT_STREQ(subj->GetSVal(0), "x\" HeaderSize = 1 ");
  EXPECT_STREQ(subj->GetSVal(1), "a'b BigEndian = 1");
  EXPECT_STREQ(subj->GetSVal(2), "\" }\t// QRDB ");
  EXPECT_STREQ(subj->GetSVal(3), "q'// comment Sub = {");
  delete vars;
}

TEST(HeaderVars, AValueThatCannotReadBackIsNotWritten) {
  // Longer than the reader takes on one line: refused with a message, the others written.
  const size_t big = (size_t(1) << 20) + 1;
  std::vector<char> buf(big + 64, 0);
  DBHeaderLink var("Big", buf.data(), static_cast<int>(buf.size()), nullptr);
  ASSERT_EQ(var.SetVal(buf.data(), "small"), 1);
  ASSERT_EQ(var.SetVal(buf.data(), std::string(big, 'b').c_str()), 2);
  MessageLog log;
  std::ostringstream os;
  var.WriteVars(&os, 0);
  EXPECT_EQ(os.str(), "Big = small\n");
  EXPECT_TRUE(log.Has(DMCdata, "Value 2 of Big cannot be written so that it reads back"));
}

TEST(HeaderVars, LinesOfAnyLengthTheWriterMakesReadBack) {
  std::string longval(3000, 'k');
  std::vector<char> buf(4096, 0);
  DBHeaderLink var("Long", buf.data(), 4096, nullptr);
  var.SetVal(buf.data(), longval.c_str());
  std::vector<int> many(400);
  for (int i = 0; i < 400; i++) many[i] = 1000000 + i;
  DBHeaderLink* list = new DBHeaderLink("Many", many.data(), 400, nullptr);
  for (int i = 0; i < 400; i++) list->SetVal(many.data(), many[i]);
  std::ostringstream os;
  ASSERT_EQ(var.WriteVars(&os, 1), 1);
  ASSERT_EQ(list->WriteVars(&os, 1), 400);
  EXPECT_GT(os.str().size(), 5000u);
  std::fill(buf.begin(), buf.end(), 0);
  std::fill(many.begin(), many.end(), 0);
  var.Clear();
  list->Clear();
  std::istringstream in(os.str());
  EXPECT_EQ(var.ScanVar(&in), &var);
  EXPECT_EQ(list->ScanVar(&in), list);
  EXPECT_EQ(std::string(var.GetSVal(0)), longval);
  EXPECT_EQ(many[399], 1000399);
  delete list;
}

TEST(HeaderVars, FloatsAndOpaqueBlocksRoundTrip) {
  Vars v;
  v.list->SetVal(v.floats, 0.1f);
  v.list->SetVal(v.floats, 123456789.0f);
  v.payload = "abc";
  // An opaque variable is written only when set.
  EXPECT_EQ(v.Text(), "Gain = 0.1 1.23457e+08\n");
  std::istringstream in("Block = {\n\tpayload xyz\n} // Block\nOne = 2\n");
  EXPECT_EQ(v.list->ScanVars(&in), 2);
  EXPECT_EQ(v.payload, "xyz");
  EXPECT_EQ(v.Text(), "One = 2\nBlock = {\n\tpayload xyz\n} // Block\n");
  EXPECT_EQ(v.list->GetMaxLength(),
            (5 + 26) * 4 + (3 + 26) + (4 + 28) * 2 + (4 + 32 + 24) + (5 + 100 + 24));
}

TEST(HeaderVars, AppendingStringsDropsWhatNoLongerFits) {
  char buf[12] = {0};
  DBHeaderLink var("S", buf, sizeof(buf), nullptr);
  EXPECT_EQ(var.SetVal(buf, "abc"), 1);
  EXPECT_EQ(var.SetVal(buf, "def"), 2);
  EXPECT_EQ(var.SetVal(buf, "ghij"), 2);  // "def" leaves too little room: replaced
  EXPECT_STREQ(var.GetSVal(0), "abc");
  EXPECT_STREQ(var.GetSVal(1), "ghij");
  EXPECT_EQ(var.SetVal(buf, "0123456789abcdef"), 1);  // too long: alone, cut
  EXPECT_STREQ(var.GetSVal(0), "0123456789a");
}

TEST(HeaderVars, RecentValueLists) {
  char buf[16] = {0};
  DBHeaderLink var("Recent", buf, sizeof(buf), nullptr);
  EXPECT_EQ(var.InsertSVal("b", 0), 1);
  EXPECT_EQ(var.InsertSVal("a", 0), 1);
  EXPECT_EQ(var.InsertSVal("c", 2), 1);  // at nset: appends
  EXPECT_EQ(var.InsertSVal("d", 5), 0);  // beyond nset: refused
  EXPECT_EQ(var.InsertSVal(nullptr, 0), 0);
  EXPECT_EQ(var.FindSVal("c"), 2);
  EXPECT_EQ(var.FindSVal("z"), -1);
  EXPECT_EQ(var.InsertSVal("0123456789", 1), 0);  // would overflow: nothing changes
  EXPECT_EQ(var.NSet(), 3);
  EXPECT_STREQ(var.GetSVal(1), "b");
  EXPECT_EQ(var.DeleteSVal(0), 1);
  EXPECT_STREQ(var.GetSVal(0), "b");
  EXPECT_STREQ(var.GetSVal(1), "c");
  EXPECT_EQ(var.GetSVal(2), nullptr);
  EXPECT_STREQ(DBHeaderLink::GetSVal(buf, 1), "c");
  EXPECT_TRUE(MatchInput(nullptr, "x") == false);
  std::istringstream in("QRDB = {\nrest");
  EXPECT_TRUE(MatchInput(&in, "QRDB = {\n"));
  std::istringstream bad("QRDB = { \n");
  EXPECT_FALSE(MatchInput(&bad, "QRDB = {\n"));
}
