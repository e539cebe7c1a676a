// Queries, the record hash index and searches.
#include <random>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"

using dbtest::Messages;

namespace {

// A database in memory with a small schema: Name and Size are the hash keys.
struct MemDB : dbtest::MemDB {
  MemDB() {
    header.Field("Name", DBDTstring, "Name", DBFDhashkey);
    header.Field("Size", DBDTint, "Size", DBFDhashkey);
    header.Field("Tags", DBDTstring, "Tags", DBFDmulti);
    header.Field("Level", DBDTfloat, "Level", 0);
  }
  DBRecord Rec(const char* name, long size, float level = 0.0f) {
    DBRecord r(&header);
    r.SetField(0, name);
    r.SetField(1, size);
    r.SetField(3, level);
    return r;
  }
};

}  // namespace

TEST(Query, HashSetTableAndLength) {
  EXPECT_EQ(DB_HASHSETLEN, 32749);
  EXPECT_EQ(primeAbove(0), 31u);
  EXPECT_EQ(primeAbove(32), 61u);
  EXPECT_EQ(primeAbove(32749), 32749u);
  EXPECT_EQ(primeAbove(32750), 65521u);
  EXPECT_EQ(primeAbove(9000000), 9000000u);
}

TEST(Query, HashIndexDependsOnWhichKeyFieldHoldsWhichValue) {
  DBFieldInfo s;
  s.Field("A", DBDTint, "A", DBFDhashkey);
  s.Field("B", DBDTint, "B", DBFDhashkey);
  s.Field("C", DBDTint, "C", 0);
  DBRecord r1(&s), r2(&s);
  r1.SetField(0, 1L);
  r1.SetField(1, 2L);
  r2.SetField(0, 2L);
  r2.SetField(1, 1L);
  EXPECT_GE(r1.HashIndex(), 0);
  EXPECT_LT(r1.HashIndex(), 1L << 31);
  EXPECT_NE(r1.HashIndex(), r2.HashIndex());
  long before = r1.HashIndex();
  r1.SetField(2, 99L);  // not a key: no change
  EXPECT_EQ(r1.ComputeHashIndex(), before);
  r1.ClearField(1);
  EXPECT_EQ(r1.HashIndex(), -1);
  DBRecord empty;
  EXPECT_EQ(empty.HashIndex(), -1);
}

// The hash index depends on the key fields' names: it follows the schema when names are
// changed, and is the same for a copy of the schema.
TEST(Query, HashIndexFollowsTheSchemaThroughEdits) {
  auto hashUnder = [](const DBFieldInfo& s) {
    DBRecord r(&s);
    r.SetField(0, "IMG_0001.JPG");
    r.SetField(1, 123456L);
    return r.HashIndex();
  };
  auto schema = [](const char* a, const char* b) {
    DBFieldInfo s;
    s.Field(a, DBDTstring, a, DBFDhashkey);
    s.Field(b, DBDTint, b, DBFDhashkey);
    return s;
  };
  DBFieldInfo s = schema("Name", "Size");
  const long before = hashUnder(s);
  ASSERT_GE(before, 0);
  // Names whose hashes differ from the old ones in the rotation they give (one of the three
  // is certain to).
  const char* const names[] = {"File", "Path", "Picture"};
  for (const char* name : names) {
    ASSERT_TRUE(s.Rename(0, name));
    EXPECT_EQ(hashUnder(s), hashUnder(schema(name, "Size"))) << name;
  }
  bool changed = false;
  for (const char* name : names) changed |= hashUnder(schema(name, "Size")) != before;
  EXPECT_TRUE(changed);
  ASSERT_TRUE(s.Rename(0, "Name"));
  EXPECT_EQ(hashUnder(s), before);

  DBFieldInfo copy;
  copy.Field("Other", DBDTint, "Other", DBFDhashkey);
  copy = s;
  EXPECT_EQ(hashUnder(copy), before);
  DBFieldInfo constructed(s);
  EXPECT_EQ(hashUnder(constructed), before);

  // Emptied and built again with other names in the same places.
  s.Clear();
  s.Field("Size", DBDTstring, "Size", DBFDhashkey);
  s.Field("Name", DBDTint, "Name", DBFDhashkey);
  EXPECT_EQ(hashUnder(s), hashUnder(schema("Size", "Name")));
}

