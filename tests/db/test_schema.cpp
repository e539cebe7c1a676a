#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "test_fieldutil.h"

namespace {

DBFieldID Names(std::vector<const char*> names) {
  DBFieldID t;
  for (const char* n : names) t.NewField(n);
  return t;
}

std::vector<std::string> InNameOrder(const DBFieldID& t) {
  std::vector<std::string> v;
  for (int k = 0; k < t.nfields; k++) v.push_back(t.mname[t.mlexo[k]]);
  return v;
}

TEST(SchemaNames, NewFieldKeepsNameOrderAndRefusesDuplicatesAndOverflow) {
  DBFieldID t = Names({"b", "a", "c"});
  EXPECT_EQ(t.GetID("b"), 0);
  EXPECT_EQ(t.GetID("a"), 1);
  EXPECT_EQ(t.GetID("c"), 2);
  EXPECT_EQ(t.mlexo[0], 1);
  EXPECT_EQ(t.mlexo[1], 0);
  EXPECT_EQ(t.mlexo[2], 2);
  EXPECT_EQ(t.NewField("a"), -1);  // present, sorting before others
  EXPECT_EQ(t.NewField(""), -1);
  EXPECT_EQ(t.NewField(nullptr), -1);
  EXPECT_EQ(t.GetNFields(), 3);
  EXPECT_EQ(InNameOrder(t), (std::vector<std::string>{"a", "b", "c"}));

  DBFieldID full;
  for (int i = 0; i < 128; i++) EXPECT_EQ(full.NewField(("f" + std::to_string(i)).c_str()), i);
  EXPECT_EQ(full.NewField("extra"), -1);
  EXPECT_EQ(full.GetNFields(), 128);
  for (int i = 0; i < 128; i++) EXPECT_EQ(full.GetID(("f" + std::to_string(i)).c_str()), i);
}

TEST(SchemaNames, NameOrderComparesSignedBytes) {
  DBFieldID t = Names({"b", "B", "\xC3\xA9t\xC3\xA9", "a"});
  // Capitals before small letters; a byte above 0x7F before every ASCII name.
  EXPECT_EQ(InNameOrder(t), (std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "B", "a", "b"}));
}

TEST(SchemaNames, LinearAndBisectionLookupsAgree) {
  for (int count : {11, 12, 40}) {
    DBFieldID t;
    for (int i = count; i-- > 0;) t.NewField(("n" + std::to_string(100 + i)).c_str());
    for (int i = 0; i < count; i++) {
      const std::string name = "n" + std::to_string(100 + i);
      EXPECT_EQ(t.GetID(name.c_str()), count - 1 - i) << count << " " << name;
    }
    EXPECT_EQ(t.GetID("a"), -1);      // before the first name
    EXPECT_EQ(t.GetID("z"), -1);      // after the last
    EXPECT_EQ(t.GetID("n1055"), -1);  // between two names
  }
}

