// The main window's catalogues, adding with its questions, the command table, albums, captions,
// duplicates and sorting, through the real window and dialogs.
#include <QDialog>
#include <QMenu>
#include <algorithm>
#include <memory>
#include <set>
#include <sstream>

#include "app/core/pappstate.h"
#include "app/records/precfile.h"
#include "app/export/ptrader.h"
#include "maintest.h"
#include "platform/pclipboard.h"
#include "platform/pcontrol.h"
#include "standins.h"
#include "testutil/message_log.h"
#include "testutil/checker.h"

namespace {

using MainOps = MainTest;

std::string Dump(const std::string& cat) {
  return CheckerOutput({"--dump", cat});
}

int Lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST_F(MainOps, RecentListReadOnlyAndUndoItems) {
  auto log = std::make_unique<MessageLog>();
  DBHeaderLink* recent = gPrefLink->FindVar("RecentCatalog");
  ASSERT_NE(recent, nullptr);
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  EXPECT_EQ(Title(), "a");
  EXPECT_TRUE(IsControlEnabled(ControlOf(mw->GetWindow(), "pict", 138)));
  const int before = recent->NSet();
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  EXPECT_TRUE(log->Has(DMCinfo, "Reopened catalog '" + Path("a.qdb") + "'"));
  log.reset();  // the read-only open's warning raises its alert
  EXPECT_EQ(recent->NSet(), before);
  for (const char* c : {"b", "c", "d", "e", "f", "g"})
    ASSERT_TRUE(mw->OpenCatalog(Path(std::string(c) + ".qdb").c_str()));
  ASSERT_EQ(recent->NSet(), 6);  // a, the oldest, dropped
  EXPECT_EQ(recent->GetSVal(0), Path("g.qdb"));
  EXPECT_EQ(recent->GetSVal(5), Path("b.qdb"));
  mw->CloseCatalog();
  EXPECT_EQ(Status(), "No catalog");

  ASSERT_TRUE(mw->OpenCatalog(Path("h.qdb").c_str()));
  mw->CloseCatalog();
  ctxtest::LockHolder holder(Path("h.qdb"));
  ASSERT_TRUE(holder.holds);
  Answerer ans;
  ASSERT_TRUE(mw->OpenCatalog(Path("h.qdb").c_str()));
  EXPECT_EQ(Title(), "h (Read-Only)");
  EXPECT_FALSE(IsControlEnabled(ControlOf(mw->GetWindow(), "pict", 138)));
  EXPECT_FALSE(MenuEnabled("add "));
  dmessage_last_class = DMCnerr;
  mw->SetUndoable(false);
  EXPECT_EQ(EditItem(1), "Can't Undo");
  EXPECT_EQ(EditItem(2), "Redo");
  EXPECT_FALSE(EditEnabled(1));
  EXPECT_FALSE(EditEnabled(2));
}

TEST_F(MainOps, AddAsksSubjectTypoAndNewFieldAndUndoes) {
  const std::string cat = Path("cat.qdb");
  ASSERT_TRUE(mw->OpenCatalog(cat.c_str()));
  ShowFolder(1, "Harbour", Path("old"));
  ASSERT_EQ(mw->AddRecords(), 1);

  // Two records, one without a subject; then a user field the catalogue lacks.
  DBFieldInfo schema(PDBFInfo);
  DBFDetails det{};
  det.dtype = DBDTstring;
  snprintf(det.descrip, sizeof det.descrip, "Mood of the day");
  const int mood = schema.Field("Mood", &det);
  ASSERT_GE(mood, 0);
  ASSERT_TRUE(mw->LoadingRecords(&schema));
  for (int i = 0; i < 2; ++i) {
    DBRecord r(&schema);
    DBRecord p = ctxtest::Photo(("p" + std::to_string(i) + ".jpg").c_str(), 50 + i, 90 + i,
                                i ? "Quay" : nullptr, Path("trip").c_str());
    for (int f = 0; f < PDBFInfo.GetNFields(); ++f)
      if (p[f].IsSet()) r.SetField(schema.XlateID(&PDBFInfo, f), p[f]);
    r.SetField(mood, "calm");
    ctxtest::Show(bc, r);
  }
  snprintf(bc->rsrc, sizeof bc->rsrc, "%s", Path("trip").c_str());
  mw->LoadedRecords(2);

  // The band right of the first cell, as the window draws it.
  auto band = [&] {
    b->DrawThumbs();
    return GetPortPixel(mw->GetWindow(),
                        static_cast<short>(b->extent.left + 24 + b->ThumbSize() + 10),
                        static_cast<short>(b->extent.top + 24 + 20));
  };
  ASSERT_GT(b->ThumbSize(), 0);
  EXPECT_EQ(band(), 0x000080u);  // blue: not in the catalogue

  Answerer ans;
  ans.Type("");
  EXPECT_EQ(mw->AddRecords(), -1);
  EXPECT_TRUE(ans.Saw("Enter subject for 1 of 2 images"));
  EXPECT_EQ(Status(), "Add cancelled");

  ans.prompts.clear();
  ans.Type("Harbor");
  ans.Press(kResponseOK);      // use the existing subject
  ans.Press(kResponseCustom);  // discard the new field
  EXPECT_EQ(mw->AddRecords(), 2);
  EXPECT_TRUE(ans.Saw("You entered 'Harbor' -- use existing subject 'Harbour' instead?"));
  EXPECT_TRUE(ans.Saw("Add new catalog field 'Mood' (Mood of the day)?"));
  EXPECT_LT(bc->phd.GetID("Mood"), 0);
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFsubject), "Harbour");
  EXPECT_EQ(bc->TotalCommon(), 2);
  EXPECT_EQ(band(), 0x008000u);  // green: catalogued

  ASSERT_TRUE(bc->SyncDB());
  if (!CheckerRuns(cat)) return;  // marked skipped, with the reason
  const std::string added = Dump(cat);
  EXPECT_EQ(Lines(added), 1 + 3);  // the header and the three records
  EXPECT_NE(added.find("p0.jpg"), std::string::npos);
  ASSERT_TRUE(mw->Undo());
  ASSERT_TRUE(bc->SyncDB());
  const std::string undone = Dump(cat);
  EXPECT_EQ(Lines(undone), 1 + 1);
  EXPECT_EQ(undone.find("p0.jpg"), std::string::npos);
  ASSERT_TRUE(mw->Redo());
  ASSERT_TRUE(bc->SyncDB());
  EXPECT_EQ(Dump(cat), added);
}

