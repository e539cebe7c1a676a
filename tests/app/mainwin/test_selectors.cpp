// The set lists of the selector: clicks select or search records, the selected records' values
// are highlighted.
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <cstring>
#include <random>

#include "app/mainwin/prangefilter.h"
#include "app/mainwin/pselectlist.h"
#include "maintest.h"
#include "platform/plist.h"
#include "platform/pmounts.h"

namespace {

class Selectors : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    SizeWindow(mw->GetWindow(), 1100, 700, true);
    ASSERT_TRUE(mw->OpenCatalog(Path("sel.qdb").c_str()));
  }
  void SetRecords() {
    ShowFolder(6);
    const char* subjects[] = {"Alps", "Alps", "Beach", "Beach", "City", "City"};
    for (int i = 0; i < 6; ++i) PDBsetString(&bc->rdisp[i], PDBFsubject, subjects[i]);
    const char* sea = "Sea";
    const char* hills = "Hills";
    PDBsetStrings(&bc->rdisp[0], PDBFalbum, &sea, 1);
    PDBsetStrings(&bc->rdisp[2], PDBFalbum, &sea, 1);
    PDBsetStrings(&bc->rdisp[1], PDBFalbum, &hills, 1);
    ASSERT_EQ(mw->AddRecords(), 6);
  }
  PSetListDrawer* List(int tab) const {
    return static_cast<PSetListDrawer*>(mw->GetSetListDrawer(tab));
  }
  std::vector<int> Rows(int tab) const {
    std::vector<int> out;
    const ABitMap* m = List(tab)->GetSelection();
    for (uint32_t i = 0; m && m->Find(&i, true); ++i) out.push_back(static_cast<int>(i));
    return out;
  }
  std::vector<std::string> Files(bool selectedOnly) const {
    std::vector<std::string> out;
    for (int i = 0; i < bc->rdisp.GetSize(); ++i)
      if (!selectedOnly || bc->IsSelected(i))
        out.push_back(PDBgetString(bc->rdisp.Get(i), PDBFfile));
    std::sort(out.begin(), out.end());
    return out;
  }
  // Clicks row of the list of tab (shown first) at x pixels from its left; twice for a double
  // click.
  void ClickRow(int tab, int row, bool twice, int x = 40) {
    mw->GetSelector()->Select(tab);
    auto* l = static_cast<PSelectListDrawer*>(mw->GetSelectDrawer(tab));
    ASSERT_NE(l->GetList(), nullptr);
    Rect view;
    GetListViewBounds(l->GetList(), &view);
    const QPoint p(view.left + x, view.top + row * 16 + 8);
    QWidget* w = PlatformContentWidget(mw->GetWindow());
    QTest::mouseClick(w, Qt::LeftButton, {}, p);
    if (twice) QTest::mouseClick(w, Qt::LeftButton, {}, p);
    checkEvents(0);
  }
};

TEST_F(Selectors, HighlightsClicksAndSearches) {
  SetRecords();
  PSetListDrawer* subjects = List(3);
  ASSERT_EQ(subjects->GetNItems(), 3);
  EXPECT_STREQ(subjects->GetItem(1), "Beach");
  // The selected records' subjects are highlighted; one the catalogue lacks selects nothing.
  PDBsetString(&bc->rdisp[5], PDBFsubject, "Zoo");
  for (int i : {0, 2, 5}) bc->Select(i, true);
  mw->HiliteSelectors();
  EXPECT_EQ(Rows(3), (std::vector<int>{0, 1}));
  EXPECT_EQ(Rows(4), (std::vector<int>{1}));  // "Sea" of records 0 and 2, after "Hills"

  // A single click selects among the displayed records; the display stays.
  ClickRow(3, 1, false);
  EXPECT_EQ(Files(true), (std::vector<std::string>{"img2.jpg", "img3.jpg"}));
  EXPECT_EQ(bc->rdisp.GetSize(), 6);
  // A double click displays the catalogue's records of the subject.
  ClickRow(3, 2, true);
  EXPECT_STREQ(bc->rsrc, "*DB");
  EXPECT_EQ(Files(false), (std::vector<std::string>{"img4.jpg", "img5.jpg"}));
  EXPECT_STREQ(bc->album, "");

  // One album shows that album; two show both without an album name.
  ClickRow(4, 1, true);
  EXPECT_EQ(Files(false), (std::vector<std::string>{"img0.jpg", "img2.jpg"}));
  EXPECT_STREQ(bc->album, "Sea");
  PSetListDrawer* albums = List(4);
  albums->SelectAll(true);
  EXPECT_EQ(albums->Solo(), -1);
  mw->ProcessSetSel(albums, true);
  EXPECT_EQ(Files(false), (std::vector<std::string>{"img0.jpg", "img1.jpg", "img2.jpg"}));
  EXPECT_STREQ(bc->album, "");

  // Updating keeps nothing selected; an empty set has no list.
  albums->SelectAll(false);
  albums->Select(0, true);
  EXPECT_EQ(albums->Solo(), 0);
  mw->UpdateSelectors();
  EXPECT_EQ(Rows(4), std::vector<int>{});
  EXPECT_EQ(List(5)->GetList(), nullptr);
  EXPECT_EQ(List(5)->GetSelection(), nullptr);

  // Without a catalogue the lists do nothing.
  mw->CloseCatalog();
  const int shown = bc->rdisp.GetSize();
  subjects->Select(0, true);
  mw->ProcessSetSel(subjects, true);
  EXPECT_EQ(bc->rdisp.GetSize(), shown);
}

