// Catalogue and shadow catalogue headers: the text of a new file, the software check, the
// recent lists and the change detection that decides when the header is rewritten.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "catalog/catalog_test_util.h"
#include "catalog/pixhaven.h"

using cattest::TempFile;

namespace {

// A header of kind H on a new file, synced; returns the file's text and the checker's verdict
// ("" when it cannot run).
template <class H>
std::string NewFile(const TempFile& f, std::string* verdict) {
  {
    std::fstream s(f.path, std::ios::in | std::ios::out | std::ios::binary);
    H h;
    EXPECT_GT(h.Attach(&s, false), 0);
    EXPECT_TRUE(h.Sync());
    h.Attach(nullptr, true);
  }
  int rc = 0;
  verdict->clear();
  if (cattest::RunQdbcheck(f.path, &rc, verdict) && rc != 0) *verdict += "(failed)";
  return f.Bytes();
}

bool HasLine(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(CatalogHeader, NewCatalogueAndShadowHeaders) {
  TempFile f("cathdr"), g("shadowhdr");
  std::string verdict;
  std::string text = NewFile<PDBHeader>(f, &verdict);
  EXPECT_TRUE(HasLine(text, "Software = \"Corvane Lumerin\""));
  EXPECT_TRUE(HasLine(text, "UniqueFiles = 1"));
  EXPECT_EQ(text.find("Recent"), std::string::npos);  // four empty lists
  EXPECT_TRUE(HasLine(text, "\tSortOrder = 1 7 13 15 0"));
  size_t at = 0;  // the 45 fields in table order, flags in decimal
  for (int id = 0; id < PDBFend; id++) {
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    std::string line = "\n\t\"" + std::string(PDBFInfo.GetName(id)) + "\",\t" +
                       std::to_string(d->flags) + ",\t" + DBdtypeName[d->dtype] + ",\t\"" +
                       d->descrip + "\"\n";
    at = text.find(line, at);
    ASSERT_NE(at, std::string::npos) << line;
  }
  EXPECT_TRUE(HasLine(text, "\t\"Subject\",\t3328,\tstring,\t\"General Subject\""));
  EXPECT_TRUE(verdict.empty() || (verdict.find("sound catalogue") != std::string::npos &&
                                  verdict.find("note") == std::string::npos))
      << verdict;

  text = NewFile<SDBHeader>(g, &verdict);
  EXPECT_TRUE(HasLine(text, "\t\"Subject\",\t1280,\tstring,\t\"General Subject\""));
  EXPECT_EQ(text.find("UniqueFiles"), std::string::npos);
  EXPECT_TRUE(verdict.empty() || verdict.find("sound shadow catalogue") != std::string::npos)
      << verdict;
}

TEST(CatalogHeader, ValuesSurviveAndChangesRewriteTheHeader) {
  TempFile f("cathdr2");
  {
    std::fstream s(f.path, std::ios::in | std::ios::out | std::ios::binary);
    PDBHeader h;
    ASSERT_GT(h.Attach(&s, false), 0);
    ASSERT_TRUE(h.Sync());
    const int h0 = h.Hash();
    h.SetUnique(false);
    EXPECT_NE(h.Hash(), h0);
    h.SetUnique(true);
    EXPECT_EQ(h.Hash(), h0);
    // A list's only value added and removed again: each change reaches the file.
    h.InsertRecent(PDBLastAlbmName, "Summer", 0);
    ASSERT_TRUE(h.Sync());
    EXPECT_NE(f.Bytes().find("\nRecentAlbum = Summer\n"), std::string::npos);
    h.DeleteRecent(PDBLastAlbmName, 0);
    ASSERT_TRUE(h.Sync());
    EXPECT_EQ(f.Bytes().find("RecentAlbum"), std::string::npos);
    h.SetUnique(false);
    EXPECT_TRUE(h.InsertRecent(PDBLastSubjName, "Boats", 0));
    EXPECT_TRUE(h.InsertRecent(PDBLastSubjName, "Harbour \"east\"", 0));
    EXPECT_TRUE(h.InsertRecent(PDBLastKeywName, "sea", -1));
    // The destructor writes the rest.
  }
  std::string verdict;
  int rc = 0;
  if (cattest::RunQdbcheck(f.path, &rc, &verdict)) {
    EXPECT_EQ(rc, 0) << verdict;
  }
  {
    std::fstream s(f.path, std::ios::in | std::ios::binary);
    PDBHeader h;
    ASSERT_GT(h.Attach(&s, true), 0);
    EXPECT_FALSE(h.Unique());
    EXPECT_EQ(h.GetNRecent(PDBLastSubjName), 2);
    EXPECT_STREQ(h.GetRecent(PDBLastSubjName, 0), "Harbour \"east\"");
    EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 0), "sea");
    EXPECT_EQ(h.GetNFields(), PDBFend);
  }
  // Another software name: the header does not attach and the file is left alone.
  std::string bytes = f.Bytes();
  bytes[bytes.find("Corvane Lumerin") + 14] = 'N';
  f.Write(bytes);
  {
    std::fstream s(f.path, std::ios::in | std::ios::out | std::ios::binary);
    PDBHeader h;
    EXPECT_EQ(h.Attach(&s, false), 0);
    EXPECT_EQ(h.CheckValues(), 0);
  }
  EXPECT_EQ(f.Bytes(), bytes);
}

TEST(CatalogHeader, RecentListsKeepTheirBuffers) {
  PDBHeader h;
  h.SetDefaults();
  std::string v(63, 'o');
  for (char c = 'a'; c < 'f'; c++) {
    v[0] = c;
    ASSERT_TRUE(h.InsertRecent(PDBLastOwnrName, v.c_str(), -1));
  }
  EXPECT_FALSE(h.InsertRecent(PDBLastOwnrName, v.c_str(), 0));  // 320 bytes are used
  EXPECT_EQ(h.GetNRecent(PDBLastOwnrName), 5);
  // Short values: more than the application keeps; list names match without case.
  for (int i = 0; i < 12; i++)
    ASSERT_TRUE(h.InsertRecent("recentsubject", std::to_string(i).c_str(), 0));
  EXPECT_STREQ(h.GetRecent("RECENTSUBJECT", 0), "11");
  for (const char* k : {"Alpha", "beta", "gamma"})
    ASSERT_TRUE(h.InsertRecent(PDBLastKeywName, k, -1));
  EXPECT_EQ(h.FindRecent(PDBLastKeywName, "alpha"), -1);  // values match with case
  EXPECT_EQ(h.FindRecent(PDBLastKeywName, "gamma"), 2);
  EXPECT_FALSE(h.InsertRecent(PDBLastKeywName, "delta", 4));  // beyond the count
  EXPECT_TRUE(h.InsertRecent(PDBLastKeywName, "delta", 1));
  h.DeleteRecent(PDBLastKeywName, 1);
  h.DeleteRecent(PDBLastKeywName, -1);
  h.DeleteRecent(PDBLastKeywName, 7);
  EXPECT_EQ(h.GetNRecent(PDBLastKeywName), 2);
  EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 1), "beta");
  EXPECT_EQ(h.GetRecent(PDBLastKeywName, 2), nullptr);
  EXPECT_EQ(h.GetNRecent("RecentPlace"), -1);
  EXPECT_EQ(h.GetNRecent("UniqueFiles"), -1);
  EXPECT_FALSE(h.InsertRecent(PDBLastAlbmName, nullptr, 0));
}
