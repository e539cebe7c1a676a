// The record file commands on real files in a scratch folder: renaming one file and a series
// with their sounds, deleting with its questions, cutting, copying and turning records.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "app/core/pappstate.h"
#include "app/core/pdialogs.h"
#include "app/core/pidle.h"
#include "app/records/precfile.h"
#include "app/export/ptrader.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "db/test_faultfs.h"
#include "maintest.h"
#include "support/bytetext.h"
#include "platform/pclipboard.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/refused_links.h"
#include "testutil/rgb_jpeg.h"
#include "testutil/wait_until.h"

namespace {

// Makes a folder read-only for this test: a read-only bind mount of it in a mount namespace of
// the test's own thread (gone with the process; nothing of it reaches the machine's mounts),
// or, where the process may not mount and is not root, the folder's write bits taken away.
// Mounted() tells which; Made() whether either took.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& dir) : path(dir) {
    if (unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      mounted =
          mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
      if (!mounted) umount2(path.c_str(), MNT_DETACH);
    }
    if (!mounted && geteuid() != 0) chmodded = chmod(path.c_str(), 0555) == 0;
  }
  ~ReadOnlyFolder() { Undo(); }
  void Undo() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
    if (chmodded) chmod(path.c_str(), 0755);
    mounted = chmodded = false;
  }
  bool Made() const { return mounted || chmodded; }
  // What the program says of the folder, as it words the system's error for every user: a
  // read-only mount (root) refuses with EROFS, a folder without write bits (any other user)
  // with EACCES.
  std::string Reason() const { return PsystemReason(mounted ? EROFS : EACCES); }

 private:
  std::string path;
  bool mounted = false, chmodded = false;
};

class RecordFiles : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    folder = Path("pics");
    mkdir(folder.c_str(), 0755);
    // The records are the files'.
    SwapHook(&PAppHooks::checkRecords, [](bool, PContext*) { return PCheckResult{}; });
  }
  void TearDown() override {
    SwapHook(&PAppHooks::checkRecords, checkRecords);
    MainTest::TearDown();
  }
  // Files name_i for the given names, shown as records of the folder, all selected.
  void ShowFiles(const std::vector<std::string>& names, bool make = true) {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    long k = 0;
    for (const std::string& n : names) {
      if (make) ctxtest::WriteFile(In(n), "data of " + n);
      ctxtest::Show(bc, ctxtest::Photo(n.c_str(), 100 + k, 500 + k, "Quay", folder.c_str()));
      ++k;
    }
    snprintf(bc->rsrc, sizeof bc->rsrc, "%s", folder.c_str());
    mw->LoadedRecords(static_cast<int>(names.size()));
    mw->SortRecords(FourCC("sfil"), 0);
    bc->SelectAll();
  }
  std::string In(const std::string& name) const { return folder + "/" + name; }
  std::vector<std::string> Shown() const {
    std::vector<std::string> v;
    for (int i = 0; i < bc->rdisp.GetSize(); ++i)
      v.push_back(PDBgetString(bc->rdisp.Get(i), PDBFfile));
    return v;
  }
  std::string folder;
};

TEST_F(RecordFiles, SeriesRenameSkipsNamesAndTakesTheSounds) {
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) names.push_back("p" + std::to_string(10 + i) + ".jpg");
  ctxtest::WriteFile(In("p10.WAV"), "sound 10");
  ctxtest::WriteFile(In("p11.wav"), "sound 11");
  ctxtest::WriteFile(In("base003.jpg"), "kept");
  ShowFiles(names);
  Answerer ans;
  ans.Type("base");
  EXPECT_EQ(MainCommand(mw, "renm"), noErr);
  EXPECT_TRUE(ans.Saw("Base for sequential image renaming"));
  for (int i = 0; i < 12; ++i) EXPECT_FALSE(ctxtest::Exists(In(names[i]))) << names[i];
  std::vector<std::string> expect;
  for (int n : {1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) {
    char nm[32];
    snprintf(nm, sizeof nm, "base%03d.jpg", n);
    expect.push_back(nm);
    EXPECT_TRUE(ctxtest::Exists(In(nm))) << nm;
  }
  EXPECT_EQ(Shown(), expect);
  EXPECT_EQ(ctxtest::ReadFile(In("base003.jpg")), "kept");
  EXPECT_EQ(ctxtest::ReadFile(In("base001.jpg")), "data of p10.jpg");
  EXPECT_EQ(ctxtest::ReadFile(In("base001.WAV")), "sound 10");
  EXPECT_EQ(ctxtest::ReadFile(In("base002.wav")), "sound 11");
  EXPECT_FALSE(ctxtest::Exists(In("p10.WAV")));

  // Another folder (in letter case only) refuses.
  ShowFiles({"a.jpg", "b.jpg"});
  PDBsetString(&bc->rdisp[1], PDBFlocation, (Path("Pics")).c_str());
  ans.Type("x");
  MessageLog log;
  renameFiles();
  EXPECT_TRUE(log.Has(DMCinput, "Images must be together in one folder"));
  EXPECT_TRUE(ctxtest::Exists(In("a.jpg")));
}

TEST_F(RecordFiles, RenameOntoAnExistingNameRefuses) {
  ctxtest::WriteFile(In("other.jpg"), "other");
  ShowFiles({"one.jpg"});
  Answerer ans;
  ans.Type("other.jpg");
  MessageLog log;
  renameFiles();
  EXPECT_TRUE(ans.Saw("Rename image '" + In("one.jpg") + "'"));
  EXPECT_TRUE(log.Has(DMCinput, "File 'other.jpg' already exists (not renamed)"));
  EXPECT_EQ(ctxtest::ReadFile(In("other.jpg")), "other");
  EXPECT_EQ(ctxtest::ReadFile(In("one.jpg")), "data of one.jpg");
  EXPECT_FALSE(imgRename(In("one.jpg").c_str(), In("other.jpg").c_str()));
  // The sound follows only where the new name has none yet, in any letter case.
  ctxtest::WriteFile(In("one.WAV"), "sound one");
  ctxtest::WriteFile(In("two.wav"), "sound two");
  ans.Type("two.jpg");
  renameFiles();
  EXPECT_EQ(Shown(), std::vector<std::string>{"two.jpg"});
  EXPECT_EQ(ctxtest::ReadFile(In("two.jpg")), "data of one.jpg");
  EXPECT_EQ(ctxtest::ReadFile(In("two.wav")), "sound two");
  EXPECT_EQ(ctxtest::ReadFile(In("one.WAV")), "sound one");
  EXPECT_FALSE(ctxtest::Exists(In("two.WAV")));
}

