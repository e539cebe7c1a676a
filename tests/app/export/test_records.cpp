// Record tables written and read, catalogues imported and exported, and the check that finds
// moved image files.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "exptest.h"
#include "app/core/pappstate.h"
#include "catalog/plocate.h"
#include "platform/pclipboard.h"
#include "platform/pmounts.h"
#include "support/cnumber.h"
#include "support/pstrings.h"
#include "testutil/checker.h"
#include "testutil/fifo_watch.h"
#include "testutil/swap_at_open.h"

namespace {

class Records : public ExportTest {};

// n small files of their own in folder, and their records, in place.
std::vector<DBRecord> InPlace(const std::string& folder, int n) {
  mkdir(folder.c_str(), 0755);
  std::vector<DBRecord> out;
  for (int i = 0; i < n; i++) {
    char name[32];
    snprintf(name, sizeof name, "/f%04d.dat", i);
    const std::string path = folder + name;
    WriteAll(path, "file " + std::to_string(i) + std::string(static_cast<size_t>(i % 97), 'x'));
    DBRecord r(&PDBFInfo);
    recordFileInfo(&r, path.c_str());
    out.push_back(r);
  }
  return out;
}

// Float columns as the checker prints them (single precision, seven digits).
std::string Normalised(const std::string& line) {
  std::string out;
  for (size_t at = 0;;) {
    const size_t end = std::min(line.find('\t', at), line.size());
    std::string cell = line.substr(at, end - at);
    char* stop = nullptr;
    const float f = cell.find('e') != std::string::npos && cell[0] != '"' && cell[0] != '{'
                        ? Cstrtof(cell.c_str(), &stop)
                        : 0.0f;
    if (stop != nullptr && *stop == '\0') {
      char buf[32];
      Csnprintf(buf, sizeof(buf), "%.6e", static_cast<double>(f));
      cell = buf;
    }
    out += cell;
    if (end == line.size()) return out;
    out += '\t';
    at = end + 1;
  }
}

// Text with what a table must carry: separators, quotes, escapes, line ends and UTF-8.
std::string RandomText(std::mt19937& rng) {
  static const char* const bits[] = {"a", "Z", "\t", "\"",   "\\", "\n", "\r", "{",  "}",
                                     ",", " ", "é",  "日本", "😀",  "0",  "-1", "''", "x y"};
  std::string s;
  const int n = static_cast<int>(rng() % 8);
  for (int i = 0; i < n; i++) s += bits[rng() % (sizeof bits / sizeof *bits)];
  return s;
}

// Every photo field but the file facts gets random values of its own type.
void Randomise(DBRecord* r, std::mt19937& rng) {
  for (int id = 0; id < PDBFend; id++) {
    if (id == PDBFfile || id == PDBFlocation || id == PDBFnbytes || id == PDBFhashval ||
        id == PDBFmodtime)
      continue;
    // The other file facts are always there: a record lacking one is read again.
    if (id != PDBFxsize && id != PDBFysize && rng() % 10 < 3) continue;
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    const int nv = (d->flags & DBFDmulti) ? 1 + static_cast<int>(rng() % 3) : 1;
    if (d->dtype == DBDTint) {
      std::vector<long> v;
      for (int k = 0; k < nv; k++) v.push_back(static_cast<int32_t>(rng()));
      r->SetField(id, v.data(), nv);
    } else if (d->dtype == DBDTfloat) {
      std::vector<float> v;
      std::uniform_real_distribution<float> u(-1e6f, 1e6f);
      for (int k = 0; k < nv; k++) v.push_back(u(rng) / static_cast<float>(1 + rng() % 1000));
      r->SetField(id, v.data(), nv);
    } else {
      std::vector<std::string> text;
      for (int k = 0; k < nv; k++) text.push_back(RandomText(rng));
      std::vector<const char*> v;
      for (const std::string& t : text) v.push_back(t.c_str());
      r->SetField(id, v.data(), nv);
    }
  }
}

void Display(PContext& bc, const std::vector<DBRecord>& recs) {
  bc.ClearRecords();
  for (const DBRecord& r : recs) bc.rdisp.NewRecord() = r;
}

void ExpectDisplayed(PContext& bc, const std::vector<DBRecord>& recs) {
  ASSERT_EQ(bc.rdisp.GetSize(), static_cast<int>(recs.size()));
  for (size_t i = 0; i < recs.size(); i++)
    ASSERT_TRUE(bc.rdisp.Get(static_cast<int>(i)) == recs[i]) << "record " << i;
}

TEST_F(Records, TablesAndTheClipboardCarryEveryKindOfValue) {
  std::mt19937 rng(40);
  std::vector<DBRecord> recs = InPlace(Path("photos"), 1000);
  for (DBRecord& r : recs) Randomise(&r, rng);
  Display(bc, recs);
  const std::string table = Path("records.txt");
  EXPECT_EQ(saveRecords(table.c_str(), &bc), 1000);
  EXPECT_TRUE(log.Has(DMCinfo, "Records written to '" + table + "'"));

  bc.ClearRecords();
  importRecords(table.c_str());
  ExpectDisplayed(bc, recs);
  EXPECT_STREQ(bc.rsrc, "*EX");
  EXPECT_EQ(bc.TotalSelected(), 0);

  // The same table through the system clipboard.
  ASSERT_TRUE(ClipboardPutText(ReadAll(table)));
  EXPECT_TRUE(checkPasteBuffer());
  bc.ClearRecords();
  pasteRecords();
  ExpectDisplayed(bc, recs);
  EXPECT_TRUE(log.Has(DMCinfo, "Pasted 1000 records"));

  // A failed write leaves the old table; no temporary is left beside it.
  const std::string before = ReadAll(table);
  chmod(dir.Dir().c_str(), 0555);
  if (access(dir.Dir().c_str(), W_OK) != 0) {  // not when the tests run as root
    EXPECT_EQ(saveRecords(table.c_str(), &bc), -1);
    EXPECT_TRUE(log.Has(DMCresource, "Cannot open file '" + table + "' for writing"));
  }
  chmod(dir.Dir().c_str(), 0755);
  EXPECT_EQ(ReadAll(table), before);
}

// A catalogue with 30 user fields of the longest names the field editor takes, and one whose
// name holds a tab (a hand-edited header): its exported table reads back whole.
TEST_F(Records, ACatalogueExportedReadsBackWholeWhateverItsFieldNames) {
  ASSERT_TRUE(bc.OpenDB(Path("user.qdb").c_str()));
  std::vector<int> user;
  for (int k = 0; k < 31; ++k) {
    std::string name = k < 30 ? "Remark_" + std::to_string(k) + "_" : "Mood\tof the day";
    if (k < 30) name.resize(63, 'r');
    user.push_back(bc.phd.Field(name.c_str(), DBDTstring, name.c_str(), 0x2000));
    ASSERT_GE(user.back(), 0);
  }
  bc.phd.SetChangedFlag(true);
  std::vector<DBRecord> recs;
  ASSERT_TRUE(bc.Checkpoint("Add", nullptr));
  for (const DBRecord& p : InPlace(Path("p"), 20)) {
    DBRecord r(&bc.phd);
    for (int f = 0; f < PDBFInfo.GetNFields(); ++f)
      if (p[f].IsSet()) r.SetField(bc.phd.XlateID(&PDBFInfo, f), p[f]);
    for (int id : user) r.SetField(id, ("value " + std::to_string(id)).c_str());
    bc.pdb.AddRecord(r);
    recs.push_back(r);
  }
  const std::string table = Path("user.txt");
  ASSERT_EQ(saveCatalog(table.c_str(), &bc), 20);
  const std::string text = ReadAll(table);
  EXPECT_GE(text.find('\n'), 2248u);  // the names line
  EXPECT_NE(text.find("\t\"Mood\\tof the day\""), std::string::npos);

  NewCommand();
  importRecords(table.c_str());
  ASSERT_EQ(bc.rdisp.GetSize(), 20);
  for (const DBRecord& r : recs) EXPECT_GE(bc.rdisp.FindRecord(r), 0);
  EXPECT_TRUE(log.Has(DMCinfo, "Read 20 records from '" + table + "'"));
  EXPECT_TRUE(bc.CloseDB());
}

// Spreadsheets save "UTF-8" text with a byte-order mark first: such a table, from a file or the
// clipboard, reads as the same table without it. An import that keeps no record says so in an
// alert, never that it read some.
TEST_F(Records, AByteOrderMarkIsNoPartOfTheTable) {
  // Asked for the file of a row without one, the user has none to give.
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [] {
    PFileDialog* d = PlatformFileDialog();
    if (d != nullptr && d->isVisible())
      QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection);
  });
  cancel.start(5);
  const std::vector<DBRecord> recs = InPlace(Path("photos"), 3);
  Display(bc, recs);
  const std::string plain = Path("plain.txt"), marked = Path("marked.txt");
  ASSERT_EQ(saveRecords(plain.c_str(), &bc), 3);
  const std::string table = ReadAll(plain);
  WriteAll(marked, "\xEF\xBB\xBF" + table);
  for (const std::string& path : {plain, marked}) {
    bc.ClearRecords();
    importRecords(path.c_str());
    ExpectDisplayed(bc, recs);
    EXPECT_TRUE(log.Has(DMCinfo, "Read 3 records from '" + path + "'")) << path;
  }
  ASSERT_TRUE(ClipboardPutText("\xEF\xBB\xBF" + table));
  bc.ClearRecords();
  pasteRecords();
  ExpectDisplayed(bc, recs);

  // Rows without a file name are dropped as the display takes them: nothing is kept.
  const std::string nameless = Path("nameless.txt");
  WriteAll(nameless, "Comment\tSubject\n\"one\"\t\"a\"\n\"two\"\t\"b\"\n");
  AlertsAnswered alerts;
  dmessage_last_class = alertLastClass = DMCnerr;
  const DMcallHook logging = dmessage_call;  // the log would take the alerts' place
  dmessage_call = nullptr;
  importRecords(nameless.c_str());
  dmessage_call = logging;
  EXPECT_EQ(bc.rdisp.GetSize(), 0);
  EXPECT_EQ(alerts.texts, std::vector<std::string>{"No records read from '" + nameless + "'"});
  EXPECT_STRNE(dmessage_record[DMCinfo], ("Read 2 records from '" + nameless + "'").c_str());
}

