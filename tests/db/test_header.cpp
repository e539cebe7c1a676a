// The database header block: new files, checks, writing only when changed, and the guards
// that keep the header readable and inside HeaderSize.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"

using dbtest::Messages;

namespace {

std::string Header(const std::string& fieldsPerBlock = "8192",
                   const std::string& fields = "\t\"A\",\t0,\tint,\t\"Field A\"\n",
                   const std::string& extra = "") {
  std::string t = "QRDB = {\nSoftware = test\nFieldSize = 8\nFieldsPerBlock = " + fieldsPerBlock +
                  "\nBigEndian = 0\nHeaderSize = 2000\nFieldInfo = {\n\tSortOrder = 1 0\n" +
                  fields + "} // FieldInfo\n" + extra + "}\t// QRDB\n";
  t.append(2000 - t.size(), '\n');
  return t;
}

// A header with a variable of its own, as the catalogue headers declare them.
class CountedHeader : public DBHeader {
 public:
  CountedHeader() { hvars = new DBHeaderLink("Unique", &unique, 1, hvars); }
  ~CountedHeader() override { Sync(); }  // its variable's storage is still alive here
  int Hash() const override { return DBHeader::Hash() ^ (unique * 7919); }
  void SetDefaults() override {
    DBHeader::SetDefaults();
    unique = 1;
    hvars->SetVal(&unique, 1);
  }
  void SetUnique(int v) {
    unique = v;
    hvars->SetVal(&unique, v);
  }
  int unique = 0;
};

}  // namespace