// A name of other bytes than UTF-8 shows its stray bytes as "\xE9" and, answered without an
// edit, stays the file's, whatever an earlier question was answered; a typed name replaces it.
// A name longer than the folder takes is refused whole, never cut to fit: one file's or a
// series'.
TEST_F(RecordFiles, RenameKeepsANamesBytesAndRefusesANameTooLong) {
  const std::string latin = "caf\xE9.jpg";
  ShowFiles({latin});
  Answerer ans;
  ans.Type("Holiday");
  char subject[64] = "";
  ASSERT_EQ(getInput(subject, sizeof subject, "Subject"), kResponseOK);
  ans.Keep();
  MainCommand(mw, "renm");
  ASSERT_EQ(ans.fields.size(), 2u);
  EXPECT_EQ(ans.fields[1], "caf\\xE9.jpg");
  EXPECT_EQ(ctxtest::ReadFile(In(latin)), "data of " + latin);
  EXPECT_FALSE(ctxtest::Exists(In("Holiday")));
  EXPECT_EQ(Shown(), std::vector<std::string>{latin});
  ans.Type("neu.jpg");
  MainCommand(mw, "renm");
  EXPECT_EQ(ctxtest::ReadFile(In("neu.jpg")), "data of " + latin);
  EXPECT_FALSE(ctxtest::Exists(In(latin)));
  EXPECT_EQ(Shown(), std::vector<std::string>{"neu.jpg"});

  const long max = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (max < 8 || folder.size() + static_cast<size_t>(max) + 2 > 1024)
    GTEST_SKIP() << "names of " << max << " bytes in " << folder;
  const std::string over = std::string(static_cast<size_t>(max) - 3, 'b') + ".jpg";
  ans.Type(over);
  MainCommand(mw, "renm");
  ASSERT_FALSE(ans.alerts.empty());
  EXPECT_EQ(ans.alerts.back(), "Cannot rename to a name of " + std::to_string(max + 1) +
                                   " bytes: the folder '" + folder + "' takes names of at most " +
                                   std::to_string(max) + " bytes (not renamed)");
  EXPECT_FALSE(ctxtest::Exists(In(over.substr(0, static_cast<size_t>(max)))));
  EXPECT_EQ(ctxtest::ReadFile(In("neu.jpg")), "data of " + latin);
  EXPECT_EQ(Shown(), std::vector<std::string>{"neu.jpg"});
  ans.Type(over.substr(1));  // the longest name there is
  MainCommand(mw, "renm");
  EXPECT_EQ(Shown(), std::vector<std::string>{over.substr(1)});

  // A series whose names would be too long renames none of its files.
  ShowFiles({"a.jpg", "b.jpg"});
  ans.Type(std::string(static_cast<size_t>(max) - 6, 's'));
  MainCommand(mw, "renm");
  EXPECT_EQ(ans.alerts.back().substr(0, 27), "Cannot rename to a name of ");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_TRUE(ctxtest::Exists(In("a.jpg")) && ctxtest::Exists(In("b.jpg")));
}

// An edit of a name of other bytes keeps the bytes it did not touch: a suffix changed in the
// field, "caf\xE9.jpg", "x\xFF.jpg" and a name holding a line feed keep their stems' bytes,
// and no file of the escapes' characters appears.
TEST_F(RecordFiles, RenameWithAnEditKeepsTheBytesItDidNotTouch) {
  for (const std::string stem : {"caf\xE9", "x\xFF", "two\nlines"}) {
    ShowFiles({stem + ".jpg"});
    Answerer ans;
    ans.Edit([](QLineEdit* e) {
      e->setFocus();
      QTest::keyClick(e, Qt::Key_End);
      for (int k = 0; k < 3; ++k) QTest::keyClick(e, Qt::Key_Backspace);
      QTest::keyClicks(e, "jpeg");
    });
    MainCommand(mw, "renm");
    ASSERT_EQ(ans.fields.size(), 1u);
    EXPECT_EQ(ans.fields[0], ShownName(stem + ".jpg"));
    EXPECT_EQ(Shown(), std::vector<std::string>{stem + ".jpeg"});
    EXPECT_EQ(ctxtest::ReadFile(In(stem + ".jpeg")), "data of " + stem + ".jpg");
    EXPECT_FALSE(ctxtest::Exists(In(stem + ".jpg")));
    EXPECT_FALSE(ctxtest::Exists(In(ShownName(stem) + ".jpeg")));
  }
  // The name of the four characters \xE9 and the one of the byte E9 show apart; the first,
  // edited, keeps its characters.
  ShowFiles({"caf\\xE9.jpg"});
  Answerer ans;
  ans.Edit([](QLineEdit* e) {
    e->setFocus();
    QTest::keyClick(e, Qt::Key_Home);
    QTest::keyClick(e, Qt::Key_Delete);
    QTest::keyClicks(e, "K");
  });
  MainCommand(mw, "renm");
  ASSERT_EQ(ans.fields.size(), 1u);
  EXPECT_EQ(ans.fields[0], "caf\\\\xE9.jpg");
  EXPECT_EQ(Shown(), std::vector<std::string>{"Kaf\\xE9.jpg"});
  EXPECT_TRUE(ctxtest::Exists(In("Kaf\\xE9.jpg")));
}

// Titles given to records of a folder live in the shadow catalogue under the files' names: a
// rename, of one file or of a series, carries them to the new names and leaves none behind.
TEST_F(RecordFiles, ShadowEntriesFollowTheirFilesRenamed) {
  ASSERT_TRUE(bc->ShadowDB(Path("shadow.qdb").c_str()));
  // The title found for the k-th file shown under the given name.
  auto titled = [&](const std::string& name, long k = 0) {
    DBRecord r = ctxtest::Photo(name.c_str(), 100 + k, 500 + k, "Quay", folder.c_str());
    bc->Reconcile(&r);
    const char* t = PDBgetString(r, PDBFtitle);
    return std::string(t ? t : "");
  };
  ShowFiles({"one.jpg", "two.jpg"});
  ASSERT_TRUE(b->NewChange("Set"));
  for (int i : {0, 1}) PDBsetString(b->ChangeRecord(i), PDBFtitle, "Harbour");
  b->CompleteChange();
  ASSERT_EQ(titled("one.jpg"), "Harbour");
  bc->SelectNone();
  bc->Select(0, true);
  Answerer ans;
  ans.Type("first.jpg");
  renameFiles();
  EXPECT_EQ(titled("first.jpg"), "Harbour");
  EXPECT_EQ(titled("one.jpg"), "");
  bc->SelectAll();
  ans.Type("s");
  renameFiles();
  EXPECT_EQ(titled("s001.jpg"), "Harbour");
  EXPECT_EQ(titled("s002.jpg", 1), "Harbour");
  EXPECT_EQ(titled("first.jpg"), "");
  EXPECT_EQ(titled("two.jpg", 1), "");
  bc->ShadowDB(nullptr);
}

TEST_F(RecordFiles, DeleteAsksOnceJustCutKeepsFilesAndRefusalsKeepRecords) {
  // One read-only file: asked once, deleted.
  ShowFiles({"ro.jpg"});
  chmod(In("ro.jpg").c_str(), 0444);
  Answerer ans;
  ans.Press(kResponseOK);
  EXPECT_EQ(MainCommand(mw, "dele"), noErr);
  EXPECT_EQ(ans.prompts, std::vector<std::string>{"Permanently delete the read-only image file?"});
  EXPECT_FALSE(ctxtest::Exists(In("ro.jpg")));
  EXPECT_EQ(bc->rdisp.GetSize(), 0);

  // "Just Cut" leaves the files.
  ShowFiles({"c1.jpg", "c2.jpg"});
  ans.prompts.clear();
  ans.Press(kResponseCustom);
  clipRecords(FourCC("dele"));
  EXPECT_TRUE(ans.Saw("Permanently delete these 2 image files?"));
  EXPECT_EQ(bc->rdisp.GetSize(), 0);
  EXPECT_EQ(ctxtest::ReadFile(In("c1.jpg")), "data of c1.jpg");

  // Only records whose files went leave; the others stay selected.
  ShowFiles({"gone.jpg", "dir.jpg", "keep.jpg", "del.jpg"});
  unlink(In("gone.jpg").c_str());
  unlink(In("dir.jpg").c_str());
  mkdir(In("dir.jpg").c_str(), 0755);
  ctxtest::WriteFile(In("dir.jpg/inside"), "x");  // the file system refuses this one
  chmod(In("keep.jpg").c_str(), 0444);
  ans.prompts.clear();
  ans.Press(kResponseOK);
  ans.Press(kResponseCancel);  // not the read-only one
  MainCommand(mw, "dele");
  EXPECT_TRUE(ans.Saw("Delete read-only file '" + In("keep.jpg") + "'?"));
  EXPECT_STREQ(dmessage_record[DMCwarning], ("Cannot delete '" + In("dir.jpg") + "'").c_str());
  EXPECT_EQ(ans.alerts,
            std::vector<std::string>{"Cannot delete '" + In("dir.jpg") + "': " + strerror(EISDIR)});
  EXPECT_FALSE(ctxtest::Exists(In("del.jpg")));
  EXPECT_TRUE(ctxtest::Exists(In("keep.jpg")));
  EXPECT_EQ(Shown(), (std::vector<std::string>{"dir.jpg", "keep.jpg"}));
  EXPECT_EQ(bc->TotalSelected(), 2);
}

