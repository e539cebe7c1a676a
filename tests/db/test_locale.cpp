// Record tables and header variables read and write the same bytes under a comma locale and a
// Turkish one as under C: what one user exports or stores, another reads back equal.
#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>

#include "db/dbase.h"
#include "testutil/process_locale.h"

namespace {

class DBLocale : public testing::TestWithParam<const char*> {};

void Camera(DBFieldInfo* s) {
  s->Field("Title", DBDTstring, "Title", 0);
  s->Field("ISO", DBDTint, "ISO", 0);
  s->Field("Aperture", DBDTfloat, "Aperture", 0);
  s->Field("LatLong", DBDTfloat, "LatLong", DBFDmulti);
}

// A list of two records with decimals that a comma locale would cut short.
void Fill(DBRecordList* list) {
  list->Resize(2);
  const char* title = "Istanbul, 1.5 km";
  const float ll[] = {43.467f, -122.419418f};
  (*list)[0].SetField(0, &title, 1);
  const long iso = 1600;
  (*list)[0].SetField(1, &iso, 1);
  const float ap = 2.8f, ap2 = 0.00625f;
  (*list)[0].SetField(2, &ap, 1);
  (*list)[0].SetField(3, ll, 2);
  (*list)[1].SetField(2, &ap2, 1);
}

// The table as written to a stream in the C++ locale given (the classic one by default).
std::string Written(const DBRecordList& list, const std::locale& loc = std::locale::classic()) {
  std::ostringstream os;
  os.imbue(loc);
  list.Write(&os, '\t');
  return os.str();
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Locales, DBLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

TEST_P(DBLocale, RecordTablesReadAndWriteTheBytesOfC) {
  DBFieldInfo s;
  Camera(&s);
  DBRecordList list(&s);
  Fill(&list);
  const std::string c = Written(list);
  SET_PROCESS_LOCALE(locale, GetParam());
  EXPECT_EQ(Written(list), c);
  EXPECT_EQ(Written(list, std::locale(GetParam())), c);  // nor does the stream's locale count
  DBRecordList back(&s);
  std::istringstream is(c);
  ASSERT_EQ(back.Read(&is, nullptr), 2);
  for (int r = 0; r < 2; r++)
    for (int f = 0; f < 4; f++)
      EXPECT_EQ(back[r][f], list[r][f]) << "record " << r << " field " << f;
  EXPECT_EQ(Written(back), c);
}

TEST_P(DBLocale, HeaderVariablesReadAndWriteTheBytesOfC) {
  float resp[3] = {0.0123f, 0.5877f, 1234.5f};
  int count = 7000;
  DBHeaderLink* vars = new DBHeaderLink("Responses", resp, 3, nullptr);
  vars = new DBHeaderLink("Count", &count, 1, vars);
  vars->FindVar("Responses")->SetNSet(3);
  vars->FindVar("Count")->SetNSet(1);
  std::ostringstream c;
  ASSERT_EQ(vars->WriteVars(&c, 1), 4);
  SET_PROCESS_LOCALE(locale, GetParam());
  float got[3] = {};
  int gotCount = 0;
  DBHeaderLink* back = new DBHeaderLink("Responses", got, 3, nullptr);
  back = new DBHeaderLink("Count", &gotCount, 1, back);
  std::istringstream is(c.str() + "}\n");
  back->ScanVars(&is);
  for (int i = 0; i < 3; i++) EXPECT_EQ(got[i], resp[i]) << i;
  EXPECT_EQ(gotCount, 7000);
  std::ostringstream again;
  again.imbue(std::locale(GetParam()));  // nor does the stream's locale count
  back->WriteVars(&again, 1);
  EXPECT_EQ(again.str(), c.str());
  delete back;
  delete vars;
}