TEST_F(MainOps, CommandTable) {
  Answerer ans;  // the alerts of reports the commands make
  ShowFolder(1);
  for (const char* c : {"show", "prni", "find"}) EXPECT_FALSE(Enabled(mw, c)) << c;
  EXPECT_FALSE(Enabled(mw, "info"));
  EXPECT_EQ(MainCommand(mw, "info"), noErr);
  EXPECT_EQ(Status(), "No selection");
  EXPECT_TRUE(Enabled(mw, "relo"));
  MainCommand(mw, "hist", true);
  EXPECT_FALSE(MenuEnabled("hist"));
  // The list fields change and the application still sees the code.
  EXPECT_EQ(MainCommand(mw, "vall"), eventNotHandledErr);
  EXPECT_TRUE(PMainWindow::allSet);
  EXPECT_EQ(MainCommand(mw, "nope"), eventNotHandledErr);
  // The catalogue makes 'find' possible with one record.
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  EXPECT_TRUE(Enabled(mw, "find"));

  // 'show' with one of ten selected opens all ten.
  struct Counting : StandInImager {
    int OpenImages() override { return selected = gMain->bc.TotalSelected(), 0; }
    int selected = 0;
  } imager;
  IImageWindow* saved = gImager;
  gImager = &imager;
  // No files to look for.
  SwapHook(&PAppHooks::checkRecords, [](bool, PContext*) { return PCheckResult{}; });
  ShowFolder(10);
  EXPECT_TRUE(Enabled(mw, "show"));
  bc->Select(3, true);
  EXPECT_EQ(MainCommand(mw, "show"), noErr);
  EXPECT_EQ(imager.selected, 10);
  gImager = saved;
  SwapHook(&PAppHooks::checkRecords, checkRecords);
}