// The catalogue's record of a file name as a reader opening the catalogue now finds it: its
// subject and its folders, "" when there is none.
std::string RecordOnDisk(const std::string& db, const char* file) {
  PContext reader;
  std::string out;
  if (!reader.OpenDB(db.c_str(), true)) return "cannot open";
  const int n = reader.pdb.TotalRecords();
  for (int i = 0; i < n; ++i) {
    DBRecord r;
    if (reader.pdb.GetRecords(&r, 1, i) != 1) break;
    if (strcmp(PDBgetString(r, PDBFfile), file) != 0) continue;
    const char* subject = PDBgetString(r, PDBFsubject);
    out += subject != nullptr ? subject : "(none)";
    const DBField& locs = PDBgetField(r, PDBFlocation);
    for (int k = 0; k < locs.GetNV(); ++k) out += std::string(" in ") + locs.GetString(k);
  }
  reader.CloseDB();
  return out;
}

// A picture copied into a second folder and added is merged into its catalogued record (the
// record now names both folders), and the status says so. Delete Files on the copy deletes that
// file alone: the record stays, subject and all, pointing to the folder where the picture still
// is, on disk too; the display of catalogue records the add left shows it so. From a folder
// display, a copy's record leaves the display but not the catalogue, while a record whose only
// file goes leaves with it, the status telling both. The picture that stays keeps its thumbnail
// in the cache.
TEST_F(RecordFiles, DeletingAMergedCopyKeepsTheRecordOfThePictureThatStays) {
  struct CacheClosed {
    ~CacheClosed() {
      PthumbManager().SetCacheDirectory(nullptr);
      SetManualPlatformClock(false);
    }
  } closed;
  // The clock stands still: no idle work makes thumbnails behind the test's back.
  SetManualPlatformClock(true);
  const std::string db = Path("day.qdb"), copies = Path("copies"), thumbs = Path("thumbs");
  mkdir(thumbs.c_str(), 0700);
  ASSERT_TRUE(PthumbManager().SetCacheDirectory(thumbs.c_str()));
  ASSERT_TRUE(mw->OpenCatalog(db.c_str()));
  mkdir(copies.c_str(), 0755);
  // The files of folder at shown as a load shows them, with their real lengths and hashes.
  auto show = [this](const std::string& at, const std::vector<std::string>& names,
                     const char* subject) {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    for (const std::string& n : names) {
      long hash = 0, len = 0;
      ASSERT_TRUE(PhashFile(&hash, &len, (at + "/" + n).c_str()));
      ctxtest::Show(bc, ctxtest::Photo(n.c_str(), len, hash, subject, at.c_str()));
    }
    snprintf(bc->rsrc, sizeof bc->rsrc, "%s", at.c_str());
    mw->LoadedRecords(static_cast<int>(names.size()));
    mw->SortRecords(FourCC("sfil"), 0);
  };
  auto select = [this](const std::vector<std::string>& names) {
    bc->SelectNone();
    const std::vector<std::string> shown = Shown();
    for (size_t i = 0; i < shown.size(); ++i)
      for (const std::string& n : names)
        if (shown[i] == n) bc->Select(static_cast<int>(i), true);
  };
  const unsigned char black[8 * 8 * 3] = {};
  WriteRgbJpeg(In("a.jpg"), 8, 8, black, 90);
  const std::string a = ctxtest::ReadFile(In("a.jpg"));
  ctxtest::WriteFile(copies + "/a.jpg", a);
  for (const char* n : {"b.jpg", "c.jpg"}) {
    ctxtest::WriteFile(In(n), std::string("picture ") + n);
    ctxtest::WriteFile(copies + "/" + n, std::string("picture ") + n);
  }
  ctxtest::WriteFile(copies + "/d.jpg", "picture d.jpg");
  show(folder, {"a.jpg", "b.jpg", "c.jpg"}, "Quay");
  _ImgStruct thumb{};
  thumb.xres = thumb.yres = 80;
  thumb.csp = &ICS_sRGB;
  ASSERT_TRUE(PthumbManager().GetThumbnail(&thumb, bc->rdisp.Get(0)));
  PfreeImage(&thumb);
  ASSERT_EQ(mw->AddRecords(), 3);
  EXPECT_EQ(Status(), "Added 3 records");
  show(copies, {"a.jpg", "b.jpg"}, nullptr);
  ASSERT_EQ(mw->AddRecords(), 2);
  EXPECT_EQ(Status(), "Merged 2 records");
  EXPECT_EQ(bc->pdb.TotalRecords(), 3);
  EXPECT_STREQ(bc->rsrc, "*DB");

  Answerer ans;
  ans.Press(kResponseOK);
  select({"a.jpg"});
  MainCommand(mw, "dele");
  EXPECT_FALSE(ctxtest::Exists(copies + "/a.jpg"));
  EXPECT_EQ(ctxtest::ReadFile(In("a.jpg")), a);
  EXPECT_EQ(Status(), "Deleted 1 file, kept its record");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(0), PDBFlocation), folder);
  EXPECT_EQ(bc->TotalSelected(), 0);
  EXPECT_FALSE(bc->Unsynced());
  EXPECT_EQ(RecordOnDisk(db, "a.jpg"), "Quay in " + folder);
  EXPECT_EQ(RecordOnDisk(db, "b.jpg"), "Quay in " + copies + " in " + folder);
  EXPECT_TRUE(PthumbManager().FindThumbnail(nullptr, bc->rdisp.Get(0)));

  show(copies, {"b.jpg", "d.jpg"}, nullptr);
  select({"b.jpg", "d.jpg"});
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  EXPECT_FALSE(ctxtest::Exists(copies + "/b.jpg"));
  EXPECT_FALSE(ctxtest::Exists(copies + "/d.jpg"));
  EXPECT_TRUE(ctxtest::Exists(In("b.jpg")));
  EXPECT_EQ(Status(), "Deleted 2 files, kept 1 record");
  EXPECT_EQ(bc->rdisp.GetSize(), 0);
  EXPECT_EQ(RecordOnDisk(db, "b.jpg"), "Quay in " + folder);
  EXPECT_EQ(RecordOnDisk(db, "c.jpg"), "Quay in " + folder);
  EXPECT_EQ(bc->pdb.TotalRecords(), 3);
}

