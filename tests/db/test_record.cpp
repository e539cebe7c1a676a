#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "test_fieldutil.h"

namespace {

// A small photo-like schema: 0 title, 1 keywords (multi), 2 size (hash key), 3 lat, 4 ints.
struct PhotoSchema : DBFieldInfo {
  PhotoSchema() {
    Field("title", DBDTstring);
    Field("keywords", DBDTstring, nullptr, DBFDmulti);
    Field("size", DBDTint, nullptr, DBFDhashkey);
    Field("lat", DBDTfloat);
    Field("ints", DBDTint, nullptr, DBFDmulti);
  }
};

std::vector<std::string> Strings(const DBField& f) {
  std::vector<std::string> v;
  for (int i = 0; i < f.GetNV(); i++) v.push_back(f.GetString(i));
  return v;
}

TEST(RecordList, ResizeFollowsTheGrowthRule) {
  PhotoSchema s;
  DBRecordList list(&s);
  EXPECT_EQ(list.Resize(10), 10);
  EXPECT_EQ(list.maxr, 10);
  EXPECT_EQ(list.Resize(11), 11);
  EXPECT_EQ(list.maxr, 43);
  EXPECT_EQ(list.Resize(20), 20);
  EXPECT_EQ(list.maxr, 43);
  EXPECT_EQ(list.Resize(5), 5);
  EXPECT_EQ(list.maxr, 37);
  EXPECT_EQ(list.Resize(-3), 0);
  EXPECT_EQ(list.GetArray(), nullptr);
  EXPECT_EQ(list.maxr, 0);

  // New records are bound and locked to the list's schema.
  DBRecord& r = list.NewRecord();
  EXPECT_EQ(list.GetSize(), 1);
  EXPECT_EQ(r.GetFieldInfo(), &s);
  EXPECT_TRUE(r.fieldlock);
  EXPECT_EQ(&list.Get(5), &DBRecordList::dummy);
  EXPECT_EQ(&list[-1], &DBRecordList::dummy);
}

TEST(RecordList, RecordsSurviveTheBlockMovingWhenItGrows) {
  PhotoSchema s;
  DBRecordList list(&s);
  for (int i = 0; i < 500; i++) list.NewRecord().SetField(2, static_cast<long>(i));
  for (int i = 0; i < 500; i++) EXPECT_EQ(list.Get(i)[2].GetInt(), i);
}

TEST(Record, LinkSharesAndAssignmentCopies) {
  PhotoSchema s;
  DBRecord a(&s), b, c;
  a.SetField(0, "first");
  EXPECT_EQ(b.Link(&a), 1);
  EXPECT_EQ(a.IsLinked(&b), 1);
  EXPECT_EQ(a.IsLinked(), 1);
  c = a;
  EXPECT_EQ(a.IsLinked(&c), 0);
  a.SetField(0, "changed");
  EXPECT_STREQ(b[0].GetString(), "changed");
  EXPECT_STREQ(c[0].GetString(), "first");
  b.SetField(2, 99L);
  EXPECT_EQ(a[2].GetInt(), 99);
  a.Init();  // a lets go; b keeps the values
  EXPECT_EQ(b.IsLinked(), 0);
  EXPECT_STREQ(b[0].GetString(), "changed");
  EXPECT_EQ(b.Link(nullptr), 0);
  EXPECT_EQ(b.Link(&b), 1);

  DBRecord t;
  EXPECT_EQ(t.Take(&b), 1);
  EXPECT_EQ(b.GetFieldInfo(), nullptr);
  EXPECT_STREQ(t[0].GetString(), "changed");
  DBRecord& same = t;
  t = same;  // self-assignment keeps the record
  EXPECT_STREQ(t[0].GetString(), "changed");
}

TEST(Record, AssignmentAcrossSchemasGoesByFieldName) {
  PhotoSchema dst;
  DBFieldInfo src;
  src.Field("extra", DBDTint);
  src.Field("title", DBDTstring, nullptr, DBFDmulti);
  src.Field("lat", DBDTint);  // another type than the destination's
  src.Field("keywords", DBDTstring, nullptr, DBFDmulti);
  DBRecord in(&src);
  in.SetField(0, 5L);
  const char* titles[] = {"main", "alt"};
  in.SetField(1, titles, 2);
  in.SetField(2, 7L);
  const char* kw[] = {"sea", "sky"};
  in.SetField(3, kw, 2);

  DBRecordList list(&dst, 1);
  list[0] = in;
  const DBRecord& out = list.Get(0);
  EXPECT_EQ(out.GetFieldInfo(), &dst);  // the locked record keeps the list's schema
  EXPECT_EQ(Strings(out[0]), (std::vector<std::string>{"main"}));  // first value only
  EXPECT_EQ(Strings(out[1]), (std::vector<std::string>{"sea", "sky"}));
  EXPECT_EQ(out[3].GetNV(), 0);  // type differs: skipped
  EXPECT_EQ(out.GetNAssigned(), 2);

  // An unlocked record adopts the source's schema.
  DBRecord free;
  free = in;
  EXPECT_EQ(free.GetFieldInfo(), &src);
  EXPECT_EQ(free[1].GetNV(), 2);

  // SetField from a record finds the field by name.
  DBRecord one(&dst);
  EXPECT_EQ(one.SetField(1, in), 1);
  EXPECT_EQ(one[1].GetNV(), 2);
  EXPECT_EQ(one.SetField(4, in), 0);
}

TEST(Record, SettersRefuseWhatTheSchemaForbids) {
  PhotoSchema s;
  DBRecord r(&s);
  EXPECT_EQ(r.SetField(2, 10L), 1);
  EXPECT_EQ(r.SetField(2, 1.5f), 0);       // a float into an int field...
  EXPECT_EQ(r.GetField(2), nullptr);       // ...leaves it unset
  EXPECT_EQ(r.SetText(0, "a;b", ';'), 0);  // single-valued
  EXPECT_EQ(r.SetText(1, "a;b", ';'), 2);
  const long two[] = {1, 2};
  EXPECT_EQ(r.SetField(2, two, 2), 0);  // several values in a single-valued field
  EXPECT_EQ(r.SetField(4, two, 2), 1);
  EXPECT_EQ(r.SetField(9, 1L), 0);  // beyond the schema
  EXPECT_EQ(r.SetField(0, static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(r.SetField(3, 0.25), 1);
  EXPECT_EQ(r.SetField(3, r[3]), 1);  // a field set from itself keeps its value
  EXPECT_EQ(r[3].GetFloat(), 0.25f);
  EXPECT_EQ(r.GetNAssigned(), 3);
  r.ClearField(1);
  EXPECT_EQ(r.GetNAssigned(), 2);

  char buf[32];
  EXPECT_STREQ(r.FormatField(4, buf, sizeof(buf)), "1, 2");
  EXPECT_STREQ(r.FormatField(3, buf, sizeof(buf)), "0.25");
  EXPECT_EQ(r.FormatField(0, buf, sizeof(buf)), nullptr);

  r.Clear();
  EXPECT_EQ(r.GetNAssigned(), 0);
  DBRecord empty;
  EXPECT_EQ(empty.SetField(0, 1L), 0);
  EXPECT_EQ(&empty[3], &empty[4]);  // the shared unset field
}

TEST(Record, SettingAFieldFromAnotherOfTheSameRecordSurvivesGrowth) {
  DBFieldInfo s;
  s.Field("a", DBDTstring);
  DBRecord r(&s);
  r.SetField(0, "value");
  s.Field("b", DBDTstring);  // the schema grows after the record was filled
  EXPECT_EQ(r.GetNAlloc(), 1);
  EXPECT_EQ(r.SetField(1, r[0]), 1);  // grows the array that holds the source value
  EXPECT_STREQ(r[1].GetString(), "value");
  EXPECT_STREQ(r[0].GetString(), "value");
  // A field's own text or values given back to it (the text's only reference is the field's).
  r.SetField(0, "only here 1234");
  EXPECT_EQ(r.SetField(0, r[0].GetString()), 1);
  EXPECT_STREQ(r[0].GetString(), "only here 1234");
  DBField own;
  own.Set("mine 5678");
  own.Set(own.GetString());
  EXPECT_STREQ(own.GetString(), "mine 5678");
  const float fv[] = {1.5f, 2.5f};
  own.Set(fv, 2);
  own.Set(static_cast<const float*>(own.GetPointer()), 2);
  EXPECT_EQ(own.GetFloat(1), 2.5f);
  const char* sv[] = {"first 42", "second 42"};
  own.Set(sv, 2);
  const char* mine[2];
  own.Get(mine, 2);
  own.Set(mine, 2);
  EXPECT_STREQ(own.GetString(1), "second 42");
}

TEST(Record, LockedRecordKeepsItsSchemaOnInit) {
  PhotoSchema a, b;
  DBRecord r;
  r.Init(&a, true);
  EXPECT_EQ(r.Init(&b, false), &a);
  EXPECT_EQ(r.Init(&b, true), &b);
  EXPECT_EQ(r.Init(nullptr), nullptr);
  EXPECT_EQ(r.GetFieldInfo(), nullptr);
}

// A record built again in place starts empty; an array shared with another record is left
// to that record untouched.
TEST(Record, InitAgainStartsEmptyAndSparesASharedArray) {
  PhotoSchema s;
  DBRecord r(&s), empty(&s);
  const char* kw[2] = {"sea", "sun"};
  long ints[3] = {1, 2, 3};
  r.SetField(0, "first");
  r.SetField(1, kw, 2);
  r.SetField(2, 500L);
  r.SetField(4, ints, 3);
  DBRecord shared;
  shared.Link(&r);
  r.Init(&s);
  EXPECT_EQ(Strings(shared[1]), (std::vector<std::string>{"sea", "sun"}));
  EXPECT_EQ(shared[2].GetInt(), 500);
  EXPECT_EQ(shared.IsLinked(), 0);

  // Built again in its own array: nothing of the previous values shows through.
  for (int round = 0; round < 3; round++) {
    r.SetField(0, "title");
    r.SetField(2, 700L + round);
    r.SetField(4, ints, 3);
    EXPECT_GE(r.HashIndex(), 0);
    r.Init(&s);
    EXPECT_EQ(r.GetNAlloc(), 0);
    EXPECT_EQ(r.GetNAssigned(), 0);
    EXPECT_TRUE(r == empty);
    r.HashIndex();  // taken while the record has no fields yet
    r.SetField(3, 1.5f);
    EXPECT_EQ(r.GetNAssigned(), 1);
    for (int id : {0, 1, 2, 4}) EXPECT_EQ(r.GetField(id), nullptr) << id;
    EXPECT_EQ(r.HashIndex(), -1);  // the hash key is unset again
    r.Init(&s);
  }

  // A wider schema after a narrower one: the array grows past what it held.
  DBFieldInfo wide;
  for (int i = 0; i < 60; i++) wide.Field(("f" + std::to_string(i)).c_str(), DBDTint);
  r.SetField(0, "narrow");
  r.Init(&wide);
  EXPECT_EQ(r.SetField(59, 9L), 1);
  EXPECT_EQ(r.GetNAssigned(), 1);
  EXPECT_EQ(r.GetField(0), nullptr);
  r.Init(&s);
  EXPECT_EQ(r.SetField(0, "back"), 1);
  EXPECT_EQ(r.GetNAlloc(), s.GetNFields());
}

TEST(Record, CompareUsesKeysAndDirections) {
  PhotoSchema s;
  s.sord.AddSort(2, true);  // size descending
  DBRecord big(&s), small(&s), none(&s);
  big.SetField(2, 10L);
  small.SetField(2, 3L);
  EXPECT_LT(big.Compare(small), 0);
  EXPECT_LT(small.Compare(none), 0);  // unset last when descending
  EXPECT_GT(none.Compare(big), 0);
  EXPECT_EQ(none.Compare(none), 0);
  DBRecord noschema;
  EXPECT_GT(big.Compare(noschema), 0);
  EXPECT_LT(noschema.Compare(big), 0);

  // Records of another schema are compared by field name.
  DBFieldInfo other;
  other.Field("lat", DBDTfloat);
  other.Field("size", DBDTint);
  DBRecord o(&other);
  o.SetField(1, 5L);
  EXPECT_GT(small.Compare(o), 0);
  EXPECT_LT(big.Compare(o), 0);
}

TEST(RecordList, SortByTwoKeysIsOrderedStableAndLosesNothing) {
  PhotoSchema s;
  DBRecordList list(&s);
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; i++) {
    DBRecord& r = list.NewRecord();
    if (i % 17 != 0) r.SetField(0, ("img" + std::to_string(rng() % 40)).c_str());
    r.SetField(3, static_cast<float>(rng() % 50) * 0.5f);
    r.SetField(2, static_cast<long>(i));  // the original position
  }
  list.sord.Clear();
  list.sord.AddSort(0);
  list.sord.AddSort(3, true);
  list.Sort();
  std::vector<long> seen;
  for (int i = 0; i < list.GetSize(); i++) {
    seen.push_back(list.Get(i)[2].GetInt());
    if (i == 0) continue;
    const DBRecord& p = list.Get(i - 1);
    const DBRecord& q = list.Get(i);
    ASSERT_LE(p.Compare(q), 0) << i;
    if (p.Compare(q) == 0) {
      EXPECT_LT(p[2].GetInt(), q[2].GetInt()) << "stable at " << i;
    }
  }
  EXPECT_EQ(list.Get(0)[0].GetNV(), 0);  // unset titles first
  std::sort(seen.begin(), seen.end());
  for (int i = 0; i < 3000; i++) ASSERT_EQ(seen[i], i);
}

TEST(RecordList, SortIsSafeWithNaNInAViewedField) {
  PhotoSchema s;
  s.sord.AddSort(3);
  std::vector<float> vals(200);
  for (size_t i = 0; i < vals.size(); i++) vals[i] = (i % 3 == 0) ? NAN : float(i % 7);
  DBRecordList list(&s, static_cast<int>(vals.size()));
  for (int i = 0; i < list.GetSize(); i++) {
    list[i].SetField(3, 1.0f);
    list[i].l->field[3].SetView(DBDTfloat, 1, &vals[i], false);
  }
  list.Sort();
  bool number = false;
  for (int i = 0; i < list.GetSize(); i++) {
    const bool isnan = std::isnan(list.Get(i)[3].GetFloat());
    EXPECT_FALSE(number && isnan) << "NaN after a number at " << i;
    number = number || !isnan;
  }
}

TEST(RecordList, SortOfRecordsOfSeveralSchemasGoesByFieldName) {
  PhotoSchema s;
  DBFieldInfo other;  // "size" has the same id here; the other names differ
  other.Field("lat", DBDTfloat);
  other.Field("note", DBDTstring);
  other.Field("size", DBDTint);
  DBRecordList list;  // no schema of its own: records keep theirs
  list.Resize(7);
  for (int i = 0; i < 7; i++) {
    list[i].Init(i % 2 == 0 ? static_cast<const DBFieldInfo*>(&s) : &other);
    if (i != 3) list[i].SetField(2, static_cast<long>(10 - i));
  }
  list.sord.AddSort(2, true);
  list.Sort();
  for (int i = 0; i < 6; i++) EXPECT_EQ(list.Get(i)[2].GetInt(), 10 - (i < 3 ? i : i + 1)) << i;
  EXPECT_EQ(list.Get(6)[2].GetNV(), 0);  // unset last when descending
  EXPECT_EQ(list.Get(1).GetFieldInfo(), &other);
}

TEST(Record, EqualityComparesByNameAcrossSchemas) {
  PhotoSchema s;
  DBFieldInfo other;
  other.Field("size", DBDTint, nullptr, DBFDhashkey);
  other.Field("title", DBDTstring);
  DBRecord a(&s), b(&other);
  a.SetField(0, "x");
  a.SetField(2, 4L);
  b.SetField(1, "x");
  b.SetField(0, 4L);
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(b == a);
  b.SetField(1, "X");
  EXPECT_FALSE(a == b);
  b.SetField(1, "x");
  a.SetField(3, 1.0f);
  EXPECT_FALSE(a == b);  // a has one more set field
  DBRecord e1, e2(&s);
  EXPECT_TRUE(e1 == e2);
  EXPECT_FALSE(a == e2);

  DBRecordList list(&s, 3);
  list[0].SetField(2, 4L);
  list[1] = a;
  list[2] = a;
  EXPECT_EQ(list.FindRecord(a), 2);            // the highest equal index
  EXPECT_EQ(list.FindRecord(list.Get(1)), 1);  // a record inside the list
  DBRecord miss(&s);
  miss.SetField(2, 5L);
  EXPECT_EQ(list.FindRecord(miss), -1);
}

TEST(Record, IntersectionAndUnion) {
  PhotoSchema s;
  DBRecord a(&s), b(&s);
  const char* ka[] = {"sea", "sky", "sun"};
  const char* kb[] = {"sun", "sea"};
  a.SetField(0, "same");
  a.SetField(1, ka, 3);
  a.SetField(2, 1L);
  b.SetField(0, "same");
  b.SetField(1, kb, 2);
  b.SetField(2, 2L);
  b.SetField(3, 2.5f);

  DBRecord i = a;
  i &= b;
  EXPECT_STREQ(i[0].GetString(), "same");
  EXPECT_EQ(Strings(i[1]), (std::vector<std::string>{"sea", "sun"}));
  EXPECT_EQ(i[2].GetNV(), 0);  // single values that differ are cleared

  DBRecord u = a;
  u |= b;
  EXPECT_EQ(Strings(u[1]), (std::vector<std::string>{"sea", "sky", "sun"}));
  EXPECT_EQ(u[2].GetInt(), 1);       // a set single value stays
  EXPECT_EQ(u[3].GetFloat(), 2.5f);  // an unset one is filled

  DBRecordList list(&s, 2);
  list[0] = a;
  list[1] = b;
  DBRecord common;
  list.Intersection(&common);
  EXPECT_EQ(Strings(common[1]), (std::vector<std::string>{"sun", "sea"}));
  EXPECT_STREQ(common[0].GetString(), "same");
  EXPECT_EQ(common[2].GetNV(), 0);

  DBRecord fill(&s);
  fill.SetField(0, "own");
  EXPECT_EQ(fill.FillFrom(b), 3);
  EXPECT_STREQ(fill[0].GetString(), "own");
  EXPECT_EQ(fill[2].GetInt(), 2);
  DBRecord none;
  EXPECT_EQ(none.FillFrom(b), -1);
}

TEST(RecordList, QueryCursorVisitsEveryMatchOnce) {
  PhotoSchema s;
  DBRecordList list(&s, 6);
  for (int i = 0; i < 6; i++) list[i].SetField(2, static_cast<long>(i % 3));
  DBQuery q(&s, false);
  q.rlo.SetField(2, 1L);
  q.rhi.SetField(2, 2L);
  std::vector<int> hits;
  for (int i = list.FindFirst(&q); i >= 0; i = list.FindNext()) hits.push_back(i);
  EXPECT_EQ(hits, (std::vector<int>{1, 2, 4, 5}));
  EXPECT_EQ(list.FindNext(), -1);  // and again after the end
  EXPECT_EQ(list.FindFirst(nullptr), -1);
}

TEST(RecordList, CompactLinkAllAndCopy) {
  PhotoSchema s;
  DBFieldInfo empty;
  DBRecordList list(&s, 5);
  list[0].SetField(0, "a");
  list[2].SetField(0, "c");
  list[3].Init(&empty, true);  // a schema of no fields
  list[4].SetField(0, "e");
  list.Compact(false);
  EXPECT_EQ(list.GetSize(), 4);
  list.Compact(true);
  ASSERT_EQ(list.GetSize(), 3);
  EXPECT_STREQ(list.Get(0)[0].GetString(), "a");
  EXPECT_STREQ(list.Get(1)[0].GetString(), "c");
  EXPECT_STREQ(list.Get(2)[0].GetString(), "e");

  DBRecordList linked;
  EXPECT_EQ(linked.LinkAll(&list), 3);
  EXPECT_EQ(linked.GetFieldInfo(), &s);
  list[1].SetField(0, "changed");
  EXPECT_STREQ(linked.Get(1)[0].GetString(), "changed");
  EXPECT_EQ(linked.LinkAll(nullptr), 0);
  EXPECT_EQ(linked.GetSize(), 0);

  DBRecordList copy;
  copy = list;
  EXPECT_EQ(copy.GetFieldInfo(), &s);
  list[1].SetField(0, "again");
  EXPECT_STREQ(copy.Get(1)[0].GetString(), "changed");
}

}  // namespace

namespace {

// The records' text and the list's order, for telling whether anything visible changed.
std::string Dump(const DBRecordList& list) {
  std::ostringstream os;
  list.Write(&os, '\t');
  for (int i = 0; i < list.GetSize(); i++) os << (list.Get(i).l ? list.Get(i).l->nlinks : 0);
  return os.str();
}

}  // namespace

// Whatever changes a record or a list moves the change count on: random changes through every
// writing operation, each checked against the text of the records before and after.
TEST(RecordList, EveryChangeMovesTheChangeCount) {
  PhotoSchema s;
  DBRecordList list(&s);
  for (int i = 0; i < 6; i++) list.NewRecord().SetField(0, ("t" + std::to_string(i)).c_str());
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* kw[] = {"a", "b", "c"};
  for (int step = 0; step < 3000; step++) {
    const std::string before = Dump(list);
    const uint64_t count = PchangeCount();
    const int n = list.GetSize();
    DBRecord& r = list[pick(std::max(n, 1))];
    DBRecord& o = list[pick(std::max(n, 1))];
    switch (pick(12)) {
      case 0:
        r.SetField(0, kw[pick(3)]);
        break;
      case 1:
        r.SetField(1, kw, 1 + pick(3));
        break;
      case 2:
        r.SetField(2, static_cast<long>(pick(4)));
        break;
      case 3:
        r.ClearField(pick(5));
        break;
      case 4:
        r = o;
        break;
      case 5:
        r.Link(&o);
        break;
      case 6:
        r.FillFrom(o);
        break;
      case 7:
        r.SetText(1, "a,b", ',');
        break;
      case 8:
        r.Clear();
        break;
      case 9:
        list.Sort();
        break;
      case 10:
        list.Resize(std::max(1, n + pick(3) - 1));
        break;
      default:
        list.Compact(pick(2) == 0);
        break;
    }
    if (Dump(list) != before) {
      ASSERT_NE(PchangeCount(), count) << "step " << step;
    }
  }
}