TEST(Query, ExactSelectorsShareAHashSetUntilOneIsARange) {
  MemDB m;
  DBSearch s(&m.db);
  ASSERT_EQ(s.AddSelector(m.Rec("a.jpg", 10), false), 1);
  s.Reset();
  EXPECT_EQ(s.GetQuery()->hashSet, nullptr);  // a single selector prunes by its own hash
  ASSERT_EQ(s.AddSelector(m.Rec("b.jpg", 20), false), 1);
  s.Reset();
  ASSERT_NE(s.GetQuery()->hashSet, nullptr);
  EXPECT_EQ(s.GetQuery()->hashSet->Length(), 32749u);
  EXPECT_EQ(s.GetQuery()->hashSet->SumTotal(), 2u);
  DBRecord lvl(&m.header);
  lvl.SetField(3, 0.5f);
  ASSERT_EQ(s.AddSelector(lvl, false), 1);
  s.Reset();
  for (const DBQuery* q = s.GetQuery(); q != nullptr; q = q->next) EXPECT_EQ(q->hashSet, nullptr);
}

TEST(Query, BoundPairsAreStoredInOrder) {
  MemDB m;
  DBSearch s(&m.db);
  DBRecord lo(&m.header), hi(&m.header);
  lo.SetField(1, 5L);
  hi.SetField(1, 2L);
  lo.SetField(0, "b");
  hi.SetField(0, "A");
  ASSERT_EQ(s.AddSelector(lo, hi, false), 1);
  const DBQuery* q = s.GetQuery();
  EXPECT_EQ(q->rlo[1].GetInt(), 2);
  EXPECT_EQ(q->rhi[1].GetInt(), 5);
  EXPECT_STREQ(q->rlo[0].GetString(), "A");
  EXPECT_STREQ(q->rhi[0].GetString(), "b");
}

TEST(Query, MismatchedSelectorFieldsAreReportedAndSkipped) {
  MemDB m;
  DBSearch s(&m.db);
  DBFieldInfo other;
  other.Field("Size", DBDTfloat, "Size", 0);
  DBRecord lo(&other), hi(&other);
  lo.SetField(0, 1.5f);
  hi.SetField(0, 2.5f);
  Messages log;
  EXPECT_EQ(s.AddSelector(lo, hi, false), 0);
  EXPECT_TRUE(log.Has(DMCwarning, "Cannot assign query field Size"));
  DBRecord a(&m.header), b(&m.header);
  a.SetField(0, "x");
  b.SetField(1, 3L);
  EXPECT_EQ(s.AddSelector(a, b, false), 1);  // only Name: b has no Name, so it is exact
  DBRecord c(&m.header), d(&m.header);
  const char* two[2] = {"p", "q"};
  c.SetField(2, two, 2);
  d.SetField(2, "p");
  EXPECT_EQ(s.AddSelector(c, d, false), 0);
  EXPECT_TRUE(log.Has(DMCwarning, "Pair mismatch in query field Tags"));
}

TEST(Query, EmptyFieldsMatchOnlyWhenAsked) {
  DBFieldInfo s;
  s.Field("Size", DBDTint, "Size", 0);
  s.Field("Title", DBDTstring, "Title", 0);
  DBRecord rec(&s);
  rec.SetField(1, "untitled");
  DBQuery strict(&s, false);
  strict.rlo.SetField(0, 10L);
  strict.rhi.SetField(0, 20L);
  EXPECT_FALSE(rec.MatchQuery(&strict));
  DBQuery loose(&s, true);
  loose.rlo.SetField(0, 10L);
  loose.rhi.SetField(0, 20L);
  EXPECT_TRUE(rec.MatchQuery(&loose));
  rec.SetField(0, 15L);
  EXPECT_TRUE(rec.MatchQuery(&strict));
  rec.SetField(0, 25L);
  EXPECT_FALSE(rec.MatchQuery(&loose));
  DBQuery none(&s, true);  // no bound at all: matches nothing
  EXPECT_FALSE(rec.MatchQuery(&none));
  EXPECT_FALSE(rec.MatchQuery(nullptr));
}