// On a read-only folder nothing can be deleted: the user is told why at once, with the count
// and the first file, instead of being asked. A rename there names the reason too.
TEST_F(RecordFiles, DeleteFilesOnAReadOnlyFolderSaysWhyInsteadOfAsking) {
  ShowFiles({"a.jpg", "b.jpg", "c.jpg"});
  ReadOnlyFolder ro(folder);
  if (!ro.Made()) GTEST_SKIP() << "no way to make a read-only folder here";
  Answerer ans;  // a question would be cancelled
  MainCommand(mw, "dele");
  EXPECT_EQ(ans.prompts, std::vector<std::string>{"Cannot delete 3 files, the first '" +
                                                  In("a.jpg") + "': " + ro.Reason()});
  EXPECT_EQ(Status(), "No records changed");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
  EXPECT_EQ(bc->TotalSelected(), 3);

  bc->SelectNone();
  bc->Select(1, true);
  ans.prompts.clear();
  MainCommand(mw, "dele");
  EXPECT_EQ(ans.prompts,
            std::vector<std::string>{"Cannot delete '" + In("b.jpg") + "': " + ro.Reason()});
  ans.prompts.clear();
  ans.Type("d.jpg");
  MainCommand(mw, "renm");
  EXPECT_EQ(ans.alerts.back(), "Cannot rename '" + In("b.jpg") + "': " + ro.Reason());
  ro.Undo();
  for (const char* f : {"a.jpg", "b.jpg", "c.jpg"}) EXPECT_TRUE(ctxtest::Exists(In(f))) << f;
  EXPECT_FALSE(ctxtest::Exists(In("d.jpg")));
}

// The records a reader opening the catalogue now finds (-1 when it cannot), adding to missing
// those whose files are not there (in every folder a record lists) and to prefixed those whose
// names begin with prefix.
std::string watched;  // the catalogue looked at while the files change
std::string countAt;  // the message at which it is counted
const std::string prefix = "r";
int countedThen = -1, missing = 0, prefixed = 0, prefixedThen = -1;
int OnDisk(const std::string& path) {
  int (*alert)(const char*) = dmessage_alert;
  dmessage_alert = nullptr;
  PContext reader;
  int n = -1;
  if (reader.OpenDB(path.c_str(), true)) {
    n = reader.pdb.TotalRecords();
    for (int i = 0; i < n; ++i) {
      DBRecord r;
      if (reader.pdb.GetRecords(&r, 1, i) != 1) break;
      const DBField& locs = PDBgetField(r, PDBFlocation);
      const std::string file = PDBgetString(r, PDBFfile) ? PDBgetString(r, PDBFfile) : "";
      bool there = locs.GetNV() > 0;
      for (int k = 0; k < locs.GetNV(); ++k)
        there = there && ctxtest::Exists(std::string(locs.GetString(k)) + "/" + file);
      missing += !there;
      prefixed += file.rfind(prefix, 0) == 0;
    }
  }
  reader.CloseDB();
  dmessage_alert = alert;
  return n;
}

// At every file deleted or renamed, each record on disk must name a file that is there; at
// countAt, the records on disk are counted.
uint32_t Watch(unsigned, const char* text, const char*, int) {
  const std::string t = text;
  if (t.rfind("Deleted file", 0) == 0 || t.rfind("Renamed file to", 0) == 0) {
    prefixed = 0;
    const int n = OnDisk(watched);
    if (countAt == t) {
      countedThen = n;
      prefixedThen = prefixed;
    }
  }
  if (t == "Deleted file '" + watched.substr(0, watched.rfind('/')) + "/pics/f101.jpg'") {
    // A file taken for deletion that turns into a folder meanwhile stays, with its record.
    const std::string f102 = watched.substr(0, watched.rfind('/')) + "/pics/f102.jpg";
    unlink(f102.c_str());
    mkdir(f102.c_str(), 0755);
    ctxtest::WriteFile(f102 + "/inside", "x");
  }
  return DMAlog | DMAstderr | DMAalert;
}

// Many files go a batch at a time, each batch's records off the catalogue on disk before its
// files go; the records whose files stay keep their places and their selection.
TEST_F(RecordFiles, ManyFilesGoInBatchesWhoseRecordsLeaveTheDiskFirst) {
  watched = Path("many.qdb");
  ASSERT_TRUE(mw->OpenCatalog(watched.c_str()));
  std::vector<std::string> names;
  for (int i = 0; i < 250; ++i) {
    char n[32];
    snprintf(n, sizeof n, "f%03d.jpg", i);
    names.push_back(n);
  }
  ShowFiles(names);
  ASSERT_EQ(mw->AddRecords(), 250);
  for (int i : {5, 150, 240}) {  // files the file system refuses to delete
    unlink(In(names[i]).c_str());
    mkdir(In(names[i]).c_str(), 0755);
    ctxtest::WriteFile(In(names[i] + "/inside"), "x");
  }
  bc->SelectAll();
  countAt = "Deleted file '" + In("f200.jpg") + "'";
  missing = 0;
  uint32_t (*prev)(unsigned, const char*, const char*, int) = dmessage_call;
  dmessage_call = Watch;
  Answerer ans;
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  dmessage_call = prev;
  // f200 went in the second batch (f101 to f201 but f150): its records had all left first.
  EXPECT_EQ(countedThen, 50);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(OnDisk(watched), 4);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"f005.jpg", "f102.jpg", "f150.jpg", "f240.jpg"}));
  EXPECT_EQ(bc->TotalSelected(), 4);
  EXPECT_EQ(Status(), "Deleted 246 records");
  EXPECT_FALSE(ctxtest::Exists(In("f249.jpg")));
}

// A series of many files is renamed a batch at a time: each file has both names until the
// records naming the new ones are on disk.
TEST_F(RecordFiles, ManyFilesRenamedAlwaysHaveTheNamesTheRecordsOnDiskGive) {
  watched = Path("many.qdb");
  ASSERT_TRUE(mw->OpenCatalog(watched.c_str()));
  std::vector<std::string> names;
  for (int i = 0; i < 250; ++i) names.push_back("f" + std::to_string(1000 + i) + ".jpg");
  ShowFiles(names);
  ASSERT_EQ(mw->AddRecords(), 250);
  bc->SelectAll();
  countAt = "Renamed file to '" + In("r150.jpg") + "'";
  missing = 0;
  uint32_t (*prev)(unsigned, const char*, const char*, int) = dmessage_call;
  dmessage_call = Watch;
  Answerer ans;
  ans.Type("r");
  MainCommand(mw, "renm");
  dmessage_call = prev;
  EXPECT_EQ(Status(), "Renamed 250 records");
  // r150 came in the second batch: the first one's records alone had the new names on disk.
  EXPECT_EQ(countedThen, 250);
  EXPECT_EQ(prefixedThen, 100);
  EXPECT_EQ(missing, 0);
  prefixed = 0;
  EXPECT_EQ(OnDisk(watched), 250);
  EXPECT_EQ(prefixed, 250);
  EXPECT_EQ(missing, 0);
  for (const std::string& n : names) EXPECT_FALSE(ctxtest::Exists(In(n))) << n;
  EXPECT_EQ(ctxtest::ReadFile(In("r250.jpg")), "data of f1249.jpg");
}

