// A folder of 200 distinct JPEG files read into records, reconciled, added to a catalogue,
// closed and reopened: the catalogue holds exactly the records added, as the program and the
// outside checker read them.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "catalog_test_util.h"
#include "context_test_util.h"
#include "catalog/photo_test_util.h"
#include "support/cnumber.h"
#include "testutil/checker.h"

using ctxtest::TempDir;

namespace {

std::vector<std::string> ReadableJpegs() {
  std::vector<std::string> out;
  std::string dir = std::string(LUMERIN_TESTDATA) + "/jpeg";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  for (dirent* e; (e = readdir(d)) != nullptr;) {
    std::string n = e->d_name;
    if (n.size() < 5 || n.substr(n.size() - 4) != ".jpg") continue;
    DBRecord r;
    MessageLog quiet;
    PgrokFile(&r, (dir + "/" + n).c_str());
    if (PDBgetField(r, PDBFxsize).IsSet()) out.push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// Float columns as single-precision values with seven digits, the checker's precision.
std::string Normalised(const std::string& line) {
  std::string out, cell;
  std::istringstream in(line);
  bool first = true;
  while (std::getline(in, cell, '\t')) {
    char* end = nullptr;
    const float f = cell.find('e') != std::string::npos ? Cstrtof(cell.c_str(), &end) : 0.0f;
    if (end != nullptr && *end == '\0' && !cell.empty()) {
      char buf[32];
      Csnprintf(buf, sizeof(buf), "%.6e", static_cast<double>(f));
      cell = buf;
    }
    out += (first ? "" : "\t") + cell;
    first = false;
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // the names line
  while (std::getline(in, line)) out.push_back(Normalised(line));
  std::sort(out.begin(), out.end());
  return out;
}

std::string Dump(const std::string& path) {
  return CheckerOutput({"--dump", path});
}

}  // namespace

TEST(FolderAdd, TwoHundredJpegsAddedCloseAndReopen) {
  phototest::LoadReaders();
  std::vector<std::string> sources = ReadableJpegs();
  if (sources.empty()) GTEST_SKIP() << "test images not available in " << LUMERIN_TESTDATA;
  TempDir dir;
  std::string folder = dir.Path("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  // Distinct files: each copy carries a few bytes of its own after the image.
  std::vector<std::string> paths;
  for (int k = 0; k < 200; k++) {
    const std::string& src = sources[static_cast<size_t>(k) % sources.size()];
    std::string dst = folder + "/img" + std::to_string(k) + ".jpg";
    ctxtest::WriteFile(dst, ctxtest::ReadFile(src) + "copy " + std::to_string(k));
    paths.push_back(dst);
  }
  std::string cat = dir.Path("photos.qdb"), shadow = dir.Path("shadow.qdb");
  std::string added;
  std::map<std::string, DBRecord> byName;
  {
    PContext ctx;
    ASSERT_TRUE(ctx.ShadowDB(shadow.c_str()));
    ASSERT_TRUE(ctx.OpenDB(cat.c_str()));
    ctx.Clear();
    strcpy(ctx.rsrc, folder.c_str());
    ctx.rdisp.Resize(200);
    for (int k = 0; k < 200; k++) {
      MessageLog quiet;
      PgrokFile(&ctx.rdisp[k], paths[static_cast<size_t>(k)].c_str());
      ctx.rdisp[k].SetField(ctx.phd.GetID("Subject"), "Desk");
    }
    EXPECT_EQ(ctx.Reconcile(), 0);
    ASSERT_EQ(ctx.rdisp.GetSize(), 200) << "no duplicates among distinct files";
    ASSERT_EQ(ctx.AddRecords(), 200);
    EXPECT_EQ(ctx.TotalCommon(), 200);
    std::ostringstream os;
    ctx.rdisp.Write(&os, '\t');
    added = os.str();
    for (int k = 0; k < 200; k++) {
      // Kept under the program's schema: the catalogue's goes with this context.
      DBRecord& kept = byName[PDBgetField(ctx.rdisp.Get(k), PDBFfile).GetString()];
      kept.Init(&PDBFInfo, true);
      kept = ctx.rdisp.Get(k);
    }
    DBRecord loose = ctxtest::Photo("loose.jpg", 1, 1);
    ASSERT_TRUE(ctx.AddShadow(loose));
    ASSERT_TRUE(ctx.CloseDB());
    EXPECT_STREQ(ctx.rsrc, folder.c_str());
  }
  EXPECT_QDB_SOUND(cat);
  EXPECT_QDB_SOUND(shadow);

  PContext again;
  ASSERT_TRUE(again.OpenDB(cat.c_str()));
  ASSERT_EQ(again.pdb.TotalRecords(), 200);
  DBRecordList all(&again.phd, 200);
  ASSERT_EQ(again.pdb.GetRecords(all.Array(), 200, 0), 200);
  for (int k = 0; k < 200; k++) {
    const DBRecord& r = all.Get(k);
    auto it = byName.find(PDBgetField(r, PDBFfile).GetString());
    ASSERT_NE(it, byName.end());
    EXPECT_TRUE(r == it->second) << it->first;
    byName.erase(it);
  }
  EXPECT_TRUE(again.subjSet.InSet("Desk"));
  // The outside checker reads the same records that were added.
  if (!CheckerRuns(cat)) return;  // marked skipped, with the reason
  const std::string dump = Dump(cat);
  EXPECT_EQ(Lines(dump), Lines(added));
}