TEST_F(Records, OneSelectedRecordAsksFirst) {
  Display(bc, InPlace(Path("p"), 3));
  bc.Select(1);
  const std::string table = Path("t.txt");
  std::string asked;
  WhenShown(
      gConfirmWindow, [&] { asked = TextOf(gConfirmWindow, "cfrm", 128); }, "cfrm", 131);
  EXPECT_EQ(saveRecords(table.c_str(), &bc), 3);  // "Export All"
  EXPECT_EQ(asked, "Export 1 record?");
  WhenShown(gConfirmWindow, nullptr, "cfrm", 129);
  EXPECT_EQ(saveRecords(table.c_str(), &bc), 1);
  WhenShown(gConfirmWindow, nullptr, "cfrm", 130);
  EXPECT_EQ(saveRecords(table.c_str(), &bc), 0);
}

TEST_F(Records, ImportRereadsOnlyRowsLackingFileFacts) {
  std::vector<DBRecord> recs;
  for (int i = 0; i < 3; i++)
    recs.push_back(RecordOf(MakeJpeg(Path("im" + std::to_string(i) + ".jpg"), 40 + i, 30)));
  // A width no file has marks what was not read again.
  for (DBRecord& r : recs) r.SetField(PDBFxsize, 1L);
  recs[1].ClearField(PDBFnbytes);
  recs[2].ClearField(PDBFhashval);
  Display(bc, recs);
  const std::string table = Path("t.txt");
  ASSERT_EQ(saveRecords(table.c_str(), &bc), 3);
  bc.ClearRecords();
  importRecords(table.c_str());
  ASSERT_EQ(bc.rdisp.GetSize(), 3);
  EXPECT_EQ(PDBgetField(bc.rdisp.Get(0), PDBFxsize).GetInt(0), 1);  // complete: not read again
  for (int i = 1; i < 3; i++) {
    EXPECT_TRUE(bc.IsSelected(i));
    EXPECT_EQ(PDBgetField(bc.rdisp.Get(i), PDBFxsize).GetInt(0), 40 + i);
    EXPECT_EQ(PDBgetField(bc.rdisp.Get(i), PDBFnbytes).GetNV(), 1);
    EXPECT_EQ(PDBgetField(bc.rdisp.Get(i), PDBFhashval).GetNV(), 1);
  }
  EXPECT_FALSE(bc.IsSelected(0));
}