// A file the catalogue knows in two folders is renamed in both, in this order: the new names
// come beside the old ones, the record naming them reaches the disk, then the old names go. So
// at every name given the record on disk names a file there in both folders, and while the
// record is written both names are there.
TEST_F(RecordFiles, RenamingAFileRenamesItInEveryFolderOfItsRecord) {
  const std::string other = Path("other");
  mkdir(other.c_str(), 0755);
  ctxtest::WriteFile(In("one.jpg"), "same");
  ctxtest::WriteFile(other + "/one.jpg", "same");
  long hash = 0, len = 0;
  ASSERT_EQ(PhashFile(&hash, &len, In("one.jpg").c_str()), 1);
  watched = Path("two.qdb");
  dbtest::FaultFS disk(1, watched);
  bc->fileSystem = &disk;
  ASSERT_TRUE(mw->OpenCatalog(watched.c_str()));
  ASSERT_TRUE(mw->LoadingRecords(nullptr));
  DBRecord r = ctxtest::Photo("one.jpg", len, hash, "Quay", folder.c_str());
  const int lid = PDBid(r, PDBFlocation);
  DBField locs(r[lid]);
  locs |= DBField(other.c_str());
  r.SetField(lid, locs);
  ctxtest::Show(bc, r);
  snprintf(bc->rsrc, sizeof bc->rsrc, "%s", folder.c_str());
  mw->LoadedRecords(1);
  ASSERT_EQ(mw->AddRecords(), 1);
  ASSERT_TRUE(bc->SyncDB());
  bc->SelectAll();
  int given = 0, bothWhileWritten = -1;
  MessageLog log;
  log.then = [&](const std::string& t) {
    if (t.rfind("Renamed file to", 0) != 0) return;
    ++given;
    missing = 0;
    EXPECT_EQ(OnDisk(watched), 1);
    EXPECT_EQ(missing, 0) << t;
  };
  disk.hookPath = watched;
  disk.hookAt = disk.WritesTo(watched) + 1;
  disk.hook = [&] {
    bothWhileWritten = 0;
    for (const std::string& in : {folder, other})
      bothWhileWritten += ctxtest::Exists(in + "/one.jpg") && ctxtest::Exists(in + "/r.jpg");
  };
  Answerer ans;
  ans.Type("r.jpg");
  renameFiles();
  disk.hook = nullptr;
  EXPECT_EQ(given, 2);
  EXPECT_EQ(bothWhileWritten, 2);
  for (const std::string& in : {folder, other}) {
    EXPECT_EQ(ctxtest::ReadFile(in + "/r.jpg"), "same") << in;
    EXPECT_FALSE(ctxtest::Exists(in + "/one.jpg")) << in;
  }
  missing = prefixed = 0;
  EXPECT_EQ(OnDisk(watched), 1);
  EXPECT_EQ(prefixed, 1);
  EXPECT_EQ(missing, 0);
  mw->CloseCatalog();
  bc->fileSystem = nullptr;
}

// The catalogue of the files f1000.jpg ... shown, added and saved, all selected, on a disk that
// fills up at will.
class FullDiskFiles : public RecordFiles {
 protected:
  void SetUp() override {
    RecordFiles::SetUp();
    watched = Path("full.qdb");
    bc->fileSystem = &disk;
    ASSERT_TRUE(mw->OpenCatalog(watched.c_str()));
  }
  void TearDown() override {
    Fill(false);
    mw->CloseCatalog();
    bc->fileSystem = nullptr;
    RecordFiles::TearDown();
  }
  void Catalogue(int n) {
    for (int i = 0; i < n; ++i) names.push_back("f" + std::to_string(1000 + i) + ".jpg");
    ShowFiles(names);
    ASSERT_EQ(mw->AddRecords(), n);
    ASSERT_TRUE(bc->SyncDB());
    bc->SelectAll();
  }
  void Fill(bool full) { disk.fullFrom = full ? disk.Calls() + 1 : 0; }
  // The question Close Catalog asks, answered Go Back.
  std::string Asked(Answerer* ans) {
    ans->prompts.clear();
    mw->CloseCatalog();
    EXPECT_STREQ(bc->dbname, "full");
    return ans->prompts.empty() ? "" : ans->prompts[0];
  }
  static int Times(const std::string& text, const std::string& word) {
    int n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
  }
  // The alert of a sync the full disk refused, naming what it could not save.
  static std::string Refused(const std::string& unsaved) {
    // The system's words for the error, in the locale the program runs in.
    return "Cannot save the catalog 'full': the disk is full (" + std::string(strerror(ENOSPC)) +
           "). The changes since the last save (" + unsaved + ") are not saved.";
  }
  static int Told(const MessageLog& log, const std::string& start) {
    int n = 0;
    for (const auto& e : log.entries) n += e.second.rfind(start, 0) == 0;
    return n;
  }
  // Where in the log the first message beginning with start came (-1: none), the last when
  // last is set.
  static int At(const MessageLog& log, const std::string& start, bool last = false) {
    int at = -1;
    for (size_t i = 0; i < log.entries.size() && (last || at < 0); ++i)
      if (log.entries[i].second.rfind(start, 0) == 0) at = static_cast<int>(i);
    return at;
  }
  // Notes the window's title as the failure is told (its alert comes next).
  void TitleWhenTold(MessageLog* log) {
    log->then = [this, then = log->then](const std::string& t) {
      if (then) then(t);
      if (t.rfind("Cannot save the catalog", 0) == 0) titleTold = Title();
    };
  }
  // After room is made: a save, and what it says was written.
  void SavedOnceThereIsRoom(MessageLog* log, const std::string& what) {
    Fill(false);
    log->Clear();
    // The save's progress pumps the loop at each of its steps, as a slow disk makes it do.
    PsetWorkPace(0, 0);
    const bool saved = PsyncWhole();
    PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(log->Has(
        DMCinfo, "Saved catalog 'full': what could not be saved before is on disk (" + what + ")"))
        << log->All();
    EXPECT_EQ(Status(), "Saved catalog 'full'");
    EXPECT_EQ(Title(), "full");
  }
  std::string titleTold;
  dbtest::FaultFS disk{1, Path("full.qdb")};
  std::vector<std::string> names;
};

// A batch whose records cannot be saved is taken back whole: its records name the old names
// again, here and on disk, and its new names go, each only while it is still a second name of
// its file (another program may have removed the old name meanwhile, or put a file of its own
// in the new name's place); a file the system would not link was renamed at once and keeps its
// new name. The one alert tells the failure with what was taken back, after the renames told
// and with the title saying so; the question at close names the step taken back, and so does
// the save once there is room.
TEST_F(FullDiskFiles, ARenameWhoseRecordsCannotBeSavedIsTakenBack) {
  Catalogue(150);
  RefusedLinks() = [this](const std::string& p) {
    return p == In("f1003.jpg") || p == In("f1007.jpg") ? EPERM : 0;
  };
  MessageLog log;
  log.alerts = true;
  log.then = [this](const std::string& t) {
    if (t == "Renamed file to '" + In("r010.jpg") + "'") unlink(In("f1009.jpg").c_str());
    if (t == "Renamed file to '" + In("r011.jpg") + "'") {
      unlink(In("r011.jpg").c_str());
      ctxtest::WriteFile(In("r011.jpg"), "other");
    }
  };
  TitleWhenTold(&log);
  Fill(true);
  Answerer ans;
  ans.Type("r");
  MainCommand(mw, "renm");
  RefusedLinks() = nullptr;
  const std::string full = "Cannot save the catalog 'full': the disk is full";
  EXPECT_EQ(Told(log, full), 1) << log.All();
  // The records of the files renamed at once were stored in a step of their own; the one
  // whose old name another program removed keeps none.
  const std::string alert = Refused("Rename on 2 records, Rename on 98 records") +
                            " Rename on 98 records was taken back: the 97 files keep their old "
                            "names; the 50 files after it were not reached.";
  EXPECT_EQ(ans.alerts, std::vector<std::string>{alert}) << log.All();
  EXPECT_EQ(titleTold, "full (Not Saved)");
  EXPECT_LT(At(log, "Renamed file to", true), At(log, full));
  EXPECT_TRUE(log.Has(DMCdata, "Database update error in renameFiles"));
  EXPECT_TRUE(log.Has(DMCwarning, "Cannot remove the new name '" + In("r010.jpg") +
                                      "': it is no longer a second name of '" + In("f1009.jpg") +
                                      "'"))
      << log.All();
  std::vector<std::string> shown = names;
  shown[3] = "r004.jpg";
  shown[7] = "r008.jpg";
  EXPECT_EQ(Shown(), shown);
  for (int i = 0; i < 150; ++i) {
    char r[16];
    snprintf(r, sizeof r, "r%03d.jpg", i + 1);
    const bool now = i == 3 || i == 7 || i == 9;  // renamed at once, or left with its new name
    EXPECT_EQ(ctxtest::Exists(In(names[i])), !now) << names[i];
    EXPECT_EQ(ctxtest::Exists(In(r)), now || i == 10) << r;
    if (now) {
      EXPECT_EQ(ctxtest::ReadFile(In(r)), "data of " + names[i]);
    }
  }
  EXPECT_EQ(ctxtest::ReadFile(In("r011.jpg")), "other");
  // On disk, the records of the files renamed at once name their old names until a save, and
  // the one whose file another program renamed names what it left.
  missing = 0;
  EXPECT_EQ(OnDisk(watched), 150);
  EXPECT_EQ(missing, 3);
  const std::string asked = Asked(&ans);
  EXPECT_EQ(asked.rfind(full, 0), 0u) << asked;
  EXPECT_NE(asked.find("(Rename on 2 records, Rename on 98 records taken back) are not saved"),
            std::string::npos)
      << asked;
  EXPECT_EQ(Times(asked, "Undo"), 0) << asked;
  SavedOnceThereIsRoom(&log, "Rename on 2 records, Rename on 98 records taken back");
  missing = prefixed = 0;
  EXPECT_EQ(OnDisk(watched), 150);
  EXPECT_EQ(missing, 1);
  EXPECT_EQ(prefixed, 2);
}