TEST_F(MainOps, AlbumsCaptionsAndDuplicates) {
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFolder(3);
  const char* albums[] = {"A", "B", "A"};
  const long pos[] = {0, 0, 0};
  const char* caps[] = {"first"};
  PDBsetStrings(&bc->rdisp[0], PDBFalbum, albums, 3);
  PDBsetInts(&bc->rdisp[0], PDBFposition, pos, 3);
  PDBsetStrings(&bc->rdisp[0], PDBFcaption, caps, 1);
  ASSERT_EQ(mw->AddRecords(), 3);
  snprintf(bc->album, sizeof bc->album, "A");
  EXPECT_EQ(mw->AlbumIndex(&bc->rdisp.Get(0)), 2);
  EXPECT_EQ(mw->AlbumIndex(&bc->rdisp.Get(1)), -1);
  bc->SelectNone();
  bc->Select(0, true);
  EXPECT_TRUE(mw->CanCaption(nullptr));
  EXPECT_TRUE(Enabled(mw, "cptn"));
  Answerer ans;
  ans.Type("at the quay");
  EXPECT_EQ(MainCommand(mw, "cptn"), noErr);
  EXPECT_TRUE(ans.Saw("Enter caption in album 'A'"));
  const DBField& c = PDBgetField(bc->rdisp.Get(0), PDBFcaption);
  ASSERT_EQ(c.GetNV(), 3);
  EXPECT_STREQ(c.GetString(0), "first");
  EXPECT_STREQ(c.GetString(1), "");
  EXPECT_STREQ(c.GetString(2), "at the quay");
  char buf[32];
  EXPECT_STREQ(mw->GetCaption(buf, sizeof buf, nullptr), "at the quay");
  EXPECT_EQ(Status(), "Captioned 1 record");

  // Duplicates of the catalogue's records.
  bc->album[0] = '\0';
  EXPECT_FALSE(mw->CanDuplicate());  // a folder display
  snprintf(bc->rsrc, sizeof bc->rsrc, "*DB");
  bc->SetUnique(false);
  PDBsetString(&bc->rdisp[1], PDBFtitle, "Boats");
  bc->SelectNone();
  bc->Select(0, true);
  bc->Select(1, true);
  EXPECT_TRUE(Enabled(mw, "dupl"));
  EXPECT_EQ(mw->DuplicateRecords(), 2);
  EXPECT_STREQ(bc->rsrc, "*EX");
  EXPECT_EQ(bc->TotalSelected(), 2);
  std::vector<std::string> titles;
  for (int i = 0; i < 2; ++i) {
    const char* t = PDBgetString(bc->rdisp.Get(i), PDBFtitle);
    titles.push_back(t ? t : "");
    EXPECT_FALSE(PDBgetField(bc->rdisp.Get(i), PDBFalbum).IsSet());
    EXPECT_FALSE(PDBgetField(bc->rdisp.Get(i), PDBFcaption).IsSet());
  }
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"Copy of Boats", "Copy of img0.jpg"}));
}