TEST_F(Selectors, TimelineOfYearsMonthsAndEvents) {
  // Two years, three months; January holds three events.
  ShowFolder(7);
  const char* subjects[] = {"Ski", "Party", "Hike", "Hike", "Boat", "Zoo", "Zoo"};
  const char* dates[] = {"2003:12:20 10:00:00", "2004:01:05 20:00:00", "2004:01:14 08:00:00",
                         "2004:01:15 09:00:00", "2004:01:28 12:00:00", "2004:02:10 11:00:00",
                         "2004:02:10 12:00:00"};
  for (int i = 0; i < 7; ++i) {
    PDBsetString(&bc->rdisp[i], PDBFsubject, subjects[i]);
    PDBsetString(&bc->rdisp[i], PDBFcapdate, dates[i]);
  }
  ASSERT_EQ(mw->AddRecords(), 7);
  mw->UpdateSelectors();
  auto* tl = static_cast<PTimelineListDrawer*>(mw->GetSelectDrawer(2));
  ASSERT_EQ(tl->GetNItems(), 2);
  EXPECT_STREQ(tl->GetItem(0), "> 2003");
  EXPECT_STREQ(tl->GetItem(1), "> 2004");
  // A click on the mark opens the year without the action: nothing is selected or shown anew.
  b->SelectNone();
  ClickRow(2, 1, false, 5);
  ASSERT_EQ(tl->GetNItems(), 4);
  EXPECT_STREQ(tl->GetItem(1), "v 2004");
  EXPECT_STREQ(tl->GetItem(2), "  > January");
  EXPECT_STREQ(tl->GetItem(3), "  > February");
  EXPECT_EQ(bc->TotalSelected(), 0);
  tl->GetFolder(2)->Open(true);
  tl->Update();  // the tree built again: every node closed
  EXPECT_EQ(tl->GetNItems(), 2);
  ClickRow(2, 1, false, 5);
  ClickRow(2, 2, false, 15);
  ASSERT_EQ(tl->GetNItems(), 7);
  EXPECT_STREQ(tl->GetItem(3), "      Party");
  EXPECT_STREQ(tl->GetItem(5), "      Boat");
  QDir().mkpath(LUMERIN_SHOTS);
  PlatformFrameWidget(mw->GetWindow())->grab().save(LUMERIN_SHOTS "/selector-timeline.png");
  // A single click on February selects its displayed records.
  ClickRow(2, 6, false);
  EXPECT_EQ(Files(true), (std::vector<std::string>{"img5.jpg", "img6.jpg"}));
  // A double click on January displays its three events from the catalogue.
  ClickRow(2, 2, true);
  EXPECT_STREQ(bc->rsrc, "*DB");
  EXPECT_EQ(Files(false),
            (std::vector<std::string>{"img1.jpg", "img2.jpg", "img3.jpg", "img4.jpg"}));
  // A year of one event: its search finds its records directly.
  tl = static_cast<PTimelineListDrawer*>(mw->GetSelectDrawer(2));
  tl->SelectAll(false);
  ASSERT_GE(tl->GetNItems(), 2);
  tl->Select(0, true);
  mw->ProcessTimelineSel(tl, true);
  EXPECT_EQ(Files(false), (std::vector<std::string>{"img0.jpg"}));
}