// A batch of deletions whose records cannot leave the catalogue on disk is taken back: no file
// goes, the records are shown again where they were, selected. The one alert says so, the title
// saying the catalogue is not saved; the question at close names the step taken back, and so
// does the save once there is room.
TEST_F(FullDiskFiles, ADeletionWhoseRecordsCannotBeSavedIsTakenBack) {
  Catalogue(120);
  MessageLog log;
  log.alerts = true;
  TitleWhenTold(&log);
  Fill(true);
  Answerer ans;
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  const std::string alert = Refused("Delete on 100 records") +
                            " Delete on 100 records was taken back: the 100 files were not "
                            "deleted; the 20 files after it were not reached.";
  EXPECT_EQ(ans.alerts, std::vector<std::string>{alert}) << log.All();
  EXPECT_EQ(titleTold, "full (Not Saved)");
  for (const std::string& n : names) EXPECT_TRUE(ctxtest::Exists(In(n))) << n;
  EXPECT_EQ(Shown(), names);
  EXPECT_EQ(bc->TotalSelected(), 120);
  EXPECT_EQ(Status(), "No records changed");
  EXPECT_FALSE(EditEnabled(2));  // no redo of the step taken back
  const std::string asked = Asked(&ans);
  EXPECT_NE(asked.find("(Delete on 100 records taken back) are not saved"), std::string::npos)
      << asked;
  EXPECT_EQ(Times(asked, "Undo"), 0) << asked;
  SavedOnceThereIsRoom(&log, "Delete on 100 records taken back");
  missing = 0;
  EXPECT_EQ(OnDisk(watched), 120);
  EXPECT_EQ(missing, 0);
}

// A deletion of a merged copy whose step cannot be saved is taken back whole, with a record
// whose only file was to go: the records keep their folders, here and on disk, and every file
// stays. The step taken back counts both records, the kept one stored in it too: the save once
// there is room says so. A deletion saved whose file then cannot go is taken back whole too.
TEST_F(FullDiskFiles, AMergedCopysDeletionThatCannotBeSavedOrDoneIsTakenBackWhole) {
  const std::string copies = Path("copies");
  mkdir(copies.c_str(), 0755);
  ctxtest::WriteFile(copies + "/a.jpg", "picture a");
  ctxtest::WriteFile(In("a.jpg"), "picture a");
  ctxtest::WriteFile(In("b.jpg"), "picture b");
  for (const std::string& at : {copies, folder}) {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    const std::vector<std::string> files = at == folder ? std::vector<std::string>{"a.jpg", "b.jpg"}
                                                        : std::vector<std::string>{"a.jpg"};
    for (const std::string& f : files) {
      long hash = 0, len = 0;
      ASSERT_TRUE(PhashFile(&hash, &len, (at + "/" + f).c_str()));
      ctxtest::Show(bc, ctxtest::Photo(f.c_str(), len, hash, "Quay", at.c_str()));
    }
    snprintf(bc->rsrc, sizeof bc->rsrc, "%s", at.c_str());
    mw->LoadedRecords(static_cast<int>(files.size()));
    ASSERT_EQ(mw->AddRecords(), static_cast<int>(files.size()));
  }
  ASSERT_TRUE(bc->SyncDB());
  const std::string a = RecordOnDisk(watched, "a.jpg");
  EXPECT_EQ(a, "Quay in " + folder + " in " + copies);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  MessageLog log;
  log.alerts = true;
  bc->SelectAll();
  Fill(true);
  Answerer ans;
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  EXPECT_EQ(ans.alerts, std::vector<std::string>{Refused("Delete on 2 records") +
                                                 " Delete on 2 records was taken back: the 2 "
                                                 "files were not deleted."})
      << log.All();
  for (const std::string& f : {copies + "/a.jpg", In("a.jpg"), In("b.jpg")})
    EXPECT_TRUE(ctxtest::Exists(f)) << f;
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_EQ(PDBgetField(bc->rdisp.Get(0), PDBFlocation).GetNV(), 2);
  SavedOnceThereIsRoom(&log, "Delete on 2 records taken back");
  EXPECT_EQ(RecordOnDisk(watched, "a.jpg"), a);
  EXPECT_EQ(RecordOnDisk(watched, "b.jpg"), "Quay in " + folder);

  // Saved, but its file turned into a folder by another program meanwhile, the copy's deletion
  // is taken back as well: its record as it was, without the one kept for the copy beside it.
  bc->SelectNone();
  bc->Select(0, true);
  disk.hookPath = watched;
  disk.hookAt = disk.WritesTo(watched) + 1;
  disk.hook = [this] {
    unlink(In("a.jpg").c_str());
    mkdir(In("a.jpg").c_str(), 0755);
  };
  ans.alerts.clear();
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  disk.hook = nullptr;
  EXPECT_EQ(ans.alerts,
            std::vector<std::string>{"Cannot delete '" + In("a.jpg") + "': " + strerror(EISDIR)});
  EXPECT_TRUE(ctxtest::Exists(copies + "/a.jpg"));
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_EQ(RecordOnDisk(watched, "a.jpg"), a);
}

