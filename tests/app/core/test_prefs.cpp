// Preferences: the file a fresh account writes, sub-blocks kept across a restart, damaged
// files, the log's fallback and its refusals, a save killed half-way, and the dialog driven
// through its real widgets.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <csignal>
#include <fstream>
#include <random>
#include <sstream>

#include "app/prefs/pforms.h"
#include "app/prefs/pprefdialog.h"
#include "apptest.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "formats/stdformats.h"
#include "hdr/phdrimg.h"
#include "platform/pfolders.h"
#include "support/cache.h"
#include "testutil/fifo_watch.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/process_locale.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

int Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string Record(unsigned cls) {
  return dmessage_record[cls] ? dmessage_record[cls] : "";
}

// A fresh start of the preferences in a temporary home (each test is a new start-up).
class Prefs : public ::testing::Test {
 protected:
  TempHome home;
  std::string h = home.path();
  std::string file = h + "/config/lumerin/Lumerin";
  void SetUp() override {
    PresetPreferences();
    dmessage_alert = nullptr;
    // A log that falls back goes to the test's home, never to a file of the machine's /tmp.
    gLogFallbackFolder = h.c_str();
  }
  void TearDown() override {
    ForgetStartUp();
    gLogFallbackFolder = "/tmp";
  }
  // Quits and starts again.
  void Restart() {
    SavePreferences();
    PresetPreferences();
    InitPreferences();
  }
};

TEST_F(Prefs, AFreshAccountWritesSevenVariablesInOrder) {
  InitPreferences();
  EXPECT_STREQ(Record(DMCinfo).c_str(), "Initializing preferences");
  SavePreferences();
  EXPECT_EQ(ReadFile(file),
            "LumerinPreferences = {\n"
            "ShadowCatalog = " +
                PrefsPath(h + "/cache/lumerin/Lumerin.qdb") +
                "\n"
                "ErrorLog = " +
                PrefsPath(h + "/state/lumerin/Lumerin.txt") +
                "\n"
                "StartupOption = 1\n"
                "DisplayExposureFlags = 1\n"
                "MemoryCacheMegs = 32\n"
                "ThumbnailCacheMegs = 256\n"
                "ThumbnailCacheDirectory = " +
                PrefsPath(h + "/cache/lumerin/LumerinCache") +
                "\n"
                "}\t// LumerinPreferences\n");
  // Private folders and files.
  for (const char* p :
       {"/config/lumerin", "/state/lumerin", "/cache/lumerin", "/cache/lumerin/LumerinCache"})
    EXPECT_EQ(Mode(h + p), 0700) << p;
  EXPECT_EQ(Mode(file), 0600);
  EXPECT_EQ(Mode(h + "/state/lumerin/Lumerin.txt"), 0600);
  EXPECT_TRUE(PthumbManager().IsOpen());
  EXPECT_EQ(CacheObject::tab.memoryBudget, 32u << 20);
  Restart();
  EXPECT_STREQ(Record(DMCinfo).c_str(), ("Read preferences from '" + file + "'").c_str());
}

