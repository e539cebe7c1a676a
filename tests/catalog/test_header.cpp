// Catalogue and shadow catalogue headers: defaults, the written text, the software check,
// the recent lists and the change detection that decides when the header is rewritten.
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "catalog/catalog_test_util.h"
#include "catalog/pixhaven.h"

using cattest::OpenStream;
using cattest::TempFile;

namespace {

// A header of the given kind attached to a new file and synced; returns the file's text.
template <class H>
std::string NewHeaderFile(const TempFile& f) {
  std::unique_ptr<std::fstream> s(OpenStream(f.path));
  H h;
  EXPECT_GT(h.Attach(s.get(), false), 0);
  EXPECT_TRUE(h.Sync());
  h.Attach(nullptr, true);
  return f.Bytes();
}

bool HasLine(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(CatalogHeader, NewCatalogueHeaderText) {
  TempFile f("cathdr");
  std::string text = NewHeaderFile<PDBHeader>(f);
  EXPECT_TRUE(HasLine(text, "Software = \"Corvane Lumerin\"")) << text.substr(0, 300);
  EXPECT_TRUE(HasLine(text, "UniqueFiles = 1"));
  EXPECT_EQ(text.find("Recent"), std::string::npos);  // four empty lists
  EXPECT_TRUE(HasLine(text, "\tSortOrder = 1 7 13 15 0"));
  // The 45 fields in table order, flags in decimal.
  size_t at = 0;
  for (int id = 0; id < PDBFend; id++) {
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    std::string line = "\t\"" + std::string(PDBFInfo.GetName(id)) + "\",\t" +
                       std::to_string(d->flags) + ",\t" + DBdtypeName[d->dtype] + ",\t\"" +
                       d->descrip + "\"";
    size_t p = text.find("\n" + line + "\n", at);
    ASSERT_NE(p, std::string::npos) << line;
    at = p + 1;
  }
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(f.path, &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("sound catalogue"), std::string::npos) << out;
    EXPECT_EQ(out.find("note"), std::string::npos) << out;
  }
}

TEST(CatalogHeader, ShadowHeaderDropsRequiredSubject) {
  TempFile f("shadowhdr");
  std::string text = NewHeaderFile<SDBHeader>(f);
  EXPECT_TRUE(HasLine(text, "\t\"Subject\",\t1280,\tstring,\t\"General Subject\""));
  EXPECT_EQ(text.find("UniqueFiles"), std::string::npos);
  EXPECT_EQ(PDBFInfo.GetDetails(PDBFsubject)->flags, 0x0D00);  // the global schema is untouched
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(f.path, &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("sound shadow catalogue"), std::string::npos) << out;
  }
}

TEST(CatalogHeader, ValuesSurviveTheFileAndOtherSoftwareIsRefused) {
  TempFile f("cathdr2");
  {
    std::unique_ptr<std::fstream> s(OpenStream(f.path));
    PDBHeader h;
    ASSERT_GT(h.Attach(s.get(), false), 0);
    h.SetUnique(false);
    EXPECT_TRUE(h.InsertRecent(PDBLastSubjName, "Boats", 0));
    EXPECT_TRUE(h.InsertRecent(PDBLastSubjName, "Harbour \"east\"", 0));
    EXPECT_TRUE(h.InsertRecent(PDBLastKeywName, "sea", -1));
    // Written by the destructor.
  }
  {
    std::unique_ptr<std::fstream> s(OpenStream(f.path));
    PDBHeader h;
    ASSERT_GT(h.Attach(s.get(), true), 0);
    EXPECT_FALSE(h.Unique());
    EXPECT_EQ(h.GetNRecent(PDBLastSubjName), 2);
    EXPECT_STREQ(h.GetRecent(PDBLastSubjName, 0), "Harbour \"east\"");
    EXPECT_STREQ(h.GetRecent(PDBLastSubjName, 1), "Boats");
    EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 0), "sea");
    EXPECT_EQ(h.GetNRecent(PDBLastAlbmName), 0);
    EXPECT_EQ(h.GetNFields(), PDBFend);
  }
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(f.path, &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
  }

  // Another software name: the header does not attach, and the file is left alone.
  std::string bytes = f.Bytes();
  size_t p = bytes.find("Corvane Lumerin");
  ASSERT_NE(p, std::string::npos);
  bytes[p + 14] = 'N';
  f.Write(bytes);
  {
    std::unique_ptr<std::fstream> s(OpenStream(f.path));
    PDBHeader h;
    EXPECT_EQ(h.Attach(s.get(), false), 0);
    EXPECT_EQ(h.CheckValues(), 0);
  }
  EXPECT_EQ(f.Bytes(), bytes);
}