// A batch that cannot be saved after batches that were is told in one alert with what the
// batches saved before it changed on disk, which stays so (their files have their new names, or
// are gone), and with the files after it, never reached. The journal's own report goes to the
// log only.
TEST_F(FullDiskFiles, ALaterBatchTakenBackTellsWhatTheSavedOnesChanged) {
  Catalogue(250);
  MessageLog log;
  log.alerts = true;
  int deleted = 0;
  log.then = [&](const std::string& t) {
    if (t == "Renamed file to '" + In("r101.jpg") + "'") Fill(true);
    if (t.rfind("Deleted file '", 0) == 0 && ++deleted == 100) Fill(true);
  };
  Answerer ans;
  ans.Type("r");
  MainCommand(mw, "renm");
  EXPECT_EQ(ans.alerts,
            std::vector<std::string>{
                Refused("Rename on 100 records") +
                " Rename on 100 records was taken back: the 100 files keep their old "
                "names; 100 files were renamed in the batches saved before it; the 50 files "
                "after it were not reached."})
      << log.All();
  EXPECT_EQ(Told(log, "Cannot write the journal of"), 1) << log.All();
  for (int i = 0; i < 250; ++i) {
    char r[16];
    snprintf(r, sizeof r, "r%03d.jpg", i + 1);
    EXPECT_EQ(ctxtest::Exists(In(r)), i < 100) << r;
    EXPECT_EQ(ctxtest::Exists(In(names[i])), i >= 100) << names[i];
  }
  Fill(false);
  ASSERT_TRUE(PsyncWhole());

  bc->SelectAll();
  ans.alerts.clear();
  ans.Press(kResponseOK);
  MainCommand(mw, "dele");
  EXPECT_EQ(
      ans.alerts,
      std::vector<std::string>{Refused("Delete on 100 records") +
                               " Delete on 100 records was taken back: the 100 files were not "
                               "deleted; 100 files were deleted in the batches saved before it; "
                               "the 50 files after it were not reached."})
      << log.All();
  EXPECT_EQ(bc->rdisp.GetSize(), 150);
  int left = 0;
  for (const std::string& n : Shown()) left += ctxtest::Exists(In(n));
  EXPECT_EQ(left, 150);
  missing = 0;
  EXPECT_EQ(OnDisk(watched), 150);
  EXPECT_EQ(missing, 0);
}

// Where the system refuses a link (a file system without hard links, EPERM; another device,
// EXDEV) files are renamed at once. A change of letter case only is a new name like any other
// where names tell case apart (here): the file has both till its record is on disk, and a
// rename whose record cannot be saved leaves it with the old one, its alert counting the one
// record. (Where names ignore case, the link finds the file itself and it is renamed at once; a
// name is dropped only while the file has another entry.)
TEST_F(FullDiskFiles, RefusedLinksRenameAtOnceAndACaseChangeIsANewName) {
  Catalogue(3);
  RefusedLinks() = [](const std::string&) { return EPERM; };
  Answerer ans;
  ans.Type("s");
  MessageLog log;
  MainCommand(mw, "renm");
  EXPECT_EQ(Status(), "Renamed 3 records");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(ctxtest::Exists(In(names[i])));
    EXPECT_EQ(ctxtest::ReadFile(In("s00" + std::to_string(i + 1) + ".jpg")), "data of " + names[i]);
  }
  RefusedLinks() = [](const std::string&) { return EXDEV; };
  bc->SelectNone();
  bc->Select(0, true);
  ans.Type("a.jpg");
  MainCommand(mw, "renm");
  RefusedLinks() = nullptr;
  EXPECT_EQ(ctxtest::ReadFile(In("a.jpg")), "data of " + names[0]);
  EXPECT_EQ(log.CountClass(DMCsystem), 0) << log.All();
  missing = prefixed = 0;
  EXPECT_EQ(OnDisk(watched), 3);
  EXPECT_EQ(missing, 0);

  int both = -1;
  disk.hookPath = watched;
  disk.hookAt = disk.WritesTo(watched) + 1;
  disk.hook = [&] { both = ctxtest::Exists(In("a.jpg")) && ctxtest::Exists(In("A.jpg")); };
  ans.Type("A.jpg");
  MainCommand(mw, "renm");
  disk.hook = nullptr;
  EXPECT_EQ(both, 1);
  EXPECT_FALSE(ctxtest::Exists(In("a.jpg")));
  EXPECT_EQ(ctxtest::ReadFile(In("A.jpg")), "data of " + names[0]);

  Fill(true);
  ans.Type("a.jpg");
  log.Clear();
  log.alerts = true;
  MainCommand(mw, "renm");
  EXPECT_EQ(ans.alerts, std::vector<std::string>{Refused("Rename on 1 record") +
                                                 " Rename on 1 record was taken back: the file "
                                                 "keeps its old name."})
      << log.All();
  EXPECT_FALSE(ctxtest::Exists(In("a.jpg")));
  EXPECT_EQ(ctxtest::ReadFile(In("A.jpg")), "data of " + names[0]);
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), std::string("A.jpg"));
  missing = 0;
  EXPECT_EQ(OnDisk(watched), 3);
  EXPECT_EQ(missing, 0);
}

TEST_F(RecordFiles, CopiedTextReadsBackAndRecordsTurn) {
  ShowFiles({"a.jpg", "b.jpg", "c.jpg"}, false);
  PDBsetString(&bc->rdisp[0], PDBFtitle, "Tab\tless");  // the table cleans what it cannot hold
  bc->Select(2, false);
  EXPECT_EQ(MainCommand(mw, "copy"), noErr);
  EXPECT_EQ(Status(), "Copied 2 records");
  std::string text;
  ASSERT_TRUE(ClipboardGetText(&text));
  std::istringstream is(text);
  char sep = '\t';
  DBRecordList back(bc->rdisp.GetFieldInfo());
  ASSERT_EQ(back.Read(&is, &sep), 2);
  EXPECT_EQ(PDBgetString(back.Get(1), PDBFfile), std::string("b.jpg"));
  EXPECT_TRUE(back.Get(1) == bc->rdisp.Get(1));

  DBRecord r = ctxtest::Photo("t.jpg", 1, 2);
  PDBsetInt(&r, PDBFflip, 1);
  ASSERT_TRUE(reorientRecord(&r, FourCC("cw90")));
  ASSERT_TRUE(reorientRecord(&r, FourCC("cw90")));
  long rot = 0, flip = 0;
  PDBgetInt(r, PDBForient, &rot);
  PDBgetInt(r, PDBFflip, &flip);
  EXPECT_EQ(rot, 180);
  EXPECT_EQ(flip, 1);
  DBRecord s = ctxtest::Photo("s.jpg", 1, 2);
  reorientRecord(&s, FourCC("flhz"));
  reorientRecord(&s, FourCC("flvt"));
  PDBgetInt(s, PDBForient, &rot);
  PDBgetInt(s, PDBFflip, &flip);
  EXPECT_EQ(rot, 180);
  EXPECT_EQ(flip, 0);
  MessageLog log;
  EXPECT_FALSE(reorientRecord(&s, FourCC("spin")));
  EXPECT_TRUE(log.Has(DMCparameter, "Unrecognized command in reorientRecord"));

  // Turning catalogued records is one undoable step.
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFiles({"a.jpg", "b.jpg"}, false);
  ASSERT_EQ(mw->AddRecords(), 2);
  bc->SelectAll();
  EXPECT_EQ(MainCommand(mw, "cc90"), noErr);
  EXPECT_EQ(Status(), "Reoriented 2 records");
  EXPECT_EQ(EditItem(1), "Undo Reorient");
  PDBgetInt(bc->rdisp.Get(0), PDBForient, &rot);
  EXPECT_EQ(rot, -90);
}

}  // namespace

namespace {

// Writes bytes to a new file at path: as another user's process may, with system calls only.
bool PlantFile(const std::string& path, const std::string& bytes) {
  return testutil::Plant([&] {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    const bool ok =
        fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && ok;
  });
}

// The names in a folder with each one's bytes.
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    out[e.path().filename().string()] = ctxtest::ReadFile(e.path().string());
  return out;
}