// The list is built again when the timeline changed (a new subject or year, an undo that takes
// one away); while it is the same the years are kept, closed and unselected as a new build is.
TEST_F(Selectors, TimelineListFollowsTheTimeline) {
  ShowFolder(3);
  const char* dates[] = {"2003:05:01 10:00:00", "2004:06:01 10:00:00", "2004:06:02 10:00:00"};
  for (int i = 0; i < 3; ++i) PDBsetString(&bc->rdisp[i], PDBFcapdate, dates[i]);
  ASSERT_EQ(mw->AddRecords(), 3);
  mw->UpdateSelectors();
  auto* tl = static_cast<PTimelineListDrawer*>(mw->GetSelectDrawer(2));
  auto items = [tl] {
    std::vector<std::string> v;
    for (int i = 0; i < tl->GetNItems(); ++i) v.push_back(tl->GetItem(i));
    return v;
  };
  // Sets the field of the record of the date.
  auto edit = [this](const char* date, PDBFieldID field, const char* value) {
    int i = bc->rdisp.GetSize() - 1;
    while (i >= 0 && strcmp(PDBgetString(bc->rdisp.Get(i), PDBFcapdate), date) != 0) --i;
    ASSERT_GE(i, 0);
    ASSERT_TRUE(b->NewChange("Set"));
    PDBsetString(b->ChangeRecord(i), field, value);
    ASSERT_EQ(b->CompleteChange(), 1);
    mw->UpdateSelectors();
  };
  const std::vector<std::string> years = {"> 2003", "> 2004"};
  ASSERT_EQ(items(), years);
  const PHFolder* top = tl->GetTop();

  // An edit of neither date nor subject, undone (its snapshot put back) and redone.
  edit(dates[0], PDBFtitle, "Harbour");
  for (bool undo : {true, false}) {
    tl->GetFolder(1)->Open(true);
    tl->PHierListDrawer::Update();
    tl->Select(0, true);
    ASSERT_TRUE(undo ? mw->Undo() : mw->Redo());
    EXPECT_EQ(tl->GetTop(), top);
    EXPECT_EQ(items(), years);
    EXPECT_EQ(tl->Solo(), -1);
  }

  // A new subject, the year's first event, shows when the year is opened.
  edit(dates[1], PDBFsubject, "Sea");
  tl->GetFolder(1)->Open(true);
  tl->PHierListDrawer::Update();
  tl->GetFolder(2)->Open(true);
  tl->PHierListDrawer::Update();
  EXPECT_EQ(items(),
            (std::vector<std::string>{"> 2003", "v 2004", "  v June", "      Sea", "      Trip"}));
  // A new year; undone, it goes.
  edit(dates[2], PDBFcapdate, "2005:01:01 10:00:00");
  EXPECT_EQ(items(), (std::vector<std::string>{"> 2003", "> 2004", "> 2005"}));
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(items(), years);
  ASSERT_TRUE(mw->Redo());
  EXPECT_EQ(items(), (std::vector<std::string>{"> 2003", "> 2004", "> 2005"}));
}