TEST_F(Records, CatalogueFilesImportInAnyCaseAndExportInSortOrder) {
  std::vector<DBRecord> recs = InPlace(Path("p"), 40);
  std::mt19937 rng(7);
  for (DBRecord& r : recs) Randomise(&r, rng);
  const std::string cat = Path("catalog.QDB");
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(cat.c_str()));
    ASSERT_TRUE(c.Checkpoint("Add", nullptr));
    for (const DBRecord& r : recs) c.pdb.AddRecord(r);
    const std::string out = Path("catalog.txt");
    NewCommand();
    EXPECT_EQ(saveCatalog(out.c_str(), &c), 40);
    ASSERT_TRUE(c.CloseDB());

    // The table's lines are the checker's, the table in the catalogue's order (File first).
    const bool checked = CheckerRuns(cat);
    const std::string dump = checked ? CheckerOutput({"--dump", cat}) : std::string();
    std::vector<std::string> mine, theirs;
    std::istringstream a(ReadAll(out)), b(dump);
    std::string line, header;
    std::getline(a, header);
    while (std::getline(a, line)) mine.push_back(Normalised(line));
    for (size_t i = 1; i < mine.size(); i++) {
      const std::string f0 = mine[i - 1].substr(0, mine[i - 1].find('\t'));
      const std::string f1 = mine[i].substr(0, mine[i].find('\t'));
      EXPECT_LE(strcmp_nc(f0.c_str(), f1.c_str()), 0) << f0 << " before " << f1;
    }
    if (checked) {
      std::getline(b, line);
      EXPECT_EQ(line, header);
      while (std::getline(b, line)) theirs.push_back(line);
      std::vector<std::string> sortedMine = mine;
      std::sort(sortedMine.begin(), sortedMine.end());
      std::sort(theirs.begin(), theirs.end());
      ASSERT_EQ(sortedMine.size(), theirs.size());
      for (size_t i = 0; i < theirs.size(); i++) ASSERT_EQ(sortedMine[i], theirs[i]) << i;
    }
  }
  importRecords(cat.c_str());
  EXPECT_EQ(bc.rdisp.GetSize(), 40);
  EXPECT_STREQ(bc.rsrc, "*EX");
  EXPECT_TRUE(log.Has(DMCinfo, "Read 40 records from '" + cat + "'"));
  for (const DBRecord& r : recs) EXPECT_GE(bc.rdisp.FindRecord(r), 0);
}