TEST_F(Prefs, MigrationsResponsesAndRecentPathsSurviveARestart) {
  InitPreferences();
  // 70 rules: the first 64 are kept.
  std::vector<std::pair<std::string, std::string>> rules;
  for (int i = 0; i < 70; i++) {
    rules.emplace_back("/Volumes/old disk " + std::to_string(i),
                       "/media/new\"" + std::to_string(i));
    if (PFMigrations == nullptr)
      PFMigrations = new PFileMigration(rules[i].first.c_str(), rules[i].second.c_str());
    else
      PFMigrations->AddMigration(rules[i].first.c_str(), rules[i].second.c_str());
  }
  gCamResponse.Init(&CDBFInfo, 0);
  for (int i = 0; i < 3; i++) {
    DBRecord& r = gCamResponse.NewRecord();
    r.SetField(CDBFmake, ("Maker|" + std::to_string(i)).c_str());
    r.SetField(CDBFmodel, "Model \"X\"");
    r.SetField(CDBFversion, "1.0");
    for (int f = CDBFred; f <= CDBFblue; f++) {
      const float c[4] = {0.1f * f, 1.0f / 3 + i, -2.5e-7f, 7.0f};
      r.SetField(f, c, 4);
    }
  }
  // Six recent catalogues of 1,023 bytes each.
  DBHeaderLink* recent = PprefLink()->FindVar("RecentCatalog");
  std::vector<std::string> paths;
  for (int i = 0; i < 6; i++) {
    paths.push_back("/" + std::string(1021, static_cast<char>('a' + i)) + std::to_string(i));
    ASSERT_EQ(recent->InsertSVal(paths.back().c_str(), -1), 1) << i;
  }
  std::ostringstream before;
  ASSERT_TRUE(PwritePreferences(&before));
  Restart();
  int n = 0;
  for (const PFileMigration* m = PFMigrations; m != nullptr; m = m->GetNext(), n++) {
    ASSERT_LT(n, 64);
    EXPECT_EQ(m->GetOldDir(), rules[n].first);
    EXPECT_EQ(m->GetNewDir(), rules[n].second);
  }
  EXPECT_EQ(n, 64);
  ASSERT_EQ(gCamResponse.GetSize(), 3);
  for (int i = 0; i < 3; i++) {
    const DBRecord& r = gCamResponse.Get(i);
    EXPECT_EQ(r.GetField(CDBFmake)->GetString(), "Maker|" + std::to_string(i));
    EXPECT_STREQ(r.GetField(CDBFmodel)->GetString(), "Model \"X\"");
    float c[6];
    ASSERT_EQ(r.GetField(CDBFgreen)->Get(c, 6), 4);
    EXPECT_EQ(c[1], 1.0f / 3 + i);
    EXPECT_EQ(c[2], -2.5e-7f);
  }
  recent = PprefLink()->FindVar("RecentCatalog");
  ASSERT_EQ(recent->NSet(), 6);
  for (int i = 0; i < 6; i++) EXPECT_EQ(recent->GetSVal(i), paths[i]);
  // What was read writes the same text again (the rules past 64 were never written).
  std::ostringstream after;
  ASSERT_TRUE(PwritePreferences(&after));
  const std::string text = before.str();
  EXPECT_TRUE(after.str() == text) << after.str();
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("\n\t{", at)) != std::string::npos; at++) lines++;
  EXPECT_EQ(lines, 64u);
}