// The timeline's filter keeps exactly the records the whole chain of event selectors matches:
// random overlapping, reversed and one-instant events, dates differing in case, records with
// no date or several, and selectors that pass records lacking a field.
TEST_F(Selectors, RangeFilterEqualsPlainQuery) {
  std::mt19937 rng(39);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* subjects[] = {"Alps", "alps", "Beach", "City"};
  auto date = [&] {
    char d[64];
    snprintf(d, sizeof d, "2004:%02d:%02d %02d:00:00", 1 + pick(3), 1 + pick(28), pick(24));
    if (pick(20) == 0) d[4] = 'X';  // sorts among letters, compared without case
    if (pick(20) == 0) d[4] = 'x';
    return std::string(d);
  };
  for (int round = 0; round < 4; ++round) {
    const bool matchEmpty = round == 3;
    DBSearch search(&bc->pdb);
    DBRecord lo(&PDBFInfo), hi(&PDBFInfo);
    for (int e = 0, n = round == 0 ? 1 : 40 + pick(300); e < n; ++e) {
      lo.Clear();
      hi.Clear();
      lo.SetField(PDBFsubject, subjects[pick(4)]);
      hi.SetField(PDBFsubject, lo.GetField(PDBFsubject)->GetString(0));
      const std::string a = date(), z = pick(10) == 0 ? a : date();
      lo.SetField(PDBFcapdate, a.c_str());
      if (pick(8) != 0) hi.SetField(PDBFcapdate, z.c_str());
      ASSERT_EQ(search.AddSelector(lo, hi, matchEmpty), 1);
    }
    search.Reset();
    const DBQuery* q = search.GetQuery();
    DBRecordList list(&PDBFInfo, 2000);
    std::vector<int> expect;
    for (int i = 0; i < list.GetSize(); ++i) {
      DBRecord& r = list[i];
      r.SetField(PDBFfile, ("f" + std::to_string(i)).c_str());
      if (pick(10) != 0) r.SetField(PDBFsubject, subjects[pick(4)]);
      const int ndates = pick(10) == 0 ? pick(3) : 1;
      std::vector<std::string> ds;
      for (int d = 0; d < ndates; ++d) ds.push_back(date());
      std::vector<const char*> dp;
      for (const std::string& d : ds) dp.push_back(d.c_str());
      if (ndates == 1) r.SetField(PDBFcapdate, dp[0]);
      if (ndates > 1) r.SetField(PDBFcapdate, dp.data(), ndates);
      if (r.MatchQuery(q)) expect.push_back(i);
    }
    if (round > 0) {
      EXPECT_GT(expect.size(), 10u);
    }
    EXPECT_EQ(KeepMatching(&list, q, PDBFcapdate), static_cast<int>(expect.size()));
    std::vector<int> kept;
    for (int i = 0; i < list.GetSize(); ++i)
      kept.push_back(std::stoi(list.Get(i).GetField(PDBFfile)->GetString(0) + 1));
    EXPECT_EQ(kept, expect) << "round " << round;
  }
}

// A 1 x 1 BMP picture.
void WriteBMP(const std::string& path) {
  const unsigned char bmp[58] = {
      'B', 'M', 58,   0,    0, 0, 0, 0, 0,  0, 54, 0, 0, 0, 40,   0,    0,    0, 1,    0,
      0,   0,   1,    0,    0, 0, 1, 0, 24, 0, 0,  0, 0, 0, 4,    0,    0,    0, 0x13, 0x0B,
      0,   0,   0x13, 0x0B, 0, 0, 0, 0, 0,  0, 0,  0, 0, 0, 0x20, 0x40, 0x80, 0};
  ctxtest::WriteFile(path, std::string(reinterpret_cast<const char*>(bmp), sizeof bmp));
}