TEST_F(MainOps, SortingKeysReverseBoxAndAlbumOrder) {
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFolder(4);
  const char* subj[] = {"d", "b", "c", "a"};
  const char* dates[] = {"2004:01:01 00:00:00", "2001:01:01 00:00:00", "2003:01:01 00:00:00",
                         "2002:01:01 00:00:00"};
  const char* album[] = {"A"};
  for (int i = 0; i < 4; ++i) {
    PDBsetString(&bc->rdisp[i], PDBFsubject, subj[i]);
    PDBsetString(&bc->rdisp[i], PDBFcapdate, dates[i]);
    PDBsetStrings(&bc->rdisp[i], PDBFalbum, album, 1);
    const long p = i;
    PDBsetInts(&bc->rdisp[i], PDBFposition, &p, 1);
  }
  ASSERT_EQ(mw->AddRecords(), 4);
  const DBFieldInfo* fi = bc->rdisp.GetFieldInfo();
  const int sid = fi->XlateID(&PDBFInfo, PDBFsubject), did = fi->XlateID(&PDBFInfo, PDBFcapdate);
  ControlRef box = ControlOf(mw->GetWindow(), "pict", 136);
  ControlRef popup = ControlOf(mw->GetWindow(), "pict", 135);

  MainCommand(mw, "ssub");
  MainCommand(mw, "sdat");
  EXPECT_EQ(bc->rdisp.sord.GetSort(0), did);
  EXPECT_EQ(bc->rdisp.sord.GetSort(1), sid);
  MainCommand(mw, "ssub");
  EXPECT_EQ(bc->rdisp.sord.GetSort(0), sid);
  EXPECT_EQ(bc->rdisp.sord.GetSort(1), did);
  EXPECT_EQ(bc->rdisp.sord.GetSort(2), -1);
  EXPECT_EQ(GetControlValue(popup), 5);
  SetControlValue(box, 1);
  MainCommand(mw, "ssub");  // the box's reverse
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFsubject), "d");
  MainCommand(mw, "sman");
  EXPECT_EQ(GetControlValue(box), 0);
  EXPECT_FALSE(IsControlEnabled(box));
  EXPECT_EQ(bc->rdisp.sord.GetSort(0), -1);
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFsubject), "d");  // left as it was

  // In an album, a date sort rewrites the positions; manual order then keeps it.
  snprintf(bc->album, sizeof bc->album, "A");
  mw->SortRecords(FourCC("sdat"), 0);
  for (int i = 0; i < 4; ++i) {
    long p = -1;
    PDBgetInt(bc->rdisp.Get(i), PDBFposition, &p);
    EXPECT_EQ(p, i);
    EXPECT_EQ(PDBgetString(bc->rdisp.Get(i), PDBFcapdate)[3], '1' + i);
  }
  mw->SortAlbum();
  EXPECT_EQ(GetControlValue(popup), 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(PDBgetString(bc->rdisp.Get(i), PDBFcapdate)[3], '1' + i);
  }
  // The catalogue remembers the new order.
  ASSERT_TRUE(bc->SyncDB());
  int common = 0;
  for (int i = 0; i < 4; ++i) {
    long p = -1;
    if (bc->GetDBOrig(i) && PDBgetInt(*bc->GetDBOrig(i), PDBFposition, &p)) common += p == i;
  }
  EXPECT_EQ(common, 4);
}

}  // namespace

