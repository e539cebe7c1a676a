// Photo fields read and written by name under other schemas, and the catalogue entry query.
#include <gtest/gtest.h>

#include "catalog/pixhaven.h"

namespace {

// A photo record over schema s.
void Photo(DBRecord* r, const DBFieldInfo* s, const char* file) {
  r->Init(s);
  auto id = [&](PDBFieldID f) { return s->XlateID(&PDBFInfo, f); };
  r->SetField(id(PDBFfile), file);
  r->SetField(id(PDBFnbytes), 5000L);
  r->SetField(id(PDBFhashval), 777L);
  r->SetField(id(PDBFtitle), "Harbour");
  r->SetField(id(PDBFlatitude), 37.5f);
  const char* kw[2] = {"sea", "evening"};
  r->SetField(id(PDBFkeyword), kw, 2);
}

}  // namespace

TEST(PhotoSchema, FieldsByNameUnderAnySchema) {
  // A catalogue with user fields after the photo fields; another with the photo fields in
  // reverse order and without Caption.
  DBFieldInfo user = PDBFInfo, reversed;
  user.Field("Mood", DBDTstring, "Mood", 0x2400);
  for (int id = PDBFend; id-- > 0;) {
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    if (id != PDBFcaption) reversed.Field(PDBFInfo.GetName(id), d->dtype, d->descrip, d->flags);
  }
  DBRecord a, b;
  Photo(&a, &user, "a.jpg");
  Photo(&b, &reversed, "b.jpg");
  EXPECT_STREQ(PDBgetField(a, PDBFfile).GetString(), "a.jpg");
  EXPECT_STREQ(PDBgetField(b, PDBFfile).GetString(), "b.jpg");
  EXPECT_EQ(PDBgetField(b, PDBFhashval).GetInt(), 777);
  EXPECT_EQ(PDBgetField(b, PDBFcaption).GetNV(), 0);  // the schema lacks it
  EXPECT_EQ(PDBgetField(DBRecord(), PDBFfile).GetNV(), 0);
  EXPECT_EQ(PDBgetField(a, PDBFend).GetNV(), 0);
  EXPECT_EQ(PDBsetText(&b, PDBFcaption, "x", ';'), 0);
  EXPECT_EQ(PDBsetText(&b, PDBFkeyword, "a;b;c", ';'), 3);
  EXPECT_STREQ(PDBgetField(b, PDBFkeyword).GetString(2), "c");
  EXPECT_EQ(PDBsetText(&a, PDBFhistory, "/old\n/new\n", '\n'), 2);
  // Single-valued and numeric fields end up empty; an empty text clears.
  EXPECT_EQ(PDBsetText(&b, PDBFtitle, "a;b;c", ';'), 0);
  EXPECT_EQ(PDBgetField(b, PDBFtitle).GetNV(), 0);
  EXPECT_EQ(PDBsetText(&b, PDBFcrop, "1;2", ';'), 0);
  EXPECT_EQ(PDBsetText(&b, PDBFkeyword, "", ';'), 0);
  EXPECT_EQ(PDBgetField(b, PDBFkeyword).GetNV(), 0);
}

TEST(PhotoSchema, EntryQueryFindsEntriesOfOneFile) {
  DBFieldInfo s = PDBFInfo;
  const int mood = s.Field("Mood", DBDTstring, "Mood", 0x2400);
  DBRecord base;
  Photo(&base, &s, "IMG_1.JPG");
  base.SetField(mood, "calm");
  DBRecord e[7];
  for (DBRecord& r : e) r = base;
  const char* one[1] = {"sea"};
  e[1].SetField(PDBFtitle, "Other title");  // user information differs
  e[2].SetField(PDBFkeyword, one, 1);       // keywords differ
  e[3].SetField(PDBFalbum, one, 1);         // album and position only
  e[3].SetField(PDBFposition, 4L);
  e[4].SetField(PDBFfile, "IMG_2.JPG");   // another file
  e[5].SetField(PDBFlocation, "/moved");  // the same file elsewhere
  e[6].SetField(mood, "wild");            // a user-defined field differs
  DBQuery q(static_cast<DBQuery*>(nullptr));
  ASSERT_TRUE(PCsetQuery(&q, base, true));
  EXPECT_TRUE(q.rhi.IsLinked(&q.rlo));
  EXPECT_EQ(q.rlo.GetNAssigned(), 3);
  for (int i = 0; i < 7; i++) EXPECT_EQ(e[i].MatchQuery(&q), i != 4) << i;
  ASSERT_TRUE(PCsetQuery(&q, base, false));
  for (int i = 0; i < 7; i++) EXPECT_EQ(e[i].MatchQuery(&q), i == 0 || i == 3 || i == 5) << i;
  // Without keywords they are unconstrained; a second call forgets the first record.
  DBRecord bare = base;
  bare.ClearField(PDBFkeyword);
  bare.SetField(PDBFfile, "IMG_9.JPG");
  ASSERT_TRUE(PCsetQuery(&q, bare, false));
  EXPECT_FALSE(e[0].MatchQuery(&q));
  bare.SetField(PDBFkeyword, one, 1);
  EXPECT_TRUE(bare.MatchQuery(&q));
  // No identity, no query.
  base.ClearField(PDBFhashval);
  EXPECT_FALSE(PCsetQuery(&q, base, true));
  EXPECT_FALSE(PCsetQuery(&q, DBRecord(), true));
  EXPECT_FALSE(PCsetQuery(nullptr, e[0], true));
}
