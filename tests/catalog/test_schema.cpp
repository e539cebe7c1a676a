// The photo schema, photo field access under other schemas, and the catalogue entry query.
#include <string>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"

namespace {

// A catalogue schema: the photo fields, a user-defined field after them, and the photo fields
// in a shuffled order without Caption.
struct Schemas {
  DBFieldInfo withUser;
  DBFieldInfo shuffled;
  Schemas() {
    withUser = PDBFInfo;
    withUser.Field("Mood", DBDTstring, "Mood", 0x2400);
    withUser.Field("Rating", DBDTint, "Rating", 0x2400);
    for (int id = PDBFend; id-- > 0;) {
      if (id == PDBFcaption) continue;
      const DBFDetails* d = PDBFInfo.GetDetails(id);
      shuffled.Field(PDBFInfo.GetName(id), d->dtype, d->descrip, d->flags, d->DisplayFormat);
    }
  }
};

// A photo record over schema s.
void Photo(DBRecord* r, const DBFieldInfo* s, const char* file, long size, long hash) {
  r->Init(s);
  auto set = [&](PDBFieldID f, auto v) { r->SetField(s->XlateID(&PDBFInfo, f), v); };
  set(PDBFfile, file);
  set(PDBFnbytes, size);
  set(PDBFhashval, hash);
  set(PDBFtitle, "Harbour");
  set(PDBFsubject, "Boats");
  set(PDBFlatitude, 37.5f);
  const char* kw[2] = {"sea", "evening"};
  r->SetField(s->XlateID(&PDBFInfo, PDBFkeyword), kw, 2);
  const char* al[1] = {"Summer"};
  r->SetField(s->XlateID(&PDBFInfo, PDBFalbum), al, 1);
}

// How many of recs match the query.
int Matches(const DBQuery& q, const DBRecord* recs, int n) {
  int k = 0;
  for (int i = 0; i < n; i++) k += recs[i].MatchQuery(&q);
  return k;
}

}  // namespace

TEST(PhotoSchema, FieldsTypesFlagsAndSortOrder) {
  ASSERT_EQ(PDBFInfo.GetNFields(), PDBFend);
  struct Expect {
    PDBFieldID id;
    const char* name;
    DBDataType type;
    int flags;
  };
  const Expect some[] = {
      {PDBFfile, "File", DBDTstring, 6400},      {PDBFlocation, "Location", DBDTstring, 2049},
      {PDBFhashval, "HashVal", DBDTint, 6656},   {PDBFsubject, "Subject", DBDTstring, 3328},
      {PDBFposition, "Position", DBDTint, 1537}, {PDBFstonits, "StoNits", DBDTfloat, 512},
      {PDBFfocus, "Focus", DBDTfloat, 0}};
  for (const Expect& e : some) {
    EXPECT_STREQ(PDBFInfo.GetName(e.id), e.name);
    EXPECT_EQ(PDBFInfo.GetDetails(e.id)->dtype, e.type) << e.name;
    EXPECT_EQ(PDBFInfo.GetDetails(e.id)->flags, e.flags) << e.name;
  }
  // Multi-valued fields without a formatter of their own show as arrays.
  EXPECT_EQ(PDBFInfo.GetDetails(PDBFkeyword)->DisplayFormat, &DBformatArray);
  EXPECT_EQ(PDBFInfo.GetDetails(PDBFlocation)->DisplayFormat, &PDBformatFolder);
  EXPECT_EQ(PDBFInfo.GetDetails(PDBFtitle)->DisplayFormat, &DBformatString);
  EXPECT_EQ(PDBFInfo.GetDetails(PDBFexptime)->DisplayFormat, &PDBformatExposure);
  int order[5];
  for (int k = 0; k < 5; k++) order[k] = PDBFInfo.sord.GetSort(k);
  EXPECT_EQ(order[0], PDBFfile);
  EXPECT_EQ(order[1], PDBFcapdate);
  EXPECT_EQ(order[2], PDBFsubject);
  EXPECT_EQ(order[3], PDBFowner);
  EXPECT_EQ(order[4], -1);
}

