#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "test_fieldutil.h"

namespace {

struct TableSchema : DBFieldInfo {
  TableSchema() {
    Field("name", DBDTstring);
    Field("size", DBDTint);
    Field("lat", DBDTfloat);
    Field("keywords", DBDTstring, nullptr, DBFDmulti);
    Field("levels", DBDTint, nullptr, DBFDmulti);
    Field("curve", DBDTfloat, nullptr, DBFDmulti);
  }
};

std::string Written(const DBField& f) {
  std::ostringstream os;
  os << f;
  return os.str();
}

DBField ReadValue(const std::string& text, std::string* rest = nullptr, bool* failed = nullptr) {
  std::istringstream is(text);
  DBField f;
  is >> f;
  if (failed != nullptr) *failed = is.fail();
  if (rest != nullptr) {
    is.clear();
    *rest = std::string(std::istreambuf_iterator<char>(is), {});
  }
  return f;
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(TextValue, QuoteStringEscapesControlCharactersQuotesAndBackslashes) {
  std::ostringstream os;
  quoteString(&os, "a\tb\nc\rd\"e\\f");
  EXPECT_EQ(os.str(), "\"a\\tb\\nc\\rd\\\"e\\\\f\"");
  std::ostringstream empty;
  quoteString(&empty, "");
  EXPECT_EQ(empty.str(), "\"\"");
}

TEST(TextValue, EveryValueReadsBackAsWritten) {
  const char* special = "tab\there\nline \"quoted\" back\\slash\r";
  DBField s;
  s.Set(special);
  DBField back = ReadValue(Written(s));
  EXPECT_STREQ(back.GetString(), special);

  // Floats carry nine significant digits, so positions read back to the same float.
  DBField tenth(0.1f);
  EXPECT_EQ(Written(tenth), "1.00000001e-01");
  for (float v : {0.1f, 48.8583701f, -122.4194155f, 2.2944813f, 1e-30f, -3.4e38f, 16777217.0f}) {
    DBField f(v);
    DBField r = ReadValue(Written(f));
    ASSERT_EQ(r.GetDT(), DBDTfloat);
    EXPECT_EQ(Bits(r.GetFloat()), Bits(v)) << Written(f);
  }
  EXPECT_EQ(Written(DBField(1.5f)), "1.50000000e+00");

  EXPECT_EQ(Written(DBField(-42L)), "-42");
  DBField i = ReadValue("-42\t");
  EXPECT_EQ(i.GetDT(), DBDTint);
  EXPECT_EQ(i.GetInt(), -42);

  const long iv[] = {1, 2, 3};
  DBField list;
  list.Set(iv, 3);
  EXPECT_EQ(Written(list), "{1,2,3}");
  DBField lr = ReadValue("{1,2,3}");
  EXPECT_EQ(lr.GetDT(), DBDTint);
  EXPECT_EQ(lr.GetNV(), 3);
  EXPECT_EQ(lr.GetInt(2), 3);
  DBField mixed = ReadValue("{1,2.5,3}");  // a later point makes every value a float
  EXPECT_EQ(mixed.GetDT(), DBDTfloat);
  EXPECT_EQ(mixed.GetFloat(0), 1.0f);

  const char* sv[] = {"a,b", "", "c}"};
  DBField strs;
  strs.Set(sv, 3);
  EXPECT_EQ(Written(strs), "{\"a,b\",\"\",\"c}\"}");
  DBField sr = ReadValue(Written(strs));
  ASSERT_EQ(sr.GetNV(), 3);
  EXPECT_STREQ(sr.GetString(0), "a,b");
  EXPECT_STREQ(sr.GetString(1), "");
  EXPECT_STREQ(sr.GetString(2), "c}");

  DBField unset;
  EXPECT_EQ(Written(unset), "");
}

TEST(TextValue, ReaderStopsBeforeTheSeparatorAndRejectsMalformedValues) {
  std::string rest;
  bool failed = false;
  DBField f = ReadValue("12\tnext", &rest, &failed);
  EXPECT_FALSE(failed);
  EXPECT_EQ(rest, "\tnext");
  ReadValue(" 12", nullptr, &failed);  // a blank before the value
  EXPECT_TRUE(failed);
  ReadValue("{1,,2}", nullptr, &failed);
  EXPECT_TRUE(failed);
  ReadValue("\"a\"x", nullptr, &failed);  // nothing may follow a closing quote but its end
  EXPECT_FALSE(failed);
  f = ReadValue("\"open\nnext line", &rest, &failed);  // a raw line end inside quotes
  EXPECT_TRUE(failed);
  EXPECT_EQ(f.GetNV(), 0);
  EXPECT_EQ(rest, "\nnext line");
  f = ReadValue("\"joined \\\nline\"", nullptr, &failed);  // backslash continuation
  EXPECT_FALSE(failed);
  EXPECT_STREQ(f.GetString(), "joined line");
  f = ReadValue("\"\\q\"", nullptr, &failed);
  EXPECT_STREQ(f.GetString(), "q");

  // Any number of values a field can hold, and values of any length, read whole; a list
  // longer than a field can hold fails.
  std::string many = "{";
  for (int i = 0; i < 16000; i++) many += std::to_string(i) + (i < 15999 ? "," : "}");
  f = ReadValue(many + "\tnext", &rest, &failed);
  EXPECT_FALSE(failed);
  ASSERT_EQ(f.GetNV(), 16000);
  EXPECT_EQ(static_cast<const int32_t*>(f.GetPointer(0))[15999], 15999);
  EXPECT_EQ(rest, "\tnext");
  f = ReadValue("\"" + std::string(70000, 'x') + "\"", nullptr, &failed);
  EXPECT_FALSE(failed);
  EXPECT_EQ(std::strlen(f.GetString()), 70000u);
  std::string tooMany = "{0";
  for (int i = 0; i < DB_MAXVALUES; i++) tooMany += ",1";
  f = ReadValue(tooMany + "}", nullptr, &failed);
  EXPECT_TRUE(failed);
  EXPECT_EQ(f.GetNV(), 0);
}

TEST(TextRecord, ColumnsFollowTheSchema) {
  TableSchema s;
  DBRecord r(&s);
  std::istringstream is(
      "\"a\"\t\t2.5e+00\n"                              // an empty middle column
      "\"b\"\t7\t1.0e+00\t{\"x\"}\t\t\t\"extra\"\t9\n"  // more columns than the schema
      "\"c\"\t8\t1\n");                                 // an integer in a float field
  EXPECT_EQ(r.Read(&is, '\t'), 2);
  EXPECT_STREQ(r[0].GetString(), "a");
  EXPECT_EQ(r[1].GetNV(), 0);
  EXPECT_EQ(r[2].GetFloat(), 2.5f);
  EXPECT_EQ(r.Read(&is, '\t'), 4);
  EXPECT_EQ(r[3].GetNV(), 1);
  EXPECT_EQ(r[1].GetInt(), 7);
  EXPECT_EQ(r.Read(&is, '\t'), -1);
}

TEST(TextRecord, BadLinesEmptyLinesAndClosingBraces) {
  TableSchema s;
  DBRecord r(&s);
  std::istringstream is("\"c\"\t1.5\n\n\"e\"\t3}\n");
  EXPECT_EQ(r.Read(&is, '\t'), -1);
  EXPECT_EQ(r.l, nullptr);  // the record lost its field array
  r.Init(&s);
  EXPECT_EQ(r.Read(&is, '\t'), 0);  // the empty line
  EXPECT_EQ(r.Read(&is, '\t'), 2);
  EXPECT_EQ(is.peek(), '}');  // left for the enclosing reader
  EXPECT_EQ(r.Read(&is, '\t'), -1);

  std::istringstream end("");
  EXPECT_EQ(r.Read(&end, '\t'), -1);

  MessageLog log;
  DBRecord ro(&s);
  ro.l->readonly = 1;
  std::istringstream one("\"x\"\n");
  EXPECT_EQ(ro.Read(&one, '\t'), 0);
  EXPECT_TRUE(log.Has(DMCparameter, "Attempt to read into read-only record"));
  ro.l->readonly = 0;
}

TEST(TextTable, RoundTripsEveryTypeWithWindowsLineEndsToo) {
  TableSchema s;
  DBRecordList list(&s);
  {
    DBRecord& r = list.NewRecord();
    r.SetField(0, "tab\tnew\nline \"q\" back\\slash");
    r.SetField(1, -5L);
    r.SetField(2, 45.1234567f);
    const char* kw[] = {"sea", "a,b", "{brace}"};
    r.SetField(3, kw, 3);
    const long lv[] = {1, -2, 3};
    r.SetField(4, lv, 3);
    const float cv[] = {0.25f, 1e-20f};
    r.SetField(5, cv, 2);
  }
  list.NewRecord().SetField(1, 7L);    // trailing columns unset
  list.NewRecord().SetField(0, "");    // an empty string
  list.NewRecord().SetField(5, 3.0f);  // only the last column

  std::ostringstream os;
  list.Write(&os, '\t');
  const std::string text = os.str();
  EXPECT_EQ(text.substr(0, text.find('\n')), "name\tsize\tlat\tkeywords\tlevels\tcurve");

  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& t : {text, crlf}) {
    MessageLog log;
    DBRecordList back(&s);
    std::istringstream is(t);
    char sep = 0;
    EXPECT_EQ(back.Read(&is, &sep), 4);
    EXPECT_EQ(sep, '\t');
    EXPECT_EQ(log.Count(), 0u);
    ASSERT_EQ(back.GetSize(), 4);
    for (int i = 0; i < 4; i++) EXPECT_TRUE(back.Get(i) == list.Get(i)) << "record " << i;
    EXPECT_STREQ(back.Get(0)[0].GetString(), list.Get(0)[0].GetString());
  }
}

TEST(TextTable, HeaderNamesMapColumnsIntoTheListSchema) {
  TableSchema s;
  DBRecordList list(&s);
  std::istringstream is(
      "size\tunknown\tname\tlat\n12\t\"x\"\t\"first\"\n3\t\t{\"a\",\"b\"}\t\"not a float\"\n");
  EXPECT_EQ(list.Read(&is, nullptr), 2);
  EXPECT_EQ(list.Get(0)[1].GetInt(), 12);
  EXPECT_STREQ(list.Get(0)[0].GetString(), "first");
  EXPECT_EQ(list.Get(0).GetNAssigned(), 2);
  EXPECT_EQ(list.Get(1)[0].GetNV(), 1);  // a single-valued field takes the first value
  EXPECT_STREQ(list.Get(1)[0].GetString(), "a");
  EXPECT_EQ(list.Get(1)[2].GetNV(), 0);  // a value of another type is dropped

  std::istringstream comma("a,b\n1\n");
  EXPECT_EQ(list.Read(&comma, nullptr), -1);
  DBRecordList noschema;
  std::istringstream any("a\n1\n");
  EXPECT_EQ(noschema.Read(&any, nullptr), -1);

  // A list without a schema reads into the one given, taking its names from the header.
  DBFieldInfo given;
  std::istringstream blanks("w h\n1 2\n3 4\n");
  char sep = 0;
  EXPECT_EQ(noschema.Read(&blanks, &sep, &given), 2);
  EXPECT_EQ(sep, ' ');
  EXPECT_EQ(given.GetNFields(), 2);
  EXPECT_EQ(noschema.Get(1)[1].GetInt(), 4);
}

TEST(TextTable, EmptyListsAndRecordsWithoutFields) {
  TableSchema s;
  DBRecordList empty(&s);
  std::ostringstream os;
  empty.Write(&os, '\t');
  EXPECT_EQ(os.str(), "");

  DBRecordList list(&s, 2);
  list[1].SetField(1, 3L);
  list.Write(&os, '\t');
  EXPECT_EQ(os.str(), "name\tsize\tlat\tkeywords\tlevels\tcurve\n\n\t3\t\t\t\t\n");
  DBRecordList back(&s);
  std::istringstream is(os.str());
  EXPECT_EQ(back.Read(&is, nullptr), 1);  // the empty line is skipped

  DBRecord bare;
  std::ostringstream line;
  bare.Write(&line, '\t');
  EXPECT_EQ(line.str(), "\n");
}

TEST(TextTable, ABadLineIsReportedWithItsNumberAndTheRestLoads) {
  TableSchema s;
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    const std::string e = eol;
    const std::string text = "name\tsize" + e + "\"a\"\t1" + e + "\"b\"\t 2" + e +
                             "\"unterminated\t3" + e + "\"c\"\t4x" + e + "\"d\"\t5" + e;
    MessageLog log;
    DBRecordList list(&s);
    std::istringstream is(text);
    EXPECT_EQ(list.Read(&is, nullptr), 2) << "line end " << int(eol[0]);
    // One message for the whole table: how many lines were bad, and which.
    EXPECT_TRUE(log.Has(DMCdata, "Cannot read 3 records, at lines 3, 4, 5")) << log.All();
    EXPECT_EQ(log.Count(), 1u);
    ASSERT_EQ(list.GetSize(), 2);
    EXPECT_STREQ(list.Get(1)[0].GetString(), "d");
  }
}