TEST(Header, NewStreamGetsDefaultsWrittenAtTheFirstSync) {
  std::stringstream ss(std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  EXPECT_EQ(h.GetSize(), 270);
  EXPECT_EQ(h.Attach(&ss, false), 18871);
  EXPECT_FALSE(h.ReadOnly());
  EXPECT_EQ(ss.str().size(), 0u);
  ASSERT_TRUE(h.Sync());
  std::string text = ss.str();
  ASSERT_EQ(text.size(), 18871u);
  EXPECT_EQ(text.substr(0, 9 + 21), "QRDB = {\nSoftware = (unknown)\n");
  EXPECT_NE(text.find("FieldInfo = {\n\tSortOrder = 0\n} // FieldInfo\n}\t// QRDB\n\n"),
            std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  // Read back over a fresh header.
  DBHeader h2;
  EXPECT_EQ(h2.Attach(&ss, true), 18871);
  EXPECT_TRUE(h2.ReadOnly());
  EXPECT_EQ(h2.Hash(), h.Hash());
}

TEST(Header, EmptyOrForeignStreamsAreRefusedUntouched) {
  std::stringstream empty(std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  EXPECT_EQ(h.Attach(&empty, true), 0);
  EXPECT_EQ(empty.str().size(), 0u);
  std::stringstream other("QRDB = { \nSoftware = x\n", std::ios::in | std::ios::out);
  EXPECT_EQ(h.Attach(&other, false), 0);
  EXPECT_EQ(other.str(), "QRDB = { \nSoftware = x\n");
  Messages log;
  std::stringstream bad(Header("4096"), std::ios::in | std::ios::out);
  EXPECT_EQ(h.Attach(&bad, false), 0);
  std::stringstream badtype(Header("8192", "\t\"A\",\t0,\tinteger,\t\"A\"\n"));
  EXPECT_EQ(h.Attach(&badtype, false), 0);
  EXPECT_TRUE(log.Has(DMCdata, "Unrecognized data type in DBFieldInfo::ReadInfo"));
  std::stringstream dup(Header("8192", "\t\"A\",\t0,\tint,\t\"A\"\n\t\"A\",\t0,\tint,\t\"B\"\n"));
  EXPECT_EQ(h.Attach(&dup, false), 0);
  EXPECT_TRUE(log.Has(DMCdata, "Duplicate field in DBFieldInfo::ReadInfo"));
}

TEST(Header, ExistingHeaderReadsWithItsSchemaAndUnknownVariables) {
  Messages log;
  std::stringstream ss(Header("8192",
                              "\t\"A\",\t4097,\tint,\t\"Field A\"\n"
                              "\t\"B\",\t0,\tstring,\t\"Field B\"\n",
                              "Later = {\n\tx = 1\n} // Later\n"),
                       std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  ASSERT_EQ(h.Attach(&ss, false), 2000);
  EXPECT_TRUE(log.Has(DMCwarning, "Unrecognized DB header variable: Later"));
  ASSERT_EQ(h.GetNFields(), 2);
  EXPECT_EQ(h.GetDetails(0)->flags, 4097);
  EXPECT_EQ(h.GetDetails(1)->dtype, DBDTstring);
  EXPECT_STREQ(h.GetDetails(1)->descrip, "Field B");
  bool desc = true;
  EXPECT_EQ(h.sord.GetSort(0, &desc), 0);
  EXPECT_FALSE(desc);
  // Unchanged: Sync writes nothing.
  std::string before = ss.str();
  EXPECT_TRUE(h.Sync());
  EXPECT_EQ(ss.str(), before);
  h.SetChangedFlag(true);
  EXPECT_TRUE(h.Sync());
  EXPECT_NE(ss.str(), before);
  EXPECT_EQ(ss.str().size(), 2000u);
}

TEST(Header, SortOrderWritesSignedKeysAndReadsBack) {
  std::stringstream ss(std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  ASSERT_GT(h.Attach(&ss, false), 0);
  h.Field("a", DBDTint);
  h.Field("b", DBDTfloat);
  h.Field("c", DBDTstring, "Third", DBFDmulti);
  h.sord.AddSort(2, true);
  h.sord.AddSort(0, false);
  ASSERT_TRUE(h.Sync());
  EXPECT_NE(ss.str().find("\tSortOrder = -3 1 0\n\t\"a\",\t0,\tint,\t\"a\"\n"), std::string::npos);
  EXPECT_NE(ss.str().find("\t\"c\",\t1,\tstring,\t\"Third\"\n"), std::string::npos);
  DBHeader h2;
  ASSERT_GT(h2.Attach(&ss, true), 0);
  bool desc = false;
  EXPECT_EQ(h2.sord.GetSort(0, &desc), 2);
  EXPECT_TRUE(desc);
  EXPECT_EQ(h2.sord.GetSort(1, &desc), 0);
  EXPECT_FALSE(desc);
  EXPECT_EQ(h2.sord.GetSort(2), -1);
}

TEST(Header, OverflowIsRefusedAndNeverWritesPastHeaderSize) {
  std::stringstream ss(Header(), std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  ASSERT_EQ(h.Attach(&ss, false), 2000);
  std::string block0 = std::string("\x72\x1a", 2) + std::string(100, 'B');
  ss.seekp(2000);
  ss.write(block0.data(), static_cast<std::streamsize>(block0.size()));
  Messages log;
  int added = 0;
  char name[16];
  for (int i = 0; i < 40; i++) {
    snprintf(name, sizeof(name), "Field%02d", i);
    if (h.Field(name, DBDTint, "A description of some length", 0) >= 0) added++;
  }
  EXPECT_GT(added, 5);
  EXPECT_LT(added, 40);
  EXPECT_TRUE(log.Has(DMCparameter, "Database header overflowed"));
  ASSERT_TRUE(h.Sync());
  std::string bytes = ss.str();
  EXPECT_EQ(bytes.substr(2000), block0);
  // A schema grown behind the guard's back is refused at write time, still without harm.
  DBFieldInfo& base = h;
  for (int i = 0; i < 10; i++) {
    snprintf(name, sizeof(name), "More%02d", i);
    base.Field(name, DBDTint, "Another long field description here", 0);
  }
  log.Clear();
  EXPECT_FALSE(h.Sync());
  EXPECT_TRUE(log.Has(DMCparameter, "Database header overflowed"));
  EXPECT_EQ(ss.str(), bytes);
}

TEST(Header, UnreadableNamesAndDescriptionsAreRefused) {
  std::stringstream ss(std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h;
  ASSERT_GT(h.Attach(&ss, false), 0);
  Messages log;
  EXPECT_LT(h.Field("say \"hi\"", DBDTint), 0);
  EXPECT_LT(h.Field(std::string(64, 'n').c_str(), DBDTint), 0);
  EXPECT_GE(h.Field(std::string(63, 'n').c_str(), DBDTint), 0);
  EXPECT_LT(h.Field("x", DBDTint, "two\nlines"), 0);
  EXPECT_LT(h.Field("y", DBDTint, "a \"quote\""), 0);
  int id = h.Field("z", DBDTint, "");
  ASSERT_GE(id, 0);
  EXPECT_STREQ(h.GetDetails(id)->descrip, "z");
  EXPECT_FALSE(h.Rename(id, "bad\"name"));
  EXPECT_TRUE(h.Rename(id, "zz"));
  ASSERT_TRUE(h.Sync());
  // Names that bypass the guards (a names line read into the schema) are never written.
  std::string good = ss.str();
  DBFieldInfo& base = h;
  base.Field("q\"uote", DBDTint);
  log.Clear();
  EXPECT_FALSE(h.Sync());
  EXPECT_TRUE(log.Has(DMCparameter, "Field name cannot be stored in DB header"));
  EXPECT_EQ(ss.str(), good);
  h.Attach(nullptr, true);  // leaves without writing the unreadable name
  DBHeader back;
  ASSERT_GT(back.Attach(&ss, true), 0);
  EXPECT_EQ(back.GetNFields(), 2);
  EXPECT_EQ(back.GetID("zz"), 1);
}

TEST(Header, SubclassVariablesAreWrittenAndSyncedByTheSubclass) {
  std::stringstream ss(std::ios::in | std::ios::out | std::ios::binary);
  {
    CountedHeader h;
    ASSERT_EQ(h.Attach(&ss, false), 18871 + (6 + 26));
    h.Field("A", DBDTint);
    h.SetUnique(0);
  }  // synced by the subclass's own destructor
  std::string text = ss.str();
  ASSERT_EQ(text.size(), 18871u + 32u);
  EXPECT_NE(text.find("} // FieldInfo\nUnique = 0\n}\t// QRDB\n"), std::string::npos);
  // An older header class skips the variable it does not know.
  Messages log;
  DBHeader plain;
  EXPECT_EQ(plain.Attach(&ss, false), 18903);
  EXPECT_TRUE(log.Has(DMCwarning, "Unrecognized DB header variable: Unique"));
  plain.Field("B", DBDTint);
  ASSERT_TRUE(plain.Sync());
  CountedHeader again;
  ASSERT_GT(again.Attach(&ss, true), 0);
  EXPECT_EQ(again.GetNFields(), 2);
}

TEST(Header, UnusableGeometryOrAFaultyLineFailsTheAttach) {
  auto with = [](const std::string& from, const std::string& to) {
    std::string t = Header();
    size_t p = t.find(from);
    return t.substr(0, p) + to + t.substr(p + from.size());
  };
  Messages log;
  const std::string bad[] = {
      with("HeaderSize = 2000", "HeaderSize = 0"),
      with("HeaderSize = 2000", "HeaderSize = 100"),         // smaller than its own text
      with("HeaderSize = 2000", "HeaderSize = 2000000000"),  // blocks far into the file
      with("BigEndian = 0", "BigEndian = 2"),
      with("HeaderSize = 2000\n", ""),
      with("Software = test\n", "Software = test\n%garbage\n"),  // the scan stops on a fault
  };
  for (const std::string& text : bad) {
    std::stringstream ss(text, std::ios::in | std::ios::out | std::ios::binary);
    DBHeader h;
    EXPECT_EQ(h.Attach(&ss, false), 0) << text.substr(0, 200);
    EXPECT_EQ(ss.str(), text);
  }
  EXPECT_TRUE(log.Has(DMCdata, "Unexpected character ('%') in DB header"));
}