class PrefsLocale : public Prefs, public testing::WithParamInterface<const char*> {};
INSTANTIATE_TEST_SUITE_P(Locales, PrefsLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

// Stored camera responses keep their decimals through a start and quit under a comma locale,
// and the file is written byte for byte as under C.
TEST_P(PrefsLocale, CameraResponsesKeepTheirDecimals) {
  InitPreferences();
  gCamResponse.Init(&CDBFInfo, 0);
  DBRecord& r = gCamResponse.NewRecord();
  r.SetField(CDBFmake, "Make");
  r.SetField(CDBFmodel, "Model");
  r.SetField(CDBFversion, "1.0");
  const float c[3] = {0.0123f, 0.5877f, 0.4f};
  for (int f = CDBFred; f <= CDBFblue; f++) r.SetField(f, c, 3);
  SavePreferences();
  const std::string underC = ReadFile(file);
  SET_PROCESS_LOCALE(locale, GetParam());
  PresetPreferences();
  InitPreferences();
  ASSERT_EQ(gCamResponse.GetSize(), 1);
  for (int f = CDBFred; f <= CDBFblue; f++) {
    float got[4] = {};
    ASSERT_EQ(gCamResponse.Get(0).GetField(f)->Get(got, 4), 3) << f;
    for (int i = 0; i < 3; i++) EXPECT_EQ(got[i], c[i]) << f << " " << i;
  }
  SavePreferences();
  EXPECT_EQ(ReadFile(file), underC);
}

// Both damaged sub-blocks: the "data" message, none of the file's values is used (not even
// those before the fault), start-up goes on, and the damaged file is kept aside.
TEST_F(Prefs, DamagedSubBlocksAreReportedAndKept) {
  const char* const cases[][2] = {
      {"MigrationPaths = {\n\t{\"/a\",\"/b\"}\n\t{\"/only one\"}\n} // MigrationPaths\n",
       "Bad migration path in preferences file"},
      {"CameraResponses = "
       "{\nMake|Model|Version|Red|Green|Blue\n\"C\"|\"M\"|\"1\"|{1.5,2.5}|{1.5,2.5}|{1.5,2.5}\n",
       "Missing '}' in preferences file"}};
  for (auto& c : cases) {
    PresetPreferences();
    MakePrivateFolder(h + "/config");
    MakePrivateFolder(h + "/config/lumerin");
    const std::string text = std::string("LumerinPreferences = {\nMemoryCacheMegs = 48\n") + c[0] +
                             "StartupOption = 3\n";
    WriteFile(file, text);
    dmessage_record[DMCdata] = nullptr;
    InitPreferences();
    EXPECT_EQ(Record(DMCdata), c[1]);
    EXPECT_EQ(memoryCacheMegs, 32);
    EXPECT_EQ(gStartupOption, 1);
    EXPECT_NE(dmessage_logfp, nullptr);
    EXPECT_TRUE(PthumbManager().IsOpen());
    SavePreferences();
    EXPECT_EQ(ReadFile(file + ".damaged"), text);
    EXPECT_NE(ReadFile(file).find("MemoryCacheMegs = 32\n"), std::string::npos);
    unlink((file + ".damaged").c_str());
  }
}

int damageAlerts = 0;
int CountDamageAlerts(const char* text) {
  if (strncmp(text, "The preferences file ", 21) == 0) damageAlerts++;
  return 1;
}

// A FIFO at the preferences' name is not waited on (no writer ever comes): the start goes on
// with the initial settings and the log says why; the file written at quit takes its place.
TEST_F(Prefs, AFifoAtThePreferencesNameIsNotWaitedOn) {
  InitPreferences();
  SavePreferences();
  PresetPreferences();
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  testutil::FifoWatch watch(file);
  InitPreferences();
  EXPECT_FALSE(watch.Waited());
  EXPECT_EQ(Record(DMCwarning),
            "Preferences file '" + file + "' not read: it is not a regular file");
  SavePreferences();
  struct stat st;
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Files damaged as disks and crashes damage them: cut short anywhere, a byte changed, NUL bytes,
// 50 MB appended. One that does not read whole sets none of its values, is kept as
// "Lumerin.damaged" byte for byte, is told once, and the file written at quit is the one a
// fresh start writes. A changed byte that still reads whole writes a file that reads whole.
TEST_F(Prefs, ADamagedFileAppliesNoneOfItsValues) {
  InitPreferences();
  SavePreferences();
  const std::string fresh = ReadFile(file);
  // A file with a value of every kind, none of them initial.
  memoryCacheMegs = 48;
  thumbCacheMegs = 100;
  gStartupOption = 3;
  PEMDefault = PEMlocal;
  PprefLink()->FindVar("RecentCatalog")->InsertSVal((h + "/photos.qdb").c_str(), 0);
  PprefLink()->FindVar("RecentCatalog")->InsertSVal((h + "/my pictures.qdb").c_str(), 1);
  PFMigrations = new PFileMigration("/Volumes/old", "/media/new");
  gCamResponse.Init(&CDBFInfo, 0);
  DBRecord& r = gCamResponse.NewRecord();
  r.SetField(CDBFmake, "Maker");
  for (int f = CDBFred; f <= CDBFblue; f++) {
    const float c[2] = {0.5f, 1.5f};
    r.SetField(f, c, 2);
  }
  SavePreferences();
  const std::string full = ReadFile(file);
  ASSERT_NE(full, fresh);

  dmessage_alert = CountDamageAlerts;
  // Starts on text; true when it was found damaged (and all that follows from it held).
  auto damaged = [&](const std::string& text) {
    PresetPreferences();
    WriteFile(file, text);
    unlink((file + ".damaged").c_str());
    damageAlerts = 0;
    InitPreferences();
    PreportDamagedPreferences();
    PreportDamagedPreferences();
    const bool kept = access((file + ".damaged").c_str(), F_OK) == 0;
    EXPECT_EQ(damageAlerts, kept ? 1 : 0);
    if (kept) {
      EXPECT_EQ(memoryCacheMegs, 32);
      EXPECT_EQ(gStartupOption, 1);
      EXPECT_EQ(PFMigrations, nullptr);
      EXPECT_EQ(gCamResponse.GetSize(), 0);
      EXPECT_EQ(PprefLink()->FindVar("RecentCatalog")->NSet(), 0);
      EXPECT_TRUE(ReadFile(file + ".damaged") == text);
    }
    SavePreferences();
    const std::string written = ReadFile(file);
    if (kept) {
      EXPECT_TRUE(written == fresh) << written;
    }
    std::string why;
    EXPECT_TRUE(PreadPreferencesText(written, &why)) << why << "\n" << written;
    return kept;
  };
  ASSERT_FALSE(damaged(full));
  EXPECT_TRUE(ReadFile(file) == full);
  // The byte-order mark an editor may put first is no damage.
  EXPECT_FALSE(damaged("\xEF\xBB\xBF" + full));
  EXPECT_EQ(memoryCacheMegs, 48);
  EXPECT_TRUE(ReadFile(file) == full);

  // Cut anywhere before the block's closing brace (the comment after it may go).
  const size_t closing = full.rfind('}');
  ASSERT_NE(closing, std::string::npos);
  for (size_t at = 0; at <= closing; at += at % 5 == 0 ? 1 : 7)
    EXPECT_TRUE(damaged(full.substr(0, at))) << "cut at " << at;
  // The shadow catalogue's path turned relative, as one flipped bit does.
  std::string flipped = full;
  const size_t slash = flipped.find("ShadowCatalog = /") + 16;
  flipped[slash] = 'u';
  EXPECT_TRUE(damaged(flipped));
  // Most flipped bits are found; a flip inside the home's path (as long as the TMPDIR it is
  // made in) mostly names another path, which reads whole, and is left out of the count.
  std::vector<bool> inHome(full.size(), false);
  for (size_t at = full.find(h); at != std::string::npos; at = full.find(h, at + 1))
    std::fill(inHome.begin() + static_cast<long>(at),
              inHome.begin() + static_cast<long>(at + h.size()), true);
  std::mt19937 random(50);
  int found = 0, tried = 0;
  for (size_t at = 0; at < full.size(); at += 3) {
    flipped = full;
    flipped[at] = static_cast<char>(flipped[at] ^ (1 << (random() % 8)));
    const bool seen = damaged(flipped);
    if (inHome[at]) continue;
    found += seen;
    tried++;
  }
  EXPECT_GT(found, tried / 2) << found << " of " << tried;
  for (int i = 0; i < 10; i++) {
    std::string nul = full;
    nul[random() % nul.size()] = '\0';
    EXPECT_TRUE(damaged(nul));
  }
  EXPECT_TRUE(damaged(full + std::string(50 << 20, 'x')));
}

// A run started while another writes the log appends to it; a run alone rewrites it.
TEST_F(Prefs, ASecondRunAppendsToTheLogTheFirstIsWriting) {
  InitPreferences();
  const std::string log = gErrLogFile;
  DMESSAGE(DMCinfo, "first run");
  const pid_t pid = fork();
  if (pid == 0) {
    dmessage_logfp = nullptr;  // the first run's stream stays the first run's
    PresetPreferences();
    InitPreferences();
    DMESSAGE(DMCinfo, "second run");
    fflush(dmessage_logfp);
    _exit(0);
  }
  int status = 1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(status, 0);
  DMESSAGE(DMCinfo, "first run again");
  fflush(dmessage_logfp);
  const std::string text = ReadFile(log);
  const size_t first = text.find("first run"), shared = text.find("is open in another run"),
               second = text.find("second run"), again = text.find("first run again");
  EXPECT_LT(first, shared) << text;
  EXPECT_LT(shared, second) << text;
  EXPECT_LT(second, again) << text;
  EXPECT_NE(again, std::string::npos) << text;
  PresetPreferences();
  InitPreferences();
  EXPECT_EQ(ReadFile(log).find("first run"), std::string::npos);
}

TEST_F(Prefs, TheLogFallsBackToTmpAndRefusesPlantedFiles) {
  const std::string fallback = h + "/tmp";
  ASSERT_EQ(mkdir(fallback.c_str(), 01777), 0);
  gLogFallbackFolder = fallback.c_str();
  WriteFile(h + "/plain", "");
  setenv("XDG_STATE_HOME", (h + "/plain/state").c_str(), 1);  // cannot be made
  InitPreferences();
  EXPECT_EQ(std::string(gErrLogFile), fallback + "/Lumerin.txt");
  ASSERT_NE(dmessage_logfp, nullptr);
  DMESSAGE(DMCwarning, "into the fallback");
  fflush(dmessage_logfp);
  EXPECT_NE(ReadFile(fallback + "/Lumerin.txt").find("into the fallback"), std::string::npos);
  EXPECT_EQ(Mode(fallback + "/Lumerin.txt"), 0600);

  // A link planted there, and a file of another user, are refused and left as they were.
  const std::string victim = h + "/victim";
  WriteFile(victim, "keep");
  unlink((fallback + "/Lumerin.txt").c_str());
  ASSERT_EQ(symlink(victim.c_str(), (fallback + "/Lumerin.txt").c_str()), 0);
  PresetPreferences();
  InitPreferences();
  EXPECT_EQ(dmessage_logfp, nullptr);
  EXPECT_EQ(gErrLogFile[0], '\0');
  EXPECT_EQ(ReadFile(victim), "keep");
  unlink((fallback + "/Lumerin.txt").c_str());
  WriteFile(fallback + "/Lumerin.txt", "theirs");
  if (testutil::GiveToOtherUser(fallback + "/Lumerin.txt")) {
    PresetPreferences();
    MessageLog log;
    InitPreferences();
    EXPECT_EQ(dmessage_logfp, nullptr);
    EXPECT_EQ(ReadFile(fallback + "/Lumerin.txt"), "theirs");
    EXPECT_NE(log.All().find("belongs to another user"), std::string::npos) << log.All();
  }
}

// The log's fallback serves only the run that could not have the log's own place: the
// preferences keep the place asked for (none, for the state folder's), so that a start after the
// folder is mended logs there again.
TEST_F(Prefs, TheLogsFallbackServesOneRunAndThePreferencesKeepThePlaceAskedFor) {
  const std::string fallback = h + "/tmp";
  ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
  gLogFallbackFolder = fallback.c_str();
  WriteFile(h + "/plain", "");
  setenv("XDG_STATE_HOME", (h + "/plain/state").c_str(), 1);  // cannot be made
  InitPreferences();
  EXPECT_EQ(std::string(gErrLogFile), fallback + "/Lumerin.txt");
  SavePreferences();
  EXPECT_EQ(ReadFile(file).find("ErrorLog"), std::string::npos) << ReadFile(file);
  setenv("XDG_STATE_HOME", (h + "/state").c_str(), 1);
  PresetPreferences();
  InitPreferences();
  EXPECT_EQ(std::string(gErrLogFile), h + "/state/lumerin/Lumerin.txt");

  // A place of the user's whose folder is missing.
  const std::string asked = h + "/logs/Lumerin.txt";
  PsetPreference("ErrorLog", gErrLogFile, asked.c_str());
  Restart();
  EXPECT_EQ(std::string(gErrLogFile), fallback + "/Lumerin.txt");
  Restart();
  EXPECT_NE(ReadFile(file).find("ErrorLog = " + PrefsPath(asked) + "\n"), std::string::npos)
      << ReadFile(file);
  ASSERT_EQ(mkdir((h + "/logs").c_str(), 0700), 0);
  Restart();
  EXPECT_EQ(std::string(gErrLogFile), asked);
}

TEST_F(Prefs, ASaveKilledHalfWayLeavesTheOldFile) {
  InitPreferences();
  for (int i = 0; i < 40; i++) {
    const std::string o = "/old disk " + std::to_string(i), n = "/new disk " + std::to_string(i);
    if (PFMigrations == nullptr)
      PFMigrations = new PFileMigration(o.c_str(), n.c_str());
    else
      PFMigrations->AddMigration(o.c_str(), n.c_str());
  }
  SavePreferences();
  const std::string old = ReadFile(file);
  ASSERT_GT(old.size(), 1000u);
  memoryCacheMegs = 99;
  const pid_t pid = fork();
  if (pid == 0) {
    // The child dies by SIGXFSZ in the middle of writing.
    dmessage_logfp = nullptr;
    signal(SIGXFSZ, SIG_DFL);
    rlimit limit{512, 512};
    setrlimit(RLIMIT_FSIZE, &limit);
    SavePreferences();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(ReadFile(file), old);
}

// The dialog, driven through its widgets.
class PrefDialog : public Prefs {
 protected:
  AppInterface app;
  void SetUp() override {
    Prefs::SetUp();
    ASSERT_EQ(app.status, 0);
    dmessage_alert = nullptr;
    InitPreferences();
  }
  QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(WidgetOf(gPrefWindow, "pref", id)); }
  void Type(int id, const char* text) {
    Edit(id)->clear();
    QTest::keyClicks(Edit(id), text);
  }
  void Click(int id) {
    QWidget* b = WidgetOf(gPrefWindow, "pref", id);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
  }
  // Runs the dialog: f acts on it, then button 1 (OK) or 2 (Cancel).
  void Run(std::function<void()> f, int button) {
    WhenShown(gPrefWindow, f, "bttn", button);
    ChangePreferences();
  }
};

TEST_F(PrefDialog, CancelAfterEditingEverythingChangesNothing) {
  const std::string shadow = gShadowCatalog, dir = thumbCacheDir, log = gErrLogFile;
  bool toggled = false;
  Run(
      [&] {
        EXPECT_EQ(Edit(143)->text().toStdString(), shadow);
        EXPECT_EQ(Edit(133)->text().toStdString(), "256");
        Type(143, (h + "/other.qdb").c_str());
        Type(132, (h + "/otherCache").c_str());
        Type(133, "7");
        Type(136, "9");
        Type(137, (h + "/other.txt").c_str());
        for (int id : {138, 139, 140}) Click(id);
        toggled = !qobject_cast<QCheckBox*>(WidgetOf(gPrefWindow, "pref", 138))->isChecked() &&
                  qobject_cast<QCheckBox*>(WidgetOf(gPrefWindow, "pref", 139))->isChecked();
        qobject_cast<QComboBox*>(WidgetOf(gPrefWindow, "pref", 144))->setCurrentIndex(2);
      },
      2);
  EXPECT_TRUE(toggled);  // each click toggled its box once
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_EQ(gShadowCatalog, shadow);
  EXPECT_EQ(thumbCacheDir, dir);
  EXPECT_EQ(gErrLogFile, log);
  EXPECT_EQ(thumbCacheMegs, 256);
  EXPECT_EQ(memoryCacheMegs, 32);
  EXPECT_EQ(PEMDefault, PEMauto);
  EXPECT_EQ(gStartupOption, 1);
  EXPECT_EQ(access((h + "/otherCache").c_str(), F_OK), -1);
  EXPECT_EQ(access((h + "/other.txt").c_str(), F_OK), -1);
}

// A refused entry keeps the dialog open with the user's other edits, its message given and the
// entry selected; the user mends it and the dialog takes everything.
TEST_F(PrefDialog, TypedSizesAreWholeOrRefusedWithTheDialogKept) {
  for (const char* bad : {"abc", "-1", "12MB", "99999999999", ""}) {
    bool stayed = false, selected = false;
    std::string kept;
    Run(
        [&] {
          Type(133, "64");
          Type(136, bad);
          Click(140);
          QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gPrefWindow, "bttn", 1)),
                            Qt::LeftButton);
          stayed = IsWindowVisible(gPrefWindow);
          selected = PlatformFrameWidget(gPrefWindow)->focusWidget() == Edit(136) &&
                     Edit(136)->selectedText() == Edit(136)->text();
          kept = Edit(133)->text().toStdString();
          EXPECT_NE(Record(DMCinput).find("memory cache size must be a whole number"),
                    std::string::npos)
              << bad;
          Type(136, "48");
        },
        1);
    EXPECT_TRUE(stayed) << bad;
    EXPECT_TRUE(selected) << bad;
    EXPECT_EQ(kept, "64") << bad;
    EXPECT_EQ(thumbCacheMegs, 64) << bad;
    EXPECT_EQ(memoryCacheMegs, 48) << bad;
    EXPECT_EQ(PEMDefault, PEMauto | PEMhuman) << bad;
    thumbCacheMegs = 256;
    memoryCacheMegs = 32;
    PEMDefault = PEMauto;
  }
  Run(
      [&] {
        Type(133, "0");
        Type(136, " 64 ");
        Click(140);
        qobject_cast<QComboBox*>(WidgetOf(gPrefWindow, "pref", 144))->setCurrentIndex(2);
      },
      1);
  EXPECT_EQ(thumbCacheMegs, 0);
  EXPECT_EQ(memoryCacheMegs, 64);
  EXPECT_EQ(CacheObject::tab.memoryBudget, 64u << 20);
  EXPECT_EQ(PEMDefault, PEMauto | PEMhuman);
  EXPECT_EQ(gStartupOption, 3);
  EXPECT_STREQ(Record(DMCinfo).c_str(), "Changed memory cache size to 64 Megabytes");
  Restart();
  EXPECT_EQ(thumbCacheMegs, 0);
  EXPECT_EQ(memoryCacheMegs, 64);
  EXPECT_EQ(gStartupOption, 3);
}