TEST(TextTable, LineNumbersCountEmptyLinesAndStartWithoutAHeader) {
  TableSchema s;
  MessageLog log;
  DBRecordList list(&s);
  std::istringstream is("name\n\n\"a\"\n 1\n");  // an empty line after the names line
  EXPECT_EQ(list.Read(&is, nullptr), 1);
  EXPECT_TRUE(log.Has(DMCdata, "Cannot read record at line 4"));
  std::istringstream typed("\"a\"\t1\n\"b\"\tx\n");  // columns in the given schema's order
  EXPECT_EQ(list.Read(&typed, nullptr, &s), 1);
  EXPECT_TRUE(log.Has(DMCdata, "Cannot read record at line 2"));
  EXPECT_EQ(list.GetSize(), 2);
}

TEST(TextTable, ATableInsideABraceBlockEndsAtTheBrace) {
  TableSchema s;
  DBRecordList list(&s);
  std::istringstream is("name\tsize\n\"a\"\t1\n\"b\"\t2}\n} // block\nafter\n");
  EXPECT_EQ(list.Read(&is, nullptr), 2);
  std::string rest(std::istreambuf_iterator<char>(is), {});
  EXPECT_EQ(rest, "}\n} // block\nafter\n");
}

// The written table is plain tab-separated text: a CSV reader splitting at tabs (no quote
// handling) gets one row per record and, after unquoting, the original strings.
TEST(TextTable, APlainTsvReaderSeesTheRecords) {
  if (std::system("python3 -c 'import csv' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  char dir[] = "/tmp/lumerin_text_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string table = std::string(dir) + "/table.tsv";
  const std::string expect = std::string(dir) + "/expect.txt";
  const std::string script = std::string(dir) + "/check.py";

  TableSchema s;
  DBRecordList list(&s);
  const std::vector<std::string> names = {"plain",       "tab\there", "line\nfeed", "quote\"s",
                                          "back\\slash", "cr\rlf",    "",           "comma, semi;"};
  std::ofstream ex(expect, std::ios::binary);
  for (size_t i = 0; i < names.size(); i++) {
    DBRecord& r = list.NewRecord();
    r.SetField(0, names[i].c_str());
    r.SetField(1, static_cast<long>(i) - 3);
    r.SetField(2, 0.5f * i);
    for (unsigned char c : names[i]) ex << std::hex << int(c) << ' ';
    ex << std::dec << '|' << static_cast<long>(i) - 3 << '|' << 0.5 * i << '\n';
  }
  ex.close();
  std::ofstream os(table, std::ios::binary);
  list.Write(&os, '\t');
  os.close();
  std::ofstream py(script);
  py << R"(import csv, sys
def unquote(s):
    assert s[0] == '"' and s[-1] == '"', s
    out, i, s = [], 0, s[1:-1]
    while i < len(s):
        c = s[i]
        if c == '\\':
            i += 1
            c = {'t': '\t', 'n': '\n', 'r': '\r'}.get(s[i], s[i])
        out.append(c)
        i += 1
    return ''.join(out)
with open(sys.argv[1], newline='') as f:
    rows = list(csv.reader(f, delimiter='\t', quoting=csv.QUOTE_NONE))
want = [l.rstrip('\n').split('|') for l in open(sys.argv[2])]
assert rows[0] == ['name', 'size', 'lat', 'keywords', 'levels', 'curve'], rows[0]
assert len(rows) == len(want) + 1, (len(rows), len(want))
for row, w in zip(rows[1:], want):
    assert len(row) == 6, row
    got = ' '.join('%x' % ord(c) for c in unquote(row[0]))
    assert got.strip() == w[0].strip(), (got, w[0])
    assert int(row[1]) == int(w[1]), row
    assert float(row[2]) == float(w[2]), row
    assert row[3:] == ['', '', ''], row
)";
  py.close();
  const std::string cmd = "python3 " + script + " " + table + " " + expect;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  std::remove(table.c_str());
  std::remove(expect.c_str());
  std::remove(script.c_str());
  rmdir(dir);
}

}  // namespace