// A record table another user left in a shared folder, whose rows name the user's own private
// file by a File that climbs out of the folder or is absolute: imported, those records stay as
// they came, Delete Files and Rename Files act on the table's true picture alone and say which
// records they left, and nothing in the user's home changes.
TEST_F(RecordFiles, ATablesFileThatIsAPathDeletesAndRenamesNothing) {
  const std::string shared = testutil::SharedFolder(Path(""));
  const std::string secret = home.path() + "/.bashrc";
  ctxtest::WriteFile(secret, "the user's own");
  std::string up;  // from the shared folder to the root
  for (char c : shared) up += c == '/' ? "../" : "";
  const std::string climbing = up + secret.substr(1), absolute = secret;
  DBRecordList table(&PDBFInfo);
  table.NewRecord() = ctxtest::Photo(climbing.c_str(), 14, 77, "Quay", shared.c_str());
  table.NewRecord() = ctxtest::Photo(absolute.c_str(), 14, 78, "Quay", "/");
  table.NewRecord() = ctxtest::Photo("ok.jpg", 6, 79, "Quay", shared.c_str());
  std::ostringstream text;
  table.Write(&text, '\t');
  ASSERT_TRUE(PlantFile(shared + "/ok.jpg", "theirs"));
  ASSERT_TRUE(PlantFile(shared + "/photos.txt", text.str()));
  const std::map<std::string, std::string> homeBefore = Contents(home.path());

  importRecords((shared + "/photos.txt").c_str());
  ASSERT_EQ(Shown(), (std::vector<std::string>{climbing, absolute, "ok.jpg"}));
  bc->SelectAll();
  Answerer ans;
  ans.Press(kResponseOK);
  dmessage_last_class = alertLastClass = DMCnerr;
  MainCommand(mw, "dele");
  EXPECT_EQ(ans.prompts, (std::vector<std::string>{
                             "Permanently delete the associated image file?",
                             "Delete Files left 2 records alone whose File is not a file name, "
                             "the first '" +
                                 climbing + "'"}));
  EXPECT_FALSE(ctxtest::Exists(shared + "/ok.jpg"));
  EXPECT_EQ(Shown(), (std::vector<std::string>{climbing, absolute}));
  EXPECT_EQ(bc->TotalSelected(), 2);
  for (int i = 0; i < 2; ++i)  // as the table had them
    EXPECT_EQ(PDBgetField(bc->rdisp.Get(i), PDBFhashval).GetInt(0), 77 + i);

  ans.prompts.clear();
  ans.Type("holiday.jpg");
  dmessage_last_class = alertLastClass = DMCnerr;
  renameFiles();
  bc->SelectNone();
  bc->Select(1, true);
  ans.Type("holiday.jpg");
  dmessage_last_class = alertLastClass = DMCnerr;
  renameFiles();
  EXPECT_EQ(ans.prompts,
            (std::vector<std::string>{
                "Rename Files left 2 records alone whose File is not a file name, "
                "the first '" +
                    climbing + "'",
                "Rename Files left record '" + absolute + "' alone: its File is not a file name"}));
  EXPECT_EQ(Shown(), (std::vector<std::string>{climbing, absolute}));
  EXPECT_EQ(Contents(home.path()), homeBefore);
}

// A folder the record knows by two names (a link to it beside its own name): the file renamed
// there once is found again under the other name with its new name already given, which is no
// refusal. The record keeps both names of the folder.
TEST_F(RecordFiles, ARenameInAFolderKnownByTwoNamesIsDoneOnce) {
  ctxtest::WriteFile(In("one.jpg"), "the picture");
  ASSERT_EQ(symlink(folder.c_str(), Path("alias").c_str()), 0);
  ASSERT_TRUE(mw->LoadingRecords(nullptr));
  DBRecord r(&PDBFInfo);
  recordFileInfo(&r, (Path("alias") + "/one.jpg").c_str());
  recordFileInfo(&r, In("one.jpg").c_str());
  ctxtest::Show(bc, r);
  snprintf(bc->rsrc, sizeof bc->rsrc, "%s", folder.c_str());
  mw->LoadedRecords(1);
  bc->SelectAll();
  Answerer ans;
  ans.Type("r.jpg");
  dmessage_last_class = alertLastClass = DMCnerr;
  renameFiles();
  EXPECT_TRUE(ans.alerts.empty()) << ans.alerts[0];
  EXPECT_EQ(ctxtest::ReadFile(In("r.jpg")), "the picture");
  EXPECT_FALSE(ctxtest::Exists(In("one.jpg")));
  EXPECT_EQ(Shown(), std::vector<std::string>{"r.jpg"});
  EXPECT_EQ(PDBgetField(bc->rdisp.Get(0), PDBFlocation).GetNV(), 2);
}

TEST_F(RecordFiles, OtherProgramGetsEveryPathAsAnArgumentAndUnshownQuestionsCancel) {
  // Names a command line would split or quote: each reaches the program whole.
  const std::string made = Path("made");
  mkdir(made.c_str(), 0755);
  folder = made;
  ShowFiles({"it's here.jpg", "a;b $(x).jpg", "plain.jpg"}, false);
  openImages(nullptr, "touch");
  const char* names[] = {"it's here.jpg", "a;b $(x).jpg", "plain.jpg"};
  testutil::WaitUntil([&] {
    for (const char* n : names)
      if (!ctxtest::Exists(In(n))) return false;
    return true;
  });
  for (const char* n : names) EXPECT_TRUE(ctxtest::Exists(In(n))) << n;

  // A record whose File climbs out of its folder reaches neither the program nor the clipboard.
  ctxtest::Show(bc, ctxtest::Photo("../outside.jpg", 1, 2, "Quay", folder.c_str()));
  bc->SelectAll();
  const std::string program = Path("args"), given = Path("given");
  ctxtest::WriteFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + given + ".new'\nmv '" +
                                  given + ".new' '" + given + "'\n");
  chmod(program.c_str(), 0755);
  Answerer ans;
  dmessage_last_class = alertLastClass = DMCnerr;
  openImages(nullptr, program.c_str());
  MainCommand(mw, "cpfn");
  std::string copied;
  ASSERT_TRUE(ClipboardGetText(&copied));
  EXPECT_EQ(copied.find("outside"), std::string::npos) << copied;
  EXPECT_EQ(Status(), "Copied 3 file names");
  EXPECT_EQ(ans.alerts, (std::vector<std::string>{
                            "Open With left record '../outside.jpg' alone: its File is not a "
                            "file name",
                            "Copy File Names left record '../outside.jpg' alone: its File is not "
                            "a file name"}));
  ASSERT_TRUE(testutil::WaitUntil([&] { return ctxtest::Exists(given); }));
  EXPECT_EQ(ctxtest::ReadFile(given),
            In(names[1]) + "\n" + In(names[0]) + "\n" + In(names[2]) + "\n");
  bc->rdisp.Resize(3);

  // A question that cannot be shown is a Cancel: nothing deleted.
  gInterfaceReady = 0;
  clipRecords(FourCC("dele"));
  gInterfaceReady = 1;
  EXPECT_TRUE(ctxtest::Exists(In("plain.jpg")));
  EXPECT_EQ(bc->rdisp.GetSize(), 3);
}

TEST_F(RecordFiles, AnOpenEditHoldsBackCataloguesAndLoads) {
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFiles({"x.jpg"});
  ASSERT_TRUE(b->NewChange("Set"));
  MessageLog log;
  EXPECT_FALSE(b->NewChange("Other"));
  EXPECT_FALSE(mw->OpenCatalog(Path("b.qdb").c_str()));
  mw->CloseCatalog();
  EXPECT_TRUE(bc->Ready());
  EXPECT_FALSE(mw->LoadingRecords(nullptr));
  clipRecords(FourCC("clea"));
  EXPECT_EQ(bc->rdisp.GetSize(), 1);
  EXPECT_EQ(log.CountClass(DMCwarning), 5);
  EXPECT_EQ(log.CountClass(DMCassert), 0);
  b->NoChange();
  dmessage_last_class = DMCnerr;  // the warnings were read here
  EXPECT_TRUE(mw->OpenCatalog(Path("b.qdb").c_str()));
}

}  // namespace