// The mount table with the volume /media/Photos, or without it.
std::string Mounts(bool photos) {
  std::string t = "1 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
  if (photos) t += "2 1 8:2 / /media/Photos rw,relatime shared:2 - ext4 /dev/sdb1 rw\n";
  return t;
}

TEST_F(Records, AMountWhileTheRemountQuestionIsUpFindsTheFile) {
  // The record lives on the volume Photos, unmounted; its second folder is where the file
  // turns up when the volume comes.
  const std::string later = Path("later");
  mkdir(later.c_str(), 0755);
  DBRecord r = RecordOf(MakeJpeg(Path("x.jpg"), 16, 16));
  const std::string bytes = ReadAll(Path("x.jpg"));
  unlink(Path("x.jpg").c_str());
  const char* locs[] = {"/media/Photos/2005", later.c_str()};
  r.SetField(PDBFlocation, locs, 2);
  Display(bc, {r});
  TakeMountTable(Mounts(false));
  checkEvents(0);
  std::string asked;
  int shown = 0;
  bool up = false;  // the question was up at the last look
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    // The question stays up until the mount's event, posted below, arrives: each showing
    // counts once, however many looks it stays up for.
    const bool fresh = IsWindowVisible(gConfirmWindow) && !up;
    up = IsWindowVisible(gConfirmWindow);
    if (!fresh) return;
    if (shown++ > 0) {
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", 130)),
                        Qt::LeftButton);
      return;
    }
    asked = TextOf(gConfirmWindow, "cfrm", 128);
    WriteAll(later + "/x.jpg", bytes);
    TakeMountTable(Mounts(true));
  });
  t.start(5);
  EXPECT_TRUE(checkRecords(false, &bc).changed);
  t.stop();
  EXPECT_EQ(asked, "Remount volume 'Photos' with directory '2005'");
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(Text(bc.rdisp.Get(0), PDBFlocation), later);
  TakeMountTable(Mounts(false));
  delete PFMigrations;
  PFMigrations = nullptr;
}

TEST_F(Records, CancellingTheQuestionStopsTheWalk) {
  std::vector<DBRecord> recs;
  for (int i = 0; i < 3; i++) {
    DBRecord r(&PDBFInfo);
    r.SetField(PDBFfile, ("lost" + std::to_string(i) + ".jpg").c_str());
    r.SetField(PDBFlocation, "/media/Photos");
    recs.push_back(r);
  }
  Display(bc, recs);
  TakeMountTable(Mounts(false));
  checkEvents(0);
  int asked = 0;
  std::string text;
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gConfirmWindow)) return;
    asked++;
    text = TextOf(gConfirmWindow, "cfrm", 128);
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", 130)),
                      Qt::LeftButton);
  });
  t.start(5);
  EXPECT_FALSE(checkRecords(false, &bc).changed);
  t.stop();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(text, "Remount volume 'Photos'");
}