TEST(SchemaNames, RenameMovesTheNameInOrderAndKeepsIds) {
  DBFieldID t = Names({"a", "b", "c"});
  EXPECT_TRUE(t.Rename(0, "a"));
  EXPECT_FALSE(t.Rename(0, "b"));
  EXPECT_FALSE(t.Rename(3, "x"));
  EXPECT_FALSE(t.Rename(0, ""));
  EXPECT_TRUE(t.Rename(0, "d"));
  EXPECT_EQ(InNameOrder(t), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(t.GetID("d"), 0);
  EXPECT_EQ(t.GetID("b"), 1);
  EXPECT_EQ(t.GetID("a"), -1);
  EXPECT_TRUE(t.Rename(0, "0"));
  EXPECT_EQ(InNameOrder(t), (std::vector<std::string>{"0", "b", "c"}));
}

TEST(SchemaNames, MapIdsTellsWhetherTheOtherNamesAreAPrefix) {
  DBFieldID abc = Names({"a", "b", "c"});
  int map[128];
  DBFieldID ab = Names({"b", "a"});
  EXPECT_FALSE(abc.MapIDs(map, &ab));
  EXPECT_EQ(map[0], 1);
  EXPECT_EQ(map[1], 0);
  DBFieldID bc = Names({"b", "c"});
  EXPECT_TRUE(abc.MapIDs(map, &bc));
  EXPECT_EQ(map[0], 1);
  EXPECT_EQ(map[1], 2);
  DBFieldID abd = Names({"a", "b", "d"});
  EXPECT_TRUE(abc.MapIDs(map, &abd));
  EXPECT_EQ(map[2], -1);
  DBFieldID two = Names({"a", "b"});
  EXPECT_TRUE(two.MapIDs(map, &abc));
  EXPECT_EQ(map[2], -1);
  EXPECT_FALSE(abc.MapIDs(map, &abc));
  EXPECT_EQ(map[2], 2);
  EXPECT_FALSE(abc.MapIDs(map, nullptr));
  EXPECT_TRUE(DBFieldID::MapIDs(nullptr, map, &abc));
  EXPECT_EQ(map[0], -1);

  // XlateID maps by name between differently ordered tables.
  DBFieldID cba = Names({"c", "b", "a"});
  EXPECT_EQ(abc.XlateID(&cba, 0), 2);
  EXPECT_EQ(abc.XlateID(&cba, 2), 0);
  EXPECT_EQ(abc.XlateID(&abc, 1), 1);
  EXPECT_EQ(abc.XlateID(&cba, 3), -1);
  EXPECT_EQ(abc.XlateID(&abd, 2), -1);
}

int ReadNames(DBFieldID& t, const std::string& line, char* sep) {
  std::istringstream is(line);
  return t.Read(&is, sep);
}

TEST(SchemaNames, ReadDetectsTheSeparatorOfANamesLine) {
  DBFieldID t;
  char sep = 0;
  EXPECT_EQ(ReadNames(t, "a\tb\t\tc\n", &sep), 3);
  EXPECT_EQ(sep, '\t');
  sep = 0;
  EXPECT_EQ(ReadNames(t, "File_1x\n", &sep), 1);
  EXPECT_EQ(sep, 0);
  sep = 0;
  EXPECT_EQ(ReadNames(t, "a,b\n", &sep), -1);
  EXPECT_EQ(t.GetNFields(), 0);
  sep = 0;
  EXPECT_EQ(ReadNames(t, "a b c", &sep), 3);
  EXPECT_EQ(sep, ' ');
  // With a tab anywhere in the line, the tab separates: names keep blanks and commas.
  sep = 0;
  EXPECT_EQ(ReadNames(t, "File Name\tSize, bytes\r\n", &sep), 2);
  EXPECT_EQ(sep, '\t');
  EXPECT_STREQ(t.GetName(1), "Size, bytes");
  sep = ';';
  EXPECT_EQ(ReadNames(t, "x y;z", &sep), 2);
  EXPECT_STREQ(t.GetName(0), "x y");
  EXPECT_EQ(ReadNames(t, "a\tb\ta\n", nullptr), -1);
  EXPECT_EQ(t.GetNFields(), 2);  // the names before the repeated one stay
  EXPECT_EQ(ReadNames(t, "\n", nullptr), 0);
  EXPECT_EQ(t.Read(nullptr, nullptr), -1);

  // A line grows as its bytes come; one of more than a mebibyte is refused.
  EXPECT_EQ(ReadNames(t, std::string(3000, 'x') + "\n", nullptr), 1);
  EXPECT_EQ(ReadNames(t, std::string((1 << 20) + 1, 'x') + "\n", nullptr), -1);
  EXPECT_EQ(t.GetNFields(), 0);
}

// The names line of the names given, and whether it reads back to them.
std::string WrittenNames(const std::vector<std::string>& names, bool* readsBack) {
  DBFieldID t, back;
  for (const std::string& n : names) t.NewField(n.c_str());
  std::ostringstream os;
  t.Write(&os, '\t');
  std::istringstream is(os.str());
  *readsBack = back.Read(&is, nullptr) == static_cast<int>(names.size());
  for (size_t i = 0; *readsBack && i < names.size(); ++i)
    *readsBack = back.GetName(static_cast<int>(i)) == names[i];
  return os.str();
}

TEST(SchemaNames, EveryNamesLineWrittenReadsBack) {
  // Names holding the separator, a line end or a leading quote or byte-order mark are quoted;
  // plain names, with quotes and backslashes inside, stay as they were.
  const std::vector<std::string> want = {
      "\xEF\xBB\xBFmarked",    "Plain",       "Tab\there", "\"quoted\" first",
      "back\\slash \"in\" it", "two\nlines\r"};
  bool ok = false;
  EXPECT_EQ(WrittenNames(want, &ok),
            "\"\xEF\xBB\xBFmarked\"\tPlain\t\"Tab\\there\"\t\"\\\"quoted\\\" first\"\tback\\slash "
            "\"in\" it\t\"two\\nlines\\r\"\n");
  EXPECT_TRUE(ok);
  // Alone on its line a name has no tab to tell the separator.
  for (const char* alone : {"Size, bytes", "Größe", "Plain_1"}) {
    WrittenNames({alone}, &ok);
    EXPECT_TRUE(ok) << alone;
  }
}

TEST(SchemaNames, WriteJoinsNamesInIdOrder) {
  DBFieldID t = Names({"b", "a"});
  std::ostringstream os;
  t.Write(&os, '\t');
  EXPECT_EQ(os.str(), "b\ta\n");
  DBFieldID copy;
  copy = t;
  EXPECT_EQ(copy.GetName(0), t.GetName(0));  // the same pooled text
  EXPECT_EQ(copy.mlexo[0], 1);
}

TEST(SchemaInfo, FieldStoresDetailsAndPicksFormatters) {
  DBFieldInfo s;
  EXPECT_EQ(s.Field("size", DBDTint), 0);
  EXPECT_STREQ(s.GetDetails(0)->descrip, "size");
  EXPECT_EQ(s.GetDetails(0)->DisplayFormat, DBformatInteger);
  const std::string longText(70, 'd');
  EXPECT_EQ(s.Field("kw", DBDTstring, longText.c_str(), DBFDmulti | 0x4000 | 0x1000), 1);
  EXPECT_EQ(std::string(s.GetDetails(1)->descrip), longText.substr(0, 63));
  EXPECT_EQ(s.GetDetails(1)->flags, DBFDmulti | DBFDhashkey);
  EXPECT_EQ(s.GetDetails(1)->DisplayFormat, DBformatArray);
  EXPECT_EQ(s.Field("lat", DBDTfloat), 2);
  EXPECT_EQ(s.GetDetails(2)->DisplayFormat, DBformatFloat);
  EXPECT_EQ(s.Field("odd", static_cast<DBDataType>(7)), 3);
  EXPECT_EQ(s.GetDetails(3)->DisplayFormat, nullptr);
  EXPECT_EQ(s.GetDetails(4), nullptr);

  DBFDetails raw = {DBDTint, 0x4001, "raw", nullptr};
  EXPECT_EQ(s.Field("raw", &raw), 4);
  EXPECT_EQ(s.GetDetails(4)->flags, 0x4001);  // kept whole
  EXPECT_EQ(s.Field("raw", static_cast<const DBFDetails*>(nullptr)), -1);

  // A redefinition keeps a custom formatter unless the type or multi-valued bit changes.
  DBFormatFunc custom = [](char* b, int, const DBField&) { return b; };
  s.details[0].DisplayFormat = custom;
  EXPECT_EQ(s.Field("size", DBDTint, "Size"), 0);
  EXPECT_EQ(s.GetDetails(0)->DisplayFormat, custom);
  EXPECT_EQ(s.Field("size", DBDTint, "Size", DBFDmulti), 0);
  EXPECT_EQ(s.GetDetails(0)->DisplayFormat, DBformatArray);
  EXPECT_EQ(s.Field("size", DBDTfloat, "Size", 0, custom), 0);
  EXPECT_EQ(s.Field("size", DBDTint, "Size"), 0);
  EXPECT_EQ(s.GetDetails(0)->DisplayFormat, DBformatInteger);
}

TEST(SchemaInfo, CopyFormatTakesFormattersOfSameNamedFieldsOfTheSameType) {
  DBFormatFunc custom = [](char* b, int, const DBField&) { return b; };
  DBFieldInfo app, file;
  app.Field("aperture", DBDTfloat, nullptr, 0, custom);
  app.Field("title", DBDTint, nullptr, 0, custom);
  file.Field("title", DBDTstring);
  file.Field("aperture", DBDTfloat);
  file.CopyFormat(&app);
  EXPECT_EQ(file.GetDetails(1)->DisplayFormat, custom);
  EXPECT_EQ(file.GetDetails(0)->DisplayFormat, DBformatString);  // another type: left alone
  file.Field("aperture", DBDTfloat, "f-number");
  EXPECT_EQ(file.GetDetails(1)->DisplayFormat, custom);

  DBFieldInfo copy(file);
  EXPECT_EQ(copy.GetNFields(), 2);
  EXPECT_STREQ(copy.GetDetails(1)->descrip, "f-number");
  EXPECT_EQ(copy.InfoSize(), 18532);
}

TEST(SchemaSort, AddSortAndPushSortKeepAtMostFifteenKeys) {
  DBFieldSort s;
  EXPECT_EQ(s.GetSort(0), -1);
  EXPECT_TRUE(s.AddSort(0, true));
  bool desc = false;
  EXPECT_EQ(s.order[0], -1);
  EXPECT_EQ(s.GetSort(0, &desc), 0);
  EXPECT_TRUE(desc);
  EXPECT_FALSE(s.AddSort(0, false));  // already keyed, other direction
  EXPECT_FALSE(s.AddSort(-1));
  for (int id = 1; id < 14; id++) EXPECT_TRUE(s.AddSort(id));
  EXPECT_TRUE(s.AddSort(14));  // the 15th key
  EXPECT_EQ(s.order[14], 15);
  EXPECT_EQ(s.order[15], 0);
  EXPECT_FALSE(s.AddSort(20));
  s.order[15] = 99;
  EXPECT_EQ(s.GetSort(15), -1);

  DBFieldSort p;
  EXPECT_TRUE(p.PushSort(4));
  EXPECT_EQ(p.order[0], 5);
  EXPECT_EQ(p.order[1], 0);
  for (int id : {1, 2, 3}) p.AddSort(id);  // 4, 1, 2, 3
  EXPECT_TRUE(p.PushSort(3));
  EXPECT_EQ((std::vector<int>(p.order, p.order + 5)), (std::vector<int>{4, 5, 2, 3, 0}));
  EXPECT_TRUE(p.PushSort(3, true));
  EXPECT_EQ((std::vector<int>(p.order, p.order + 5)), (std::vector<int>{-4, 5, 2, 3, 0}));

  DBFieldSort f;
  for (int id = 0; id < 15; id++) f.AddSort(id);
  EXPECT_TRUE(f.PushSort(50));
  EXPECT_EQ(f.order[0], 51);
  EXPECT_EQ(f.order[1], 1);
  EXPECT_EQ(f.order[14], 14);  // the old fifteenth key fell out
  EXPECT_EQ(f.order[15], 0);
}

}  // namespace