TEST_F(PrefDialog, AnEmptyCacheFolderTurnsTheCacheOff) {
  ASSERT_TRUE(PthumbManager().IsOpen());
  Run([&] { Edit(132)->clear(); }, 1);
  EXPECT_FALSE(PthumbManager().IsOpen());
  EXPECT_STREQ(Record(DMCinfo).c_str(), "Turned off thumbnail cache");
  Restart();
  EXPECT_EQ(thumbCacheDir[0], '\0');
  EXPECT_FALSE(PthumbManager().IsOpen());
  EXPECT_NE(ReadFile(file).find("ThumbnailCacheDirectory = \"\"\n"), std::string::npos);
  // A new folder is made, and a log file changes.
  Run(
      [&] {
        Type(132, (h + "/thumbs").c_str());
        Type(137, (h + "/new log.txt").c_str());
      },
      1);
  EXPECT_TRUE(PthumbManager().IsOpen());
  EXPECT_EQ(Mode(h + "/thumbs"), 0700);
  EXPECT_EQ(std::string(gErrLogFile), h + "/new log.txt");
  fflush(dmessage_logfp);
  EXPECT_NE(ReadFile(h + "/new log.txt").find("Changed log file from"), std::string::npos);
}

// Places typed in the dialog are checked as those read at start: a shadow catalogue, thumbnail
// cache or log in a folder open to all is refused, the message naming the folder and saying
// why; what was in use stays, and nothing is written there.
TEST_F(PrefDialog, PlacesInAFolderOpenToAllAreRefusedNamingTheFolder) {
  const std::string open = h + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  const std::string dir = thumbCacheDir, log = gErrLogFile;
  MessageLog said;
  Run(
      [&] {
        Type(143, (open + "/Lumerin.qdb").c_str());
        Type(132, (open + "/thumbs").c_str());
        Type(137, (open + "/Lumerin.txt").c_str());
      },
      1);
  const std::string why = ": Folder '" + open + "' can be written by everyone; refusing to use it";
  EXPECT_TRUE(said.Has(DMCinput, "Cannot use shadow catalog '" + open + "/Lumerin.qdb'" + why))
      << said.All();
  EXPECT_TRUE(said.Has(DMCinput, "Cannot use thumbnail cache directory '" + open +
                                     "/thumbs': Folder '" + open + "/thumbs' lies in '" + open +
                                     "', which can be written by everyone; refusing to use it"))
      << said.All();
  EXPECT_TRUE(said.Has(DMCinput, "Cannot open log file '" + open + "/Lumerin.txt'" + why))
      << said.All();
  EXPECT_FALSE(gMain->bc.ShadowReady());
  EXPECT_EQ(thumbCacheDir, dir);
  EXPECT_TRUE(PthumbManager().IsOpen());
  EXPECT_EQ(gErrLogFile, log);
  ASSERT_NE(dmessage_logfp, nullptr);
  EXPECT_TRUE(QDir(QString::fromStdString(open)).isEmpty());
}