TEST_F(Selectors, FolderTree) {
  TakeMountTable("");  // no volumes: the tree is the home folder and the root
  const std::string h = home.path();
  for (const char* d : {"/Pictures/2004/May", "/Docs", "/Many"})
    QDir().mkpath(QString::fromStdString(h + d));
  WriteBMP(h + "/Pictures/img.bmp");
  ctxtest::WriteFile(h + "/Docs/notes.txt", "not a picture");
  ASSERT_EQ(mkfifo((h + "/Docs/pipe").c_str(), 0600), 0);  // never opened: it would block
  for (int i = 1; i <= 1030; ++i)
    QDir().mkdir(QString::fromStdString(h + "/Many/d" + std::to_string(i)));
  mw->GetSelector()->Select(1);
  mw->UpdateSelectorList(1);
  auto* files = static_cast<PFileListDrawer*>(mw->GetSelectDrawer(1));
  ASSERT_GE(files->GetNItems(), 2);
  EXPECT_EQ(std::string(files->GetItem(0)),
            "> " + QDir(QString::fromStdString(h)).dirName().toStdString());
  EXPECT_STREQ(files->GetItem(1), "> /");
  // A click on the mark opens the home folder: '*' for the folder with a picture, no mark for
  // one with neither pictures nor folders; digit runs by value.
  ClickRow(1, 0, false, 5);
  ASSERT_GE(files->GetNItems(), 5);
  EXPECT_STREQ(files->GetItem(1), "    Docs");
  EXPECT_STREQ(files->GetItem(2), "  > Many");
  EXPECT_STREQ(files->GetItem(3), "  > *Pictures");
  EXPECT_EQ(files->GetFolder(1)->Open(true), 0);
  PHFolder* many = files->GetFolder(2);
  ASSERT_EQ(many->Open(true), 1);
  int n = 0;
  const PHFolder* last = nullptr;
  for (const PHFolder* c = many->child; c != nullptr; last = c, c = c->sibling, ++n)
    if (last != nullptr) {
      EXPECT_LT(std::stoi(last->GetName() + 1), std::stoi(c->GetName() + 1));
    }
  EXPECT_EQ(n, 1024);
  // The list built again keeps its scroll.
  files->PHierListDrawer::Update();
  LScroll(0, 500, files->GetList());
  ListBounds before, after;
  GetListVisibleCells(files->GetList(), &before);
  files->PHierListDrawer::Update();
  GetListVisibleCells(files->GetList(), &after);
  EXPECT_EQ(before.top, after.top);
  EXPECT_GT(after.top, 0);

  // Opening the tree at a folder selects its row; a file is not a folder.
  mw->UpdateSelectorList(1);
  EXPECT_EQ(files->SelectFolder((h + "/Pictures/2004/May").c_str(), false), 1);
  const int row = files->Solo();
  ASSERT_GE(row, 0);
  EXPECT_STREQ(files->GetItem(row), "        May");
  EXPECT_EQ(files->SelectFolder((h + "/Docs/notes.txt").c_str(), false), 0);
  QDir().mkpath(LUMERIN_SHOTS);
  PlatformFrameWidget(mw->GetWindow())->grab().save(LUMERIN_SHOTS "/selector-folders.png");

  // A double click loads the folder, which is selected in the tree again.
  mw->UpdateSelectorList(1);
  ClickRow(1, 0, false, 5);
  ClickRow(1, 3, true);
  EXPECT_EQ(Files(false), std::vector<std::string>{"img.bmp"});
  const int again = files->Solo();
  ASSERT_GE(again, 0);
  EXPECT_STREQ(files->GetItem(again), "  > *Pictures");
}

// A line of the kernel's mount table.
std::string MountLine(int id, const std::string& point) {
  return std::to_string(id) + " 1 8:" + std::to_string(id) + " / " + point +
         " rw,relatime shared:1 - ext4 /dev/sd" + std::to_string(id) + " rw\n";
}

// A volume under a mount root joins the tree's top level after the home folder and "/"; a path
// on it opens from the volume, the longest top-level folder beginning it, not from "/".
TEST_F(Selectors, FolderTreeVolumes) {
  std::string root;
  for (const std::string& r : MountRoots())
    if (root.empty() && access(r.c_str(), W_OK) == 0) root = r;
  if (root.empty()) GTEST_SKIP() << "no writable mount root to hold a volume";
  QTemporaryDir vol(QString::fromStdString(root + "/lumerin-vol-XXXXXX"));
  ASSERT_TRUE(vol.isValid());
  const std::string v = vol.path().toStdString();
  const std::string name = v.substr(v.rfind('/') + 1);
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(v + "/2005/May")));
  // A mount inside the volume is no volume of its own.
  TakeMountTable(MountLine(1, "/") + MountLine(2, v) + MountLine(3, v + "/2005"));
  mw->GetSelector()->Select(1);
  mw->UpdateSelectorList(1);
  auto* files = static_cast<PFileListDrawer*>(mw->GetSelectDrawer(1));
  ASSERT_EQ(files->GetNItems(), 3);
  EXPECT_STREQ(files->GetItem(1), "> /");
  EXPECT_EQ(std::string(files->GetItem(2)), "> " + name);
  ASSERT_EQ(files->SelectFolder((v + "/2005/May").c_str(), false), 1);
  const PHFolder* f = files->GetFolder(files->Solo());
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->GetName(), "May");
  while (f->parent != nullptr) f = f->parent;
  EXPECT_EQ(std::string(static_cast<const PFileFolder*>(f)->GetPath(nullptr)), v);
  EXPECT_EQ(files->GetNItems(), 5);  // nothing opened under "/"
  TakeMountTable("");
  mw->UpdateSelectorList(1);
  EXPECT_EQ(files->GetNItems(), 2);
}

}  // namespace