TEST(CatalogHeader, RecentListsKeepTheirBuffers) {
  PDBHeader h;
  h.SetDefaults();
  const std::string v63(63, 'o');
  for (int i = 0; i < 5; i++) {
    std::string v = v63;
    v[0] = static_cast<char>('a' + i);
    ASSERT_TRUE(h.InsertRecent(PDBLastOwnrName, v.c_str(), -1)) << i;
  }
  EXPECT_FALSE(h.InsertRecent(PDBLastOwnrName, v63.c_str(), 0));  // 320 bytes are used
  EXPECT_FALSE(h.InsertRecent(PDBLastOwnrName, "x", 0));
  EXPECT_EQ(h.GetNRecent(PDBLastOwnrName), 5);
  // Short values: more than the application keeps; names match without case.
  for (int i = 0; i < 12; i++)
    ASSERT_TRUE(h.InsertRecent("recentsubject", std::to_string(i).c_str(), 0));
  EXPECT_EQ(h.GetNRecent(PDBLastSubjName), 12);
  EXPECT_STREQ(h.GetRecent("RECENTSUBJECT", 0), "11");

  const char* kw[3] = {"Alpha", "beta", "gamma"};
  for (const char* k : kw) ASSERT_TRUE(h.InsertRecent(PDBLastKeywName, k, -1));
  EXPECT_EQ(h.FindRecent(PDBLastKeywName, "alpha"), -1);
  EXPECT_EQ(h.FindRecent(PDBLastKeywName, "gamma"), 2);
  EXPECT_FALSE(h.InsertRecent(PDBLastKeywName, "delta", 4));  // beyond the count
  EXPECT_TRUE(h.InsertRecent(PDBLastKeywName, "delta", 1));
  EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 1), "delta");
  h.DeleteRecent(PDBLastKeywName, 1);
  h.DeleteRecent(PDBLastKeywName, -1);
  h.DeleteRecent(PDBLastKeywName, 7);
  EXPECT_EQ(h.GetNRecent(PDBLastKeywName), 2);
  EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 0), "Alpha");
  EXPECT_STREQ(h.GetRecent(PDBLastKeywName, 1), "beta");
  EXPECT_EQ(h.GetRecent(PDBLastKeywName, 2), nullptr);
  EXPECT_EQ(h.GetRecent(PDBLastKeywName, -1), nullptr);

  // No such list.
  EXPECT_EQ(h.GetNRecent("RecentPlace"), -1);
  EXPECT_EQ(h.GetNRecent("UniqueFiles"), -1);
  EXPECT_FALSE(h.InsertRecent("RecentPlace", "x", 0));
  EXPECT_FALSE(h.InsertRecent(PDBLastAlbmName, nullptr, 0));
  EXPECT_EQ(h.FindRecent(PDBLastAlbmName, nullptr), -1);
}

TEST(CatalogHeader, ChangesOfListsAndFlagRewriteTheHeader) {
  TempFile f("cathdr3");
  std::unique_ptr<std::fstream> s(OpenStream(f.path));
  PDBHeader h;
  ASSERT_GT(h.Attach(s.get(), false), 0);
  ASSERT_TRUE(h.Sync());
  const int h0 = h.Hash();
  h.SetUnique(false);
  EXPECT_NE(h.Hash(), h0);
  ASSERT_TRUE(h.Sync());
  EXPECT_NE(f.Bytes().find("UniqueFiles = 0"), std::string::npos);
  h.SetUnique(true);
  EXPECT_EQ(h.Hash(), h0);
  h.InsertRecent(PDBLastAlbmName, "Summer", 0);
  EXPECT_NE(h.Hash(), h0);
  ASSERT_TRUE(h.Sync());
  EXPECT_NE(f.Bytes().find("RecentAlbum = Summer"), std::string::npos);
  h.DeleteRecent(PDBLastAlbmName, 0);
  ASSERT_TRUE(h.Sync());
  EXPECT_EQ(f.Bytes().find("RecentAlbum"), std::string::npos);
  h.Attach(nullptr, true);
}