TEST(PhotoSchema, FieldsReadAndWrittenByNameUnderAnySchema) {
  Schemas s;
  DBRecord a, b, c;
  Photo(&a, &PDBFInfo, "a.jpg", 10, 20);
  Photo(&b, &s.withUser, "b.jpg", 11, 21);
  Photo(&c, &s.shuffled, "c.jpg", 12, 22);
  EXPECT_STREQ(PDBgetField(a, PDBFsubject).GetString(), "Boats");
  EXPECT_STREQ(PDBgetField(b, PDBFfile).GetString(), "b.jpg");
  EXPECT_EQ(PDBgetField(c, PDBFhashval).GetInt(), 22);
  EXPECT_EQ(PDBgetField(c, PDBFkeyword).GetNV(), 2);
  // A field the schema lacks, a record without fields, a number outside the photo schema.
  EXPECT_EQ(PDBgetField(c, PDBFcaption).GetNV(), 0);
  EXPECT_EQ(PDBgetField(DBRecord(), PDBFfile).GetNV(), 0);
  EXPECT_EQ(PDBgetField(a, PDBFend).GetNV(), 0);
  EXPECT_EQ(PDBsetText(&c, PDBFcaption, "x", ';'), 0);

  EXPECT_EQ(PDBsetText(&c, PDBFkeyword, "a;b;c", ';'), 3);
  EXPECT_EQ(PDBgetField(c, PDBFkeyword).GetNV(), 3);
  EXPECT_STREQ(PDBgetField(c, PDBFkeyword).GetString(2), "c");
  EXPECT_EQ(PDBsetText(&b, PDBFhistory, "/old\n/new\n", '\n'), 2);
  // Single-valued or numeric fields end up empty.
  EXPECT_EQ(PDBsetText(&c, PDBFtitle, "a;b;c", ';'), 0);
  EXPECT_EQ(PDBgetField(c, PDBFtitle).GetNV(), 0);
  EXPECT_EQ(PDBsetText(&c, PDBFcrop, "1;2", ';'), 0);
  EXPECT_EQ(PDBsetText(&c, PDBFkeyword, "", ';'), 0);
  EXPECT_EQ(PDBgetField(c, PDBFkeyword).GetNV(), 0);
  // The user field stays where the catalogue put it.
  EXPECT_EQ(s.withUser.GetID("Mood"), PDBFend);
}

TEST(PhotoSchema, EntryQueryFindsEntriesOfOneFile) {
  Schemas s;
  DBRecord base;
  Photo(&base, &s.withUser, "IMG_1.JPG", 5000, 777);
  base.SetField(s.withUser.GetID("Mood"), "calm");
  const int nCases = 7;
  DBRecord entries[nCases];
  for (DBRecord& e : entries) e = base;
  entries[1].SetField(PDBFtitle, "Other title");  // user info differs
  const char* kw[1] = {"sea"};
  entries[2].SetField(PDBFkeyword, kw, 1);  // keywords differ
  const char* al[1] = {"Winter"};
  entries[3].SetField(PDBFalbum, al, 1);  // album only
  entries[3].SetField(PDBFposition, 4L);
  entries[4].SetField(PDBFfile, "IMG_2.JPG");             // another file
  entries[5].SetField(PDBFlocation, "/elsewhere");        // moved, same file
  entries[6].SetField(s.withUser.GetID("Mood"), "wild");  // user-defined field

  DBQuery q(static_cast<DBQuery*>(nullptr));
  ASSERT_TRUE(PCsetQuery(&q, base, true));
  EXPECT_TRUE(q.rhi.IsLinked(&q.rlo));
  EXPECT_EQ(q.rlo.GetNAssigned(), 3);
  for (int i = 0; i < nCases; i++) EXPECT_EQ(entries[i].MatchQuery(&q), i != 4) << i;

  ASSERT_TRUE(PCsetQuery(&q, base, false));
  const bool found[nCases] = {true, false, false, true, false, true, false};
  for (int i = 0; i < nCases; i++) EXPECT_EQ(entries[i].MatchQuery(&q), found[i]) << i;

  // A record without keywords leaves them unconstrained; a second call forgets the first.
  DBRecord bare = base;
  bare.ClearField(PDBFkeyword);
  bare.SetField(PDBFfile, "IMG_9.JPG");
  ASSERT_TRUE(PCsetQuery(&q, bare, false));
  EXPECT_EQ(q.rlo.GetField(PDBFkeyword), nullptr);
  EXPECT_EQ(Matches(q, entries, nCases), 0);
  DBRecord bare2 = bare;
  bare2.SetField(PDBFkeyword, kw, 1);
  EXPECT_TRUE(bare2.MatchQuery(&q));

  // No identity, no query.
  DBRecord nohash = base;
  nohash.ClearField(PDBFhashval);
  EXPECT_FALSE(PCsetQuery(&q, nohash, true));
  EXPECT_FALSE(PCsetQuery(&q, DBRecord(), true));
  EXPECT_FALSE(PCsetQuery(nullptr, base, true));
}