TEST(Query, FindAllGrowsTheListToExactlyTheMatches) {
  MemDB m;
  std::vector<DBRecord> recs;
  for (int i = 0; i < 300; i++) {
    char name[32];
    snprintf(name, sizeof(name), "f%03d", i);
    recs.push_back(m.Rec(name, i, i * 0.5f));
  }
  ASSERT_EQ(m.db.AddRecords(recs.data(), 300), 300);
  DBSearch s(&m.db);
  DBRecord lo(&m.header), hi(&m.header);
  lo.SetField(3, 10.0f);
  hi.SetField(3, 99.5f);
  ASSERT_EQ(s.AddSelector(lo, hi, false), 1);
  DBRecordList list(&m.header, 3);
  EXPECT_EQ(s.FindAll(&list), 180);
  EXPECT_EQ(list.GetSize(), 180);
  EXPECT_EQ(list[0][1].GetInt(), 20);
  // An OR chain: the range, or one exact record outside it.
  ASSERT_EQ(s.AddSelector(recs[250], false), 1);
  DBRecordList both(&m.header);
  EXPECT_EQ(s.FindAll(&both), 181);
  DBRecord out[200];
  s.Reset();
  EXPECT_EQ(s.FindRecords(out, 100), 100);
  EXPECT_EQ(s.FindRecords(out + 100, 100), 81);
  EXPECT_EQ(s.FindRecords(out, 100), 0);
}

// The compiled chain must decide exactly as the record's own matching does.
TEST(Query, CompiledChainAgreesWithRecordMatching) {
  DBFieldInfo s;
  s.Field("Name", DBDTstring, "Name", DBFDhashkey);
  s.Field("Size", DBDTint, "Size", DBFDhashkey);
  s.Field("Tags", DBDTstring, "Tags", DBFDmulti);
  s.Field("Level", DBDTfloat, "Level", 0);
  s.Field("Crop", DBDTint, "Crop", DBFDmulti);
  DBFieldInfo other;  // records of another schema, fields in another order
  other.Field("Level", DBDTfloat, "Level", 0);
  other.Field("Size", DBDTint, "Size", DBFDhashkey);
  other.Field("Name", DBDTstring, "Name", DBFDhashkey);
  std::mt19937 rng(7);
  const char* names[4] = {"a", "b", "c", "d"};
  const char* tags[3] = {"x", "y", "z"};
  auto randomRecord = [&](DBRecord* r, const DBFieldInfo* sc) {
    r->Init(sc);
    int nf = sc->GetNFields();
    for (int f = 0; f < nf; f++) {
      if (rng() % 4 == 0) continue;  // some fields stay unset
      const DBFDetails* d = sc->GetDetails(f);
      if (d->dtype == DBDTstring && (d->flags & DBFDmulti)) {
        const char* t[2] = {tags[rng() % 3], tags[rng() % 3]};
        r->SetField(f, t, 1 + static_cast<int>(rng() % 2));
      } else if (d->dtype == DBDTstring) {
        r->SetField(f, names[rng() % 4]);
      } else if (d->dtype == DBDTint && (d->flags & DBFDmulti)) {
        long c[2] = {static_cast<long>(rng() % 5), static_cast<long>(rng() % 5)};
        r->SetField(f, c, 2);
      } else if (d->dtype == DBDTint) {
        r->SetField(f, static_cast<long>(rng() % 6));
      } else {
        r->SetField(f, static_cast<float>(rng() % 6) * 0.5f);
      }
    }
  };
  for (int round = 0; round < 300; round++) {
    DBQuery* chain = nullptr;
    int nsel = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < nsel; k++) {
      chain = chain == nullptr ? new DBQuery(&s, rng() % 3 == 0) : new DBQuery(chain);
      chain->matchEmpty = rng() % 3 == 0;
      DBRecord lo, hi;
      randomRecord(&lo, &s);
      randomRecord(&hi, &s);
      int nf = s.GetNFields();
      for (int f = 0; f < nf; f++) {
        if (rng() % 2) continue;
        const DBField* a = lo.GetField(f);
        if (a == nullptr) continue;
        chain->rlo.SetField(f, *a);
        if (rng() % 2 && hi.GetField(f) != nullptr && hi.GetField(f)->GetNV() == a->GetNV())
          chain->rhi.SetField(f, *hi.GetField(f));
      }
    }
    ABitMap set(static_cast<uint32_t>(DB_HASHSETLEN));
    if (rng() % 2) chain->HashSet(&set);
    DBQueryPlan plan(chain, &s);
    for (int i = 0; i < 40; i++) {
      DBRecord r;
      randomRecord(&r, i % 5 == 0 ? &other : &s);
      ASSERT_EQ(plan.Match(r), r.MatchQuery(chain)) << "round " << round << " record " << i;
    }
    delete chain;
  }
}