namespace {

int alerts = 0;

// Brings every menu of the bar up to date as opening it does, submenus too.
void OpenEvery(QMenu* m) {
  QMetaObject::invokeMethod(m, "aboutToShow");
  for (QAction* a : m->actions())
    if (a->menu() != nullptr) OpenEvery(a->menu());
}

// A table whose names line names no field the display has (a misspelt "File") keeps no record:
// no file is asked for the rows without a file name, and nothing stays selected that is not
// shown, so the commands on the selection are grey. A table in UTF-16 is refused as such, the
// display kept.
TEST_F(MainOps, AnImportThatKeepsNoRecordLeavesNothingSelected) {
  int dialogs = 0;
  QTimer dismiss;
  QObject::connect(&dismiss, &QTimer::timeout, [&] {
    PFileDialog* d = PlatformFileDialog();
    if (d != nullptr && d->isVisible()) {
      ++dialogs;
      QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection);
    }
  });
  dismiss.start(5);
  Answerer ans;
  ShowFolder(4);
  bc->SelectAll();
  const std::string rows = "Fiel\tSubject\n\"a.jpg\"\t\"x\"\n\"b.jpg\"\t\"y\"\n";
  std::string le = "\xFF\xFE", be;
  for (char c : rows) le += std::string{c, '\0'}, be += std::string{'\0', c};
  const std::string utf16le = Path("le.txt"), utf16be = Path("be.txt"), bad = Path("bad.txt");
  ctxtest::WriteFile(utf16le, le);
  ctxtest::WriteFile(utf16be, be);
  ctxtest::WriteFile(bad, rows);
  // Each as a command of its own would start: its alert is not held back by the one before.
  auto fresh = [] { dmessage_last_class = alertLastClass = DMCnerr; };
  fresh();
  importRecords(utf16le.c_str());
  fresh();
  importRecords(utf16be.c_str());
  EXPECT_EQ(ans.alerts, (std::vector<std::string>{
                            "No records read from '" + utf16le + "': it is UTF-16 text",
                            "No records read from '" + utf16be + "': it is UTF-16 text"}));
  EXPECT_EQ(bc->rdisp.GetSize(), 4);
  EXPECT_EQ(bc->TotalSelected(), 4);

  ans.alerts.clear();
  fresh();
  importRecords(bad.c_str());
  ASSERT_TRUE(ClipboardPutText(rows));
  fresh();
  MainCommand(mw, "past");
  EXPECT_EQ(ans.alerts,
            (std::vector<std::string>{"No records read from '" + bad + "'", "No records pasted"}));
  EXPECT_EQ(dialogs, 0);
  EXPECT_EQ(bc->rdisp.GetSize(), 0);
  EXPECT_EQ(Status(), "0 records");
  EXPECT_EQ(bc->TotalSelected(), 0);
  for (const char* c : {"keyw", "date", "mhdr", "dele"}) EXPECT_FALSE(Enabled(mw, c)) << c;
}

}  // namespace

// A clipboard far longer than the head the paste check reads: every menu opens without an
// alert and with Paste live, and Paste brings every record back.
TEST_F(MainOps, ABigCutOpensMenusQuietlyAndPastesWhole) {
  ASSERT_TRUE(mw->OpenCatalog(Path("big.qdb").c_str()));
  ShowFolder(500);
  for (int i = 0; i < 500; ++i)
    PDBsetString(&bc->rdisp[i], PDBFtitle, (std::to_string(i) + std::string(300, 't')).c_str());
  ASSERT_EQ(mw->AddRecords(), 500);
  dmessage_alert = [](const char*) { return ++alerts, 1; };
  alerts = 0;
  MainCommand(mw, "sall");
  MainCommand(mw, "cut ");
  ASSERT_EQ(bc->rdisp.GetSize(), 0);
  std::string clip;
  ASSERT_TRUE(ClipboardGetText(&clip));
  ASSERT_GT(clip.size(), 40000u);
  // The head's last line is cut inside a quoted title.
  const size_t lineStart = clip.rfind('\n', 4095) + 1;
  EXPECT_EQ(std::count(clip.begin() + lineStart, clip.begin() + 4096, '"') % 2, 1);
  QMenuBar* bar = PlatformFrameWidget(mw->GetWindow())->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  for (QAction* top : bar->actions())
    if (top->menu() != nullptr) OpenEvery(top->menu());
  EXPECT_EQ(alerts, 0);
  EXPECT_TRUE(MenuEnabled("past"));
  // The pictures are not there: the question where the first one is gets Cancel.
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [] {
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
  });
  cancel.start(5);
  MainCommand(mw, "past");
  EXPECT_EQ(alerts, 0);
  ASSERT_EQ(bc->rdisp.GetSize(), 500);
  std::set<std::string> files;
  for (int i = 0; i < 500; ++i) files.insert(PDBgetString(bc->rdisp[i], PDBFfile));
  EXPECT_EQ(files.size(), 500u);
  EXPECT_EQ(files.count("img499.jpg"), 1u);
  dmessage_alert = PalertHook;
}
