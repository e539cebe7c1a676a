// Text tables read back exactly what was written: values of any length and count, the float
// range's ends, a database's own dump with lines far longer than any buffer, bad lines counted
// while the rest is read, and no record that was added that could not be deleted again.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "db/dbfieldpriv.h"
#include "db/test_access_util.h"

namespace {

using dbtest::MemDB;
using dbtest::Messages;

// A schema of a name, a multi-valued integer field, a float list and a string list.
void Photo(DBFieldInfo* s) {
  s->Field("Name", DBDTstring, "Name", 0);
  s->Field("Counts", DBDTint, "Counts", DBFDmulti);
  s->Field("Levels", DBDTfloat, "Levels", DBFDmulti);
  s->Field("Tags", DBDTstring, "Tags", DBFDmulti);
}

std::vector<std::string> Tags(int n, size_t len) {
  std::vector<std::string> t;
  for (int i = 0; i < n; i++) t.push_back(std::to_string(i) + std::string(len, 'a' + i % 26));
  return t;
}

void SetTags(DBRecord* r, const std::vector<std::string>& tags) {
  std::vector<const char*> p;
  for (const std::string& s : tags) p.push_back(s.c_str());
  r->SetField(3, p.data(), static_cast<int>(p.size()));
}

}  // namespace

TEST(TextRoundTrip, FloatRangeEndsReadBackAsThemselves) {
  EXPECT_EQ(dbpriv::toFloat(3.40282347e+38), FLT_MAX);  // FLT_MAX written with 9 digits
  EXPECT_EQ(dbpriv::toFloat(-3.40282347e+38), -FLT_MAX);
  EXPECT_EQ(dbpriv::toFloat(3.4028235677973362e+38), FLT_MAX);       // just below the halfway point
  EXPECT_TRUE(std::isinf(dbpriv::toFloat(3.4028235677973366e+38)));  // the halfway point
  EXPECT_TRUE(std::isinf(dbpriv::toFloat(-1e39)));
  DBFieldInfo s;
  Photo(&s);
  DBRecord r(&s);
  const float levels[] = {FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_TRUE_MIN, 0.1f, 1e-40f};
  r.SetField(2, levels, 6);
  DBRecordList list(&s), back(&s);
  list.Resize(1);
  list[0] = r;
  std::stringstream text;
  list.Write(&text, '\t');
  ASSERT_EQ(back.Read(&text, nullptr), 1);
  ASSERT_EQ(back[0][2].GetNV(), 6);
  const float* got = static_cast<const float*>(back[0][2].GetPointer(0));
  for (int i = 0; i < 6; i++) EXPECT_EQ(got[i], levels[i]) << i;
}

TEST(TextRoundTrip, FieldsOfManyValuesAreWrittenWhole) {
  DBFieldInfo s;
  Photo(&s);
  DBRecordList list(&s), back(&s);
  list.Resize(1);
  std::vector<long> counts(16000);
  for (int i = 0; i < 16000; i++) counts[i] = i * 7 - 3;
  list[0].SetField(1, counts.data(), 16000);
  SetTags(&list[0], Tags(600, 3));
  Messages log;
  std::stringstream text;
  list.Write(&text, '\t');
  ASSERT_EQ(back.Read(&text, nullptr), 1);
  EXPECT_EQ(log.Count(), static_cast<size_t>(log.CountClass(DMCtrace))) << log.All();
  ASSERT_EQ(back[0][1].GetNV(), 16000);
  EXPECT_EQ(static_cast<const int32_t*>(back[0][1].GetPointer(0))[15999], 15999 * 7 - 3);
  ASSERT_EQ(back[0][3].GetNV(), 600);
  EXPECT_TRUE(back[0] == list[0]);
}

TEST(TextRoundTrip, DatabaseDumpWithLongLinesReadsBackWhole) {
  MemDB a;
  Photo(&a.header);
  std::vector<DBRecord> recs;
  for (int i = 0; i < 6; i++) {
    DBRecord r(&a.header);
    r.SetField(0, (std::string(i == 2 ? 60000 : 10, 'n') + std::to_string(i)).c_str());
    std::vector<long> counts(i == 4 ? 9000 : 3, i);
    r.SetField(1, counts.data(), static_cast<int>(counts.size()));
    SetTags(&r, Tags(i == 5 ? 512 : 2, i == 5 ? 40 : 1));
    ASSERT_TRUE(a.db.AddRecord(r)) << i;
    recs.push_back(r);
  }
  std::stringstream dump;
  a.db.Write(&dump, '\t');
  MemDB b;
  Photo(&b.header);
  Messages log;
  char sep = 0;
  DBFieldInfo names;
  EXPECT_EQ(b.db.Read(&dump, &sep, &names), 6);
  EXPECT_EQ(log.Count(), static_cast<size_t>(log.CountClass(DMCtrace))) << log.All();
  ASSERT_EQ(b.db.TotalRecords(), 6);
  for (const DBRecord& r : recs) {
    DBRecord copy(r);
    EXPECT_EQ(b.db.DeleteRecords(&copy, 1), 1) << r[0].GetString();
  }
  EXPECT_EQ(b.db.TotalRecords(), 0);
}

TEST(TextRoundTrip, BadLinesAreCountedAndTheRestIsRead) {
  MemDB d;
  Photo(&d.header);
  std::string many = "{";
  for (int i = 0; i < 513; i++) many += "\"t\"" + std::string(i < 512 ? "," : "}");
  const std::string text = "Name\tTags\n\"a\"\n\"b\t\n\"c\"\t" + many + "\n\"d\"\t{\"x\",\"y\"}\n" +
                           "\"e\n" + std::string(50000, 'z') + "\n\"f\"\n";
  Messages log;
  std::istringstream is(text);
  DBFieldInfo names;
  EXPECT_EQ(d.db.Read(&is, nullptr, &names), 3);  // a, d, f
  EXPECT_TRUE(log.Has(DMCdata, "Cannot read 4 records, at lines 3, 4, 6, 7")) << log.All();
  EXPECT_EQ(d.db.TotalRecords(), 3);
}

TEST(TextRoundTrip, NoAddedRecordBecomesImpossibleToDelete) {
  MemDB d;
  Photo(&d.header);
  DBRecord ok(&d.header), tooMany(&d.header), after(&d.header);
  ok.SetField(0, "ok");
  SetTags(&ok, Tags(512, 2));
  tooMany.SetField(0, "too many");
  SetTags(&tooMany, Tags(513, 2));
  after.SetField(0, "after");
  Messages log;
  const DBRecord batch[] = {ok, tooMany, after};
  // The record a block could not store whole is refused, with those after it.
  EXPECT_EQ(d.db.AddRecords(batch, 3), 1);
  EXPECT_TRUE(log.Has(DMCdata, "Field Tags holds 513 strings; a record can store at most 512"))
      << log.All();
  EXPECT_EQ(d.db.TotalRecords(), 1);
  EXPECT_EQ(d.db.DeleteRecords(&ok, 1), 1);
  EXPECT_EQ(d.db.TotalRecords(), 0);
}