TEST_F(Records, ProgressShowsFromAHundredRecordsAndEndsAtAHundred) {
  std::vector<DBRecord> recs = InPlace(Path("p"), 100);
  ControlRef bar = ControlOf(gProgressWindow, "prgs", 129);
  for (int n : {99, 100}) {
    Display(bc, std::vector<DBRecord>(recs.begin(), recs.begin() + n));
    SetControlValue(bar, 7);
    bool seen = false;
    QTimer t;
    QObject::connect(&t, &QTimer::timeout,
                     [&] { seen = seen || IsWindowVisible(gProgressWindow); });
    t.start(1);
    EXPECT_FALSE(checkRecords(true, &bc).changed);  // force is off without a selection
    t.stop();
    EXPECT_EQ(seen, n == 100) << n;
    EXPECT_EQ(GetControlValue(bar), n == 100 ? 100 : 7) << n;
    EXPECT_FALSE(IsWindowVisible(gProgressWindow));
  }
}

TEST_F(Records, FilesThatAreNotRegularAreNeverOpened) {
  // A FIFO would block an open until a writer came: a pasted record naming one is let go.
  const std::string fifo = Path("pipe.jpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  long h = 0, n = 0;
  EXPECT_EQ(PhashFile(&h, &n, fifo.c_str()), 0);
  EXPECT_EQ(PopenImageF(fifo.c_str(), 1, nullptr), nullptr);
  DBRecord r(&PDBFInfo);
  recordFilePath(&r, fifo.c_str());  // name, folder and time; no length or hash
  Display(bc, {r});
  selectRecordsForUpdate(&bc);
  ASSERT_TRUE(bc.IsSelected(0));
  EXPECT_FALSE(checkRecords(true, &bc).changed);  // found in place, not read
  EXPECT_EQ(PDBgetField(bc.rdisp.Get(0), PDBFnbytes).GetNV(), 0);
}

// Another user wins every race for the name of a file being imported: whatever looks at it
// finds the file, its open meets a FIFO that no writer opens. Neither a record table nor a
// catalogue is waited on: the user is told why, and the display stays as it was.
TEST_F(Records, AnImportWhoseNameIsSwappedForAFifoIsRefusedAtOnce) {
  const std::vector<DBRecord> recs = InPlace(Path("p"), 2);
  const std::string table = Path("t.txt"), cat = Path("c.qdb");
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(cat.c_str()));
    ASSERT_TRUE(c.Checkpoint("Add", nullptr));
    for (const DBRecord& r : recs) c.pdb.AddRecord(r);
    ASSERT_TRUE(c.CloseDB());
  }
  Display(bc, recs);
  ASSERT_EQ(saveRecords(table.c_str(), &bc), 2);
  for (const std::string& path : {table, cat}) {
    SCOPED_TRACE(path);
    testutil::NameRace race(path, true);
    ASSERT_TRUE(race.Ready());
    AlertsAnswered alerts;
    dmessage_last_class = alertLastClass = DMCnerr;
    const DMcallHook logging = dmessage_call;  // the log would take the alerts' place
    dmessage_call = nullptr;
    testutil::FifoWatch watch(path);
    importRecords(path.c_str());
    dmessage_call = logging;
    EXPECT_FALSE(watch.Waited());
    EXPECT_EQ(alerts.texts, std::vector<std::string>{"Cannot open file '" + path +
                                                     "' for reading: not a regular file"});
    ExpectDisplayed(bc, recs);
  }
}

// A Stop (or a quit) during the check of many files ends it where it was and says so.
TEST_F(Records, AStoppedCheckSaysHowFarItGot) {
  Display(bc, InPlace(Path("s"), 200));
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    if (IsWindowVisible(gProgressWindow) &&
        GetControlValue(ControlOf(gProgressWindow, "prgs", 129)) >= 50)
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                        Qt::LeftButton);
  });
  t.start(0);
  const PCheckResult r = checkRecords(false, &bc);
  t.stop();
  EXPECT_TRUE(r.cancelled);
  int told = 0, at = 0;
  for (const auto& e : log.entries)
    if (sscanf(e.second.c_str(), "Stopped verifying files: %d of 200 checked", &at) == 1) told++;
  EXPECT_EQ(told, 1) << log.All();
  EXPECT_GT(at, 99);
  EXPECT_LT(at, 200);
}

}  // namespace