TEST_F(PrefDialog, SizeZeroKeepsTheCacheAndTheButtonClearsIt) {
  PloadStandardReaders();
  PThumbnailer& tn = PthumbManager();
  Run([&] { Type(133, "0"); }, 1);
  std::mt19937 rng(7);
  for (int i = 0; i < 12; i++) {
    QImage img(640, 480, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); y++)
      for (int x = 0; x < img.width(); x++) img.setPixel(x, y, rng());
    const std::string p = h + "/p" + std::to_string(i) + ".jpg";
    ASSERT_TRUE(img.save(QString::fromStdString(p), "JPEG", 95));
    DBRecord r;
    PgrokFile(&r, p.c_str());
    _ImgStruct t{};
    t.xres = t.yres = 160;
    t.csp = &ICS_sRGB;
    ASSERT_TRUE(tn.GetThumbnail(&t, r));
    PfreeImage(&t);
  }
  tn.SyncCache();
  PThumbnailerStats st{};
  ASSERT_TRUE(tn.GetCacheStats(&st));
  ASSERT_GT(st.kUsed, 0);
  EXPECT_EQ(st.kAlloc, -1);  // no limit
  MessageLog log;
  bool enabled = false, disabledAfter = false;
  std::string used;
  Run(
      [&] {
        enabled = IsControlEnabled(ControlOf(gPrefWindow, "pref", 135));
        QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gPrefWindow, "pref", 135)),
                          Qt::LeftButton);
        used = TextOf(gPrefWindow, "pref", 134);
        disabledAfter = !IsControlEnabled(ControlOf(gPrefWindow, "pref", 135));
      },
      2);
  EXPECT_TRUE(enabled) << log.All();
  EXPECT_EQ(used, "(0M used)");
  EXPECT_TRUE(disabledAfter) << log.All();
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 0);
  EXPECT_EQ(st.kAlloc, -1);  // still no limit
}

}  // namespace
