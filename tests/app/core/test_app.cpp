// The application object: the recent-catalogue menu, the lone selected record, the update and
// process tables with no window in front, a refused quit, and whole runs of the program.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <QProcess>

#include "app/core/pforms.h"
#include "app/hdrpano/pforms.h"
#include "app/core/pbusy.h"
#include "app/mainwin/pmainw.h"
#include "app/image/pforms.h"
#include "app/mainwin/pforms.h"
#include "app/prefs/pforms.h"
#include "apptest.h"
#include "standins.h"
#include "catalog/pdbase.h"
#include "catalog/pfileinfo.h"
#include "db/test_faultfs.h"
#include "support/bytetext.h"
#include "support/futil.h"
#include "testutil/file_bytes.h"
#include "testutil/no_file_modes.h"
#include "testutil/wait_until.h"

namespace {

class App : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  void SetUp() override { ASSERT_EQ(app.status, 0); }
};

void StoreRecent(const std::vector<std::string>& paths) {
  DBHeaderLink* v = PprefLink()->FindVar("RecentCatalog");
  while (v->NSet() > 0) v->DeleteSVal(0);
  for (const std::string& p : paths) v->InsertSVal(p.c_str(), -1);
}

std::string ItemText(int item) {
  MenuRef m = nullptr;
  MenuItemIndex cata = 0;
  GetIndMenuItemWithCommandID(nullptr, FourCC("cata"), 1, &m, &cata);
  char buf[256];
  UInt32 n = 0;
  GetMenuItemText(m, static_cast<MenuItemIndex>(item), buf, sizeof buf, &n);
  return std::string(buf, std::min<UInt32>(n, sizeof buf));
}

bool ItemHidden(int item) {
  MenuRef m = nullptr;
  MenuItemIndex cata = 0;
  GetIndMenuItemWithCommandID(nullptr, FourCC("cata"), 1, &m, &cata);
  return IsMenuItemHidden(m, static_cast<MenuItemIndex>(item));
}

bool ItemEnabled(int item) {
  MenuRef m = nullptr;
  MenuItemIndex cata = 0;
  GetIndMenuItemWithCommandID(nullptr, FourCC("cata"), 1, &m, &cata);
  return IsMenuItemEnabled(m, static_cast<MenuItemIndex>(item));
}

TEST_F(App, RecentCataloguesAndTheLoneRecord) {
  const std::string a = home.path() + "/a.qdb", b = home.path() + "/b.qdb";
  for (const std::string& p : {a, b}) {
    PContext c;
    ASSERT_TRUE(c.OpenDB(p.c_str()));
  }
  StoreRecent({a, home.path() + "/gone.qdb", b});
  checkCatalogs();
  EXPECT_TRUE(ItemEnabled(1));
  EXPECT_FALSE(ItemEnabled(2));  // not readable
  EXPECT_TRUE(ItemEnabled(3));
  EXPECT_FALSE(ItemEnabled(4));
  EXPECT_FALSE(ItemEnabled(5));
  EXPECT_EQ(ItemText(1), "a.qdb");
  EXPECT_EQ(ItemText(2), "gone.qdb");
  EXPECT_EQ(ItemText(3), "b.qdb");
  // The unused slots are hidden; a used one shows again.
  for (int item = 1; item <= 5; ++item) EXPECT_EQ(ItemHidden(item), item > 3) << item;
  StoreRecent({a, b, home.path() + "/c.qdb", home.path() + "/d.qdb"});
  checkCatalogs();
  EXPECT_FALSE(ItemHidden(4));
  EXPECT_EQ(ItemText(4), "d.qdb");
  StoreRecent({a, home.path() + "/gone.qdb", b});
  checkCatalogs();
  EXPECT_TRUE(ItemHidden(4));

  openCatalog(FourCC("cat1"));  // none open: the first
  ASSERT_TRUE(gMain->bc.Ready());
  EXPECT_EQ(gMain->bc.LockPath(), home.path() + "/a.lock");
  gMain->bc.CloseDB();
  gMain->bc.OpenDB(a.c_str());
  openCatalog(FourCC("cat2"));  // one open: the third stored path
  EXPECT_EQ(gMain->bc.LockPath(), home.path() + "/b.lock");
  dmessage_alert = nullptr;
  openCatalog(FourCC("cat9"));
  EXPECT_STREQ(dmessage_record[DMCparameter], "Unknown command in openCatalog");
  gMain->bc.CloseDB();
  openCatalog(FourCC("cat3"));  // the list is now b, a, gone: opening moved b to the front
  EXPECT_EQ(std::string(dmessage_record[DMCresource]),
            "Missing catalog '" + home.path() + "/gone.qdb'");
  EXPECT_EQ(StatusLine(), "No catalog");
  EXPECT_TRUE(IsWindowVisible(gMain->GetWindow()));

  PContextState& st = gMain->bc;
  st.rdisp.Init(&PDBFInfo, 3);
  st.rsel.NewBitMap(3, false);
  EXPECT_EQ(loneRecord(nullptr), nullptr);
  st.rsel.Set(1);
  EXPECT_EQ(loneRecord(&st), &st.rdisp[1]);
  st.rsel.Set(2);
  EXPECT_EQ(loneRecord(&st), nullptr);
}

TEST_F(App, UpdatesWithNoWindowInFront) {
  for (const char* c : {"save", "tmed", "pref", "dir ", "hist"})
    enableMenuCommand(FourCC({c[0], c[1], c[2], c[3], 0}), true);
  checkMenuCommand(FourCC("hist"), true);
  for (const char* c : {"save", "tmed", "pref", "dir ", "hist", "subj"})
    SendCommand(c, kEventCommandUpdateStatus);
  EXPECT_FALSE(MenuEnabled("save"));
  EXPECT_FALSE(MenuEnabled("tmed"));
  EXPECT_TRUE(MenuEnabled("pref"));
  EXPECT_TRUE(MenuEnabled("dir "));
  EXPECT_FALSE(MenuEnabled("hist"));
  EXPECT_FALSE(MenuEnabled("sub3"));  // the whole subject menu
  EXPECT_EQ(SendCommand("zzzz", kEventCommandUpdateStatus), eventNotHandledErr);
  EXPECT_EQ(SendCommand("zzzz"), eventNotHandledErr);
}

// Help opens the user's guide at its first page, which the build keeps beside the program as
// it is installed; Check for Updates opens the address the build was given and is greyed without
// one; an opener that cannot be started or fails raises an alert saying what could not be
// opened, and every way Help fails names the guide's file, so that it can be opened by hand.
TEST_F(App, HelpUpdatesAndTheLogOpenOrSayWhyNot) {
  const std::string doc = PhelpDocument();
  const std::string page = "/share/doc/lumerin/guide/index.html";
  ASSERT_GT(doc.size(), page.size());
  ASSERT_EQ(doc.compare(doc.size() - page.size(), page.size(), page), 0) << doc;
  EXPECT_NE(ReadAll(doc).find("<title>Lumerin User's Guide</title>"), std::string::npos);
  AlertsAnswered answered;
  const std::vector<std::string>& alerts = answered.texts;
  {
    FakeOpener opener(home.path() + "/ok");
    EXPECT_EQ(SendCommand("phlp"), noErr);
    const char* const built = gUpdatesAddress;
    gUpdatesAddress = "";
    SendCommand("ckud", kEventCommandUpdateStatus);
    EXPECT_FALSE(MenuEnabled("ckud"));
    gUpdatesAddress = "https://updates.example.org/lumerin";
    SendCommand("ckud", kEventCommandUpdateStatus);
    EXPECT_TRUE(MenuEnabled("ckud"));
    SendCommand("ckud");
    gUpdatesAddress = built;
    auto lines = [&] {
      const std::string o = opener.Opened();
      return std::count(o.begin(), o.end(), '\n');
    };
    testutil::WaitUntil([&] { return lines() >= 2; }, [] { checkEvents(0.01); });
    checkEvents(0.05);  // a failure would be reported by now
    // The two openers run side by side: either may note its item first.
    std::vector<std::string> items;
    std::istringstream in(opener.Opened());
    for (std::string line; std::getline(in, line);) items.push_back(line);
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{doc, "https://updates.example.org/lumerin"}));
  }
  EXPECT_TRUE(alerts.empty());
  const std::string byHand = "Cannot open the user's guide '" + doc + "': ";
  const std::string advice = "; open that file in a web browser";
  {
    FakeOpener opener(home.path() + "/failing", 4);  // the program it chose failed
    SendCommand("phlp");
    testutil::WaitUntil([&] { return !alerts.empty(); }, [] { checkEvents(0.01); });
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], byHand + "xdg-open failed (status 4)" + advice);
  }
  // No opener at all: neither the guide's nor the log's viewer can be started.
  snprintf(gErrLogFile, sizeof gErrLogFile, "%s/state.txt", home.path().c_str());
  const std::string path = getenv("PATH");
  setenv("PATH", (home.path() + "/empty").c_str(), 1);
  SendCommand("phlp");
  SendCommand("elog");
  setenv("PATH", path.c_str(), 1);
  testutil::WaitUntil([&] { return alerts.size() >= 3; }, [] { checkEvents(0.01); });
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[1], byHand + "xdg-open could not be started" + advice);
  EXPECT_EQ(alerts[2], "Cannot open the log '" + std::string(gErrLogFile) +
                           "': xdg-open could not be started");
  // A guide that is not where it belongs: the place is named.
  const char* const installed = gHelpGuide;
  gHelpGuide = "share/doc/lumerin/guide/gone.html";
  SendCommand("phlp");
  gHelpGuide = installed;
  testutil::WaitUntil([&] { return alerts.size() >= 4; }, [] { checkEvents(0.01); });
  ASSERT_EQ(alerts.size(), 4u);
  EXPECT_EQ(alerts[3], "Cannot open the user's guide: '" + doc.substr(0, doc.rfind('/')) +
                           "/gone.html' is missing");
  // An opener that fails after the command ended, when a problem of work outside any command was
  // alerted meanwhile: the guide's failure is alerted too.
  {
    const std::string gate = home.path() + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    FakeOpener opener(home.path() + "/late", 4, gate);
    SendCommand("phlp");
    testutil::WaitUntil([&] { return !opener.Opened().empty(); }, [] { checkEvents(0.01); });
    DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot sync the catalog");
    ASSERT_EQ(alerts.size(), 5u);
    std::ofstream(gate) << "fail\n";
    testutil::WaitUntil([&] { return alerts.size() >= 6; }, [] { checkEvents(0.01); });
    ASSERT_EQ(alerts.size(), 6u);
    EXPECT_EQ(alerts[5], byHand + "xdg-open failed (status 4)" + advice);
  }
}

// The text of HTML source with its character references decoded and its runs of white space
// made one blank.
std::string HtmlText(const std::string& source) {
  static const std::pair<const char*, const char*> kNamed[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  std::string out;
  for (size_t i = 0; i < source.size(); ++i) {
    const char c = source[i];
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      if (out.empty() || out.back() != ' ') out += ' ';
      continue;
    }
    const size_t semi = c == '&' ? source.find(';', i) : std::string::npos;
    if (semi == std::string::npos || semi - i > 10) {
      out += c;
      continue;
    }
    const std::string ref = source.substr(i + 1, semi - i - 1);
    bool known = false;
    for (const auto& [name, text] : kNamed)
      if (ref == name) out += text, known = true;
    if (!known && ref.size() > 1 && ref[0] == '#') {
      const char32_t u =
          static_cast<char32_t>(ref[1] == 'x' ? std::stoul(ref.substr(2), nullptr, 16)
                                              : std::stoul(ref.substr(1), nullptr, 10));
      out += QString::fromUcs4(&u, 1).toStdString();
      known = true;
    }
    if (!known) {
      out += c;
      continue;
    }
    i = semi;
  }
  return out;
}

// The texts of the elements <open ...>text</close> in source, decoded.
std::vector<std::string> Marked(const std::string& source, const std::string& open,
                                const std::string& close) {
  std::vector<std::string> found;
  for (size_t at = source.find(open); at != std::string::npos; at = source.find(open, at + 1)) {
    const size_t end = source.find(close, at);
    if (end == std::string::npos) break;
    std::string text = HtmlText(source.substr(at + open.size(), end - at - open.size()));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    found.push_back(text);
  }
  return found;
}

// The values of the attributes name="..." in source.
std::vector<std::string> Attributes(const std::string& source, const std::string& name) {
  std::vector<std::string> values;
  const std::string open = " " + name + "=\"";
  for (size_t at = source.find(open); at != std::string::npos; at = source.find(open, at + 1)) {
    const size_t from = at + open.size(), end = source.find('"', from);
    if (end == std::string::npos) break;
    values.push_back(source.substr(from, end - from));
  }
  return values;
}

// The user's guide where Help opens it: a first page of contents linking every page; every link
// relative, leading to a file of the guide and to a place that is in it; no script and no
// address of a network; and every item of the menu bar the program installs named as the menus
// show it, marked as a command, its key (where it has one) beside it in a row of the guide.
TEST_F(App, TheGuideNamesEveryMenuCommandWithItsKeyAndNeedsNothingElse) {
  const std::string doc = PhelpDocument();
  ASSERT_FALSE(doc.empty());
  const std::string dir = doc.substr(0, doc.rfind('/'));
  std::map<std::string, std::string> pages;  // every file of the guide by name
  for (const QString& name : QDir(QString::fromStdString(dir)).entryList(QDir::Files))
    pages[name.toStdString()] = ReadAll(dir + "/" + name.toStdString());
  ASSERT_EQ(pages.count("index.html"), 1u);

  std::set<std::string> commands;                       // the texts marked as commands
  std::set<std::pair<std::string, std::string>> keyed;  // (command, key) sharing a row
  std::set<std::string> fromContents;                   // the pages the first page links
  for (const auto& [name, source] : pages) {
    std::string lower = source;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* banned : {"<script", "http:", "https:"})
      EXPECT_EQ(lower.find(banned), std::string::npos) << name << " holds " << banned;
    std::vector<std::string> links = Attributes(source, "href");
    for (const std::string& s : Attributes(source, "src")) links.push_back(s);
    for (size_t at = source.find("url("); at != std::string::npos; at = source.find("url(", at + 1))
      links.push_back(source.substr(at + 4, source.find(')', at) - at - 4));
    for (const std::string& link : links) {
      EXPECT_TRUE(link.find(':') == std::string::npos && link.rfind('/', 0) != 0)
          << name << " links outside the guide: " << link;
      const size_t hash = link.find('#');
      const std::string file = hash == std::string::npos ? link : link.substr(0, hash);
      const std::string target = file.empty() ? name : file;
      if (pages.count(target) == 0) {
        ADD_FAILURE() << name << " links to a missing file: " << link;
        continue;
      }
      if (hash != std::string::npos) {
        EXPECT_NE(pages[target].find("id=\"" + link.substr(hash + 1) + "\""), std::string::npos)
            << name << " links to a missing place: " << link;
      }
      if (name == "index.html") fromContents.insert(target);
    }
    for (const std::string& c : Marked(source, "<span class=\"cmd\">", "</span>"))
      commands.insert(c);
    for (size_t at = source.find("<tr>"); at != std::string::npos;
         at = source.find("<tr>", at + 1)) {
      const std::string row = source.substr(at, source.find("</tr>", at) - at);
      for (const std::string& c : Marked(row, "<span class=\"cmd\">", "</span>"))
        for (const std::string& k : Marked(row, "<kbd>", "</kbd>")) keyed.insert({c, k});
    }
  }
  for (const auto& page : pages) {
    const std::string& name = page.first;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0 && name != "index.html") {
      EXPECT_EQ(fromContents.count(name), 1u) << "the contents do not link " << name;
    }
  }

  // Left out: the recent catalogues and the recent values of the setting submenus, which show
  // the user's own names (hidden until there are some): "cat1", "sub1" ... "oth9".
  const std::string kRecent[] = {"cat", "sub", "own", "alb", "key", "oth"};
  // The texts the program gives the Undo, Redo and Repeat items as it goes.
  const std::set<std::string> kAsItGoes = {"Undo", "Can't Undo", "Redo", "Repeat Setting",
                                           "Repeat Set"};
  QMenuBar* bar = PlatformFrameWidget(gMain->GetWindow())->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  std::set<std::string> items;
  std::function<void(const QList<QAction*>&)> walk = [&](const QList<QAction*>& actions) {
    for (QAction* a : actions) {
      if (a->isSeparator()) continue;
      const std::string code = a->property("command").toString().toStdString();
      if (code.size() == 4 && code[3] >= '1' && code[3] <= '9' &&
          std::find(std::begin(kRecent), std::end(kRecent), code.substr(0, 3)) != std::end(kRecent))
        continue;
      // An item's text as the menus show it, read through the platform's menus (the bar adds
      // the keyboard letters); a menu's title without its letter's mark.
      std::string shown = a->text().remove('&').toStdString();
      MenuRef m = nullptr;
      MenuItemIndex i = 0;
      char text[256];
      UInt32 n = 0;
      if (code.size() == 4 &&
          GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1,
                                      &m, &i) == noErr &&
          GetMenuItemText(m, i, text, sizeof text, &n) == noErr)
        shown.assign(text, std::min<UInt32>(n, sizeof text));
      items.insert(shown);
      EXPECT_EQ(commands.count(shown), 1u) << "the guide does not name \"" << shown << "\"";
      const std::string key = a->shortcut().toString(QKeySequence::PortableText).toStdString();
      if (!key.empty()) {
        EXPECT_EQ(keyed.count({shown, key}), 1u)
            << "the guide does not give \"" << shown << "\" its key " << key;
      }
      if (a->menu() != nullptr) walk(a->menu()->actions());
    }
  };
  walk(bar->actions());
  EXPECT_GE(items.size(), 100u);  // every menu was walked
  for (const std::string& c : commands)
    EXPECT_TRUE(items.count(c) == 1 || kAsItGoes.count(c) == 1)
        << "the guide names \"" << c << "\", which no menu holds";
}

// An image window that keeps its unsaved images.
class KeepingImager : public StandInImager {
 public:
  int CloseImages(bool ask) override { return ask ? 0 : 1; }
};

TEST_F(App, ARefusedQuitIsCancelled) {
  IImageWindow* real = gImager;
  KeepingImager keeping;
  gImager = &keeping;
  EXPECT_EQ(SendCommand("quit"), -128);
  EXPECT_STREQ(dmessage_record[DMCtrace], "User cancelled application quit");
  EXPECT_FALSE(PquitRequested());
  gImager = real;
  EXPECT_EQ(SendCommand("quit"), noErr);
  EXPECT_TRUE(PquitRequested());
}

TEST_F(App, DialogHandlersAnswerAndHide) {
  struct {
    WindowRef w;
    const char* cmd;
  } cases[] = {{gInputWindow, "cstm"},
               {gSaveWindow, "ok  "},
               {gPanoWindow, "not!"},
               {gFieldWindow, "ok  "},
               {gPrefWindow, "not!"}};
  for (auto& c : cases) {
    ShowWindow(c.w);
    EXPECT_EQ(SendCommand(c.cmd, kEventCommandProcess, GetWindowEventTarget(c.w)), noErr);
    EXPECT_FALSE(IsWindowVisible(c.w));
    EXPECT_EQ(gConfirmResponse, FourCC({c.cmd[0], c.cmd[1], c.cmd[2], c.cmd[3], 0}));
  }
  AboutCommandHandler(gAboutWindow);
  EXPECT_TRUE(IsWindowVisible(gAboutWindow));
  QTest::mouseClick(PlatformContentWidget(gAboutWindow), Qt::LeftButton, {}, QPoint(50, 150));
  EXPECT_FALSE(IsWindowVisible(gAboutWindow));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The whole program, quit from its menu once the main window shows.
TEST(Program, StartsShowsTheMainWindowAndQuitsFromTheMenu) {
  TempHome home;
  StartUpForgotten forget;
  PresetPreferences();  // a run of its own, whatever ran in this process before
  static std::vector<WindowRef> order;
  static bool quitChosen = false, handled = false;
  char arg0[] = "lumerin";
  char* argv[] = {arg0, nullptr};
  const int status = LumerinMain(1, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
      t->stop();
      t->deleteLater();
      order = {gMain->GetWindow(), gInfo->GetWindow(), gFind->GetWindow(), gImager->GetWindow()};
      for (const PDialogSlot& d : PdialogSlots()) order.push_back(*d.window);
      handled = SendCommand("pref", kEventCommandUpdateStatus) == noErr;
      quitChosen = TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(quitChosen);
  EXPECT_TRUE(handled);  // the application's handler was in place
  ASSERT_EQ(order.size(), 22u);
  // Handles are drawn from one rising counter: the windows were made in table order.
  for (size_t i = 1; i < order.size(); ++i) EXPECT_LT(order[i - 1], order[i]) << i;
  EXPECT_EQ(gMain, nullptr);
  EXPECT_EQ(gAlertWindow, nullptr);
  EXPECT_EQ(gInterfaceReady, 0);
  const std::string log = ReadFile(home.path() + "/state/lumerin/Lumerin.txt");
  EXPECT_NE(log.find("info: Initializing preferences"), std::string::npos) << log;
  EXPECT_NE(log.find("info: Opened shadow catalog '" + home.path() + "/cache/lumerin/Lumerin.qdb'"),
            std::string::npos)
      << log;
}

// A little-endian TIFF of one row of eight 1-bit pixels.
std::string OneBitTiff() {
  std::string t("II*\0\x08\0\0\0", 8);
  auto put16 = [&t](unsigned v) {
    t += static_cast<char>(v & 0xFF);
    t += static_cast<char>(v >> 8);
  };
  const unsigned entries[][3] = {{256, 3, 8}, {257, 3, 1},   {258, 3, 1}, {259, 3, 1},
                                 {262, 3, 1}, {273, 4, 110}, {278, 3, 1}, {279, 4, 1}};
  put16(8);
  for (const auto& e : entries) {
    put16(e[0]);
    put16(e[1]);
    put16(1);
    put16(0);
    put16(e[2]);
    put16(0);
  }
  put16(0);
  put16(0);
  return t + '\x55';  // at 110
}

// Pictures named on the command line open by their first bytes whatever their names; each one
// that cannot be opened, whatever the bytes of its name, is named with the reason once in the log
// and in the one alert, in the order given, and nothing reaches standard error.
TEST(Program, PicturesOnTheCommandLineOpenOrAreNamedOnceWithTheReason) {
  const std::string data = LUMERIN_TESTDATA;
  if (access((data + "/exr/Rec709_YC.exr").c_str(), R_OK) != 0)
    GTEST_SKIP() << "no test pictures at " << data;
  TempHome home;
  StartUpForgotten forget;
  PresetPreferences();
  const std::string jpeg = ReadAll(data + "/jpeg/Canon_40D.jpg");
  const struct {
    const char* name;
    std::string bytes;
    const char* why;  // null: it opens
  } cases[] = {
      {"png.jpg", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16),
       "not a picture this program reads (PNG)"},
      {"empty.jpg", "", "empty file"},
      {"notes.jpg", "a line of text\n", "not a picture"},
      {"caf\xE9.jpg", "a line of text\n", "not a picture"},
      {"raw.jpg", std::string("\0\0\0\0 bytes", 10), "not a picture this program reads"},
      {"bilevel.tif", OneBitTiff(), "unsupported bits/sample (1)"},
      {"yc.exr", ReadAll(data + "/exr/Rec709_YC.exr"), "unsupported YC OpenEXR"},
      {"cut.exr", ReadAll(data + "/exr/Desk.exr").substr(0, 40), "damaged EXR header"},
      {"canon", jpeg, nullptr},
      {"desk", ReadAll(data + "/hdr/desk_strip7x96_imagemagick_flat.hdr"), nullptr},
      {"canon.png", jpeg, nullptr},
  };
  std::vector<std::string> args = {"lumerin"};
  for (const auto& c : cases) {
    WriteAll(home.path() + "/" + c.name, c.bytes);
    args.push_back(home.path() + "/" + c.name);
  }
  // Last, since a path that names nothing ends the list.
  const std::string missing = home.path() + "/missing.jpg";
  args.push_back(missing);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  static int opened, ticks;
  opened = -1;
  ticks = 0;
  AlertsAnswered alerts;
  ProgramStderr err;
  const int status = LumerinMain(static_cast<int>(args.size()), argv.data(), [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      // The documents are all handled once the missing one is told (or not told in 10 s).
      const char* last = dmessage_record[DMCresource];
      const bool told = last != nullptr && strstr(last, "missing.jpg") != nullptr;
      if (IsWindowVisible(gAlertWindow) || (!told && ++ticks < 2000)) return;
      t->stop();
      t->deleteLater();
      opened = gImager->ImageCount();
      TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(opened, 3);
  const std::string log = ReadFile(home.path() + "/state/lumerin/Lumerin.txt");
  std::string alerted = "9 documents could not be opened:";
  auto toldOnce = [&](const std::string& path, const char* cls, const std::string& why) {
    const std::string named = "Cannot open '" + ShownLine(path) + "'";
    const size_t at = log.find(named);
    EXPECT_NE(log.find(cls + named + ": " + why + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(named, at + 1), std::string::npos) << log;
    alerted += "\nCannot open '" + path + "': " + why;
  };
  for (const auto& c : cases) {
    const std::string path = home.path() + "/" + c.name;
    if (c.why == nullptr)
      EXPECT_EQ(log.find(ShownLine(path)), std::string::npos) << log;
    else
      toldOnce(path, "data: ", c.why);
  }
  toldOnce(missing, "resource: ", strerror(ENOENT));
  EXPECT_EQ(alerts.texts, std::vector<std::string>{ShownText(alerted)});
}

// Documents named on the command line are alerted after start-up alerted a problem of its own
// (the recent catalogue gone): a picture that cannot be opened, its name not UTF-8, with its own
// message, then a record file of no records after it.
TEST(Program, DocumentsThatCannotBeOpenedAreAlertedAfterTheStartsOwnAlert) {
  TempHome home;
  StartUpForgotten forget;
  const std::string gone = home.path() + "/gone.qdb", doc = home.path() + "/caf\xE9.jpg";
  const std::string table = home.path() + "/notes\xE9.txt";
  WriteAll(doc, "a line of text\n");
  WriteAll(table, "a line of text\n");
  PresetPreferences();
  InitPreferences();
  StoreRecent({gone});
  SavePreferences();
  PresetPreferences();
  AlertsAnswered alerts;
  std::string arg0 = "lumerin", arg1 = doc, arg2 = table;
  char* argv[] = {&arg0[0], &arg1[0], &arg2[0], nullptr};
  const int status = LumerinMain(3, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      static int ticks;
      // The documents handled once the record file is told (given a minute at most).
      const char* last = dmessage_record[DMCdata];
      const bool told = last != nullptr && strstr(last, "notes") != nullptr;
      if (IsWindowVisible(gAlertWindow) || (!told && ++ticks < 12000)) return;
      ticks = 0;
      t->stop();
      t->deleteLater();
      TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(alerts.texts,
            (std::vector<std::string>{"Missing catalog '" + gone + "'",
                                      "Cannot open '" + ShownText(doc) + "': not a picture",
                                      "No records read from '" + ShownText(table) + "'"}));
}

// Another copy of the program, in a process of its own, holding the write locks of the
// catalogues dbs until the object goes.
class CopyHoldingLocks {
 public:
  explicit CopyHoldingLocks(const std::vector<std::string>& dbs) {
    int ready[2], hold[2];
    if (pipe(ready) != 0) return;
    if (pipe(hold) != 0) {
      close(ready[0]);
      close(ready[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      std::vector<std::vector<char>> locks(dbs.size(), std::vector<char>(PContext::kPathLen, 0));
      char took = 'y';
      for (size_t i = 0; i < dbs.size(); ++i)
        if (!PContext::WriteLock(locks[i].data(), dbs[i].c_str())) took = 'n';
      if (write(ready[1], &took, 1) != 1) _exit(2);
      for (char b; read(hold[0], &b, 1) > 0;) {
      }
      _exit(0);  // the locks end with the process
    }
    close(ready[1]);
    close(hold[0]);
    holdFd_ = hold[1];
    char took = 0;
    holding = pid_ > 0 && read(ready[0], &took, 1) == 1 && took == 'y';
    close(ready[0]);
  }
  ~CopyHoldingLocks() {
    if (holdFd_ >= 0) close(holdFd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  CopyHoldingLocks(const CopyHoldingLocks&) = delete;
  CopyHoldingLocks& operator=(const CopyHoldingLocks&) = delete;
  bool holding = false;

 private:
  pid_t pid_ = -1;
  int holdFd_ = -1;
};

// A catalogue named on the command line that another copy of the program has open for writing
// opens read-only, and the user is told why in an alert of its own, whatever start-up met
// first: a fresh account whose shadow catalogue the other copy holds too, preferences whose
// recent catalogue is gone, a shadow catalogue that cannot be opened (alerted at start-up).
// The main window ends telling the catalogue, not "No catalog"; it tells "No catalog" when the
// catalogue named cannot be opened at all.
TEST(Program, ACatalogueHeldByAnotherCopyOpensReadOnlyAndTheAlertSaysWhy) {
  QTemporaryDir shared;
  const std::string dir = shared.path().toStdString(), db = dir + "/photos.qdb";
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(db.c_str()));
  }
  const std::string damaged = dir + "/damaged.qdb";
  WriteAll(damaged, std::string(4096, 'x'));
  const std::string why =
      "Catalog '" + db + "' opened read-only: its lock file '" + dir + "/photos.lock' is held (";
  enum Start { freshShadowHeld, recentGone, shadowUnopenable, catalogDamaged };
  for (Start start : {freshShadowHeld, recentGone, shadowUnopenable, catalogDamaged}) {
    SCOPED_TRACE(start);
    TempHome home;
    PresetPreferences();
    const std::string cache = home.path() + "/cache/lumerin", shadow = cache + "/Lumerin.qdb";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(cache)));
    chmod(cache.c_str(), 0700);
    std::vector<std::string> held = {db};
    if (start == freshShadowHeld) held.push_back(shadow);
    if (start == recentGone) {
      InitPreferences();
      StoreRecent({home.path() + "/gone.qdb"});
      SavePreferences();
      PresetPreferences();
    }
    if (start == shadowUnopenable) {
      ASSERT_EQ(mkdir(shadow.c_str(), 0700), 0);
    }
    CopyHoldingLocks other(held);
    ASSERT_TRUE(other.holding);

    static bool shownAtEnd, readOnly, endsNoCatalog;
    static std::string title, said;
    shownAtEnd = readOnly = false;
    endsNoCatalog = start == catalogDamaged;
    AlertsAnswered alerts;
    std::string arg0 = "lumerin", arg1 = start == catalogDamaged ? damaged : db;
    char* argv[] = {&arg0[0], &arg1[0], nullptr};
    const int status = LumerinMain(2, argv, [] {
      auto* t = new QTimer;
      QObject::connect(t, &QTimer::timeout, [t] {
        static int ticks;
        WindowRef w = gMain != nullptr ? gMain->GetWindow() : nullptr;
        if (w == nullptr) return;
        const bool shown = IsWindowVisible(w);
        said = TextOf(w, "pict", 132);
        // Settled once the window tells the catalogue (or, for one that cannot be opened, "No
        // catalog") with no alert up; given a minute at most, however slow the machine.
        const bool told =
            endsNoCatalog ? said == "No catalog" : !said.empty() && said != "No catalog";
        if ((!shown || IsWindowVisible(gAlertWindow) || !told) && ++ticks < 12000) return;
        ticks = 0;
        t->stop();
        t->deleteLater();
        shownAtEnd = shown;
        readOnly = gMain->bc.Ready() && gMain->bc.ReadOnly();
        char buf[256] = "";
        UInt32 n = 0;
        GetWindowTitle(w, buf, sizeof buf, &n);
        title.assign(buf, std::min<UInt32>(n, sizeof buf));
        TriggerMenu(w, "Quit");
      });
      t->start(5);
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(shownAtEnd);
    std::string all;
    for (const std::string& a : alerts.texts) all += a + "\n";
    if (start == catalogDamaged) {
      EXPECT_EQ(title, "Lumerin");
      EXPECT_EQ(said, "No catalog");
      EXPECT_EQ(all, "Bad header in database file '" + damaged + "'\n");
      continue;
    }
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(title, "photos (Read-Only)");
    // The read-only catalogue is what the window tells at the end. ("No catalog" may flash
    // while a held start-up alert shows the window before the open-documents event arrives, as
    // a loaded machine orders them; that is a passing state, not the outcome.)
    EXPECT_NE(said, "No catalog");
    std::vector<std::string> want;
    if (start == shadowUnopenable) want.push_back("Cannot open shadow database '" + shadow + "'");
    ASSERT_EQ(alerts.texts.size(), want.size() + 1) << all;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(alerts.texts[i], want[i]);
    EXPECT_EQ(alerts.texts.back().compare(0, why.size(), why), 0) << alerts.texts.back();
  }
}

// A program the program starts (the log's viewer, from Help > Show Log) holds none of its
// files: not the catalogue open for writing, the shadow catalogue, the thumbnail database, their
// lock files, nor the log. The stand-in viewer lists where its open files lead.
TEST(Program, AProgramItStartsHoldsNoneOfItsFiles) {
  TempHome home;
  StartUpForgotten forget;
  PresetPreferences();
  const std::string db = home.path() + "/photos.qdb";
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(db.c_str()));
  }
  QTemporaryDir bin;
  static std::string listed;
  listed = bin.path().toStdString() + "/files.txt";
  {
    std::ofstream(bin.path().toStdString() + "/xdg-open")
        << "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > '" << listed
        << ".new'\nmv '" << listed << ".new' '" << listed << "'\n";
  }
  chmod((bin.path().toStdString() + "/xdg-open").c_str(), 0700);
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (bin.path().toStdString() + ":" + path).c_str(), 1);
  static bool writable, asked, shown;
  static int ticks;
  writable = asked = shown = false;
  ticks = 0;
  std::string arg0 = "lumerin", arg1 = db;
  char* argv[] = {&arg0[0], &arg1[0], nullptr};
  const int status = LumerinMain(2, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      WindowRef w = gMain != nullptr ? gMain->GetWindow() : nullptr;
      if (w == nullptr) return;
      // The catalogue open, then the log shown; the end once the viewer has listed its files
      // (a minute at most for each, however slow the machine).
      if (!asked) {
        if ((!IsWindowVisible(w) || !gMain->bc.Ready()) && ++ticks < 12000) return;
        writable = gMain->bc.Ready() && !gMain->bc.ReadOnly();
        asked = true;
        shown = TriggerMenu(w, "Show Log");
        ticks = 0;
      }
      if (shown && access(listed.c_str(), F_OK) != 0 && ++ticks < 12000) return;
      t->stop();
      t->deleteLater();
      TriggerMenu(w, "Quit");
    });
    t->start(5);
  });
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(writable);
  ASSERT_TRUE(shown);
  std::ifstream in(listed);
  ASSERT_TRUE(in.is_open()) << "the viewer was not started";
  int files = 0;
  for (std::string target; std::getline(in, target); files++)
    EXPECT_NE(target.compare(0, home.path().size() + 1, home.path() + "/"), 0) << target;
  EXPECT_GT(files, 2) << "the viewer listed its standard channels";
}

// Only a catalogue on the command line takes the place of the start-up option: a folder there is
// shown over the recent catalogue the option reopens, to which its pictures can be added.
TEST(Program, AFolderOnTheCommandLineShowsOverTheRecentCatalogue) {
  TempHome home;
  StartUpForgotten forget;
  const std::string db = home.path() + "/photos.qdb", folder = home.path() + "/pictures";
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(db.c_str()));
  }
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  for (int i = 0; i < 3; ++i) {
    QImage im(32, 24, QImage::Format_RGB32);
    im.fill(QColor(40 * i, 90, 200 - 40 * i));
    ASSERT_TRUE(
        im.save(QString::fromStdString(folder + "/p" + std::to_string(i) + ".jpg"), "JPEG"));
  }
  PresetPreferences();
  InitPreferences();
  StoreRecent({db});
  SavePreferences();
  PresetPreferences();

  static std::string title, source;
  static int shown;
  static bool addable;
  title = source = "";
  shown = -1;
  addable = false;
  AlertsAnswered alerts;
  std::string arg0 = "lumerin", arg1 = folder;
  char* argv[] = {&arg0[0], &arg1[0], nullptr};
  const int status = LumerinMain(2, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      static int ticks;
      WindowRef w = gMain != nullptr ? gMain->GetWindow() : nullptr;
      if (w == nullptr) return;
      // Settled once the folder's pictures show, given a minute at most.
      const bool loaded = IsWindowVisible(w) && gMain->bc.rdisp.GetSize() == 3 && !PisBusy();
      if (!loaded && ++ticks < 12000) return;
      ticks = 0;
      t->stop();
      t->deleteLater();
      char buf[256] = "";
      UInt32 n = 0;
      GetWindowTitle(w, buf, sizeof buf, &n);
      title.assign(buf, std::min<UInt32>(n, sizeof buf));
      source = gMain->bc.rsrc;
      shown = gMain->bc.rdisp.GetSize();
      addable = IsControlEnabled(ControlOf(w, "pict", 138));
      TriggerMenu(w, "Quit");
    });
    t->start(5);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(source, folder);
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(title, "photos");
  EXPECT_TRUE(addable);
  std::string all;
  for (const std::string& a : alerts.texts) all += a + "\n";
  EXPECT_EQ(all, "");
}

// A catalogue on a disk that goes away after its last save (a card pulled: every call on its
// files fails, "Transport endpoint is not connected"): Quit asks nothing and tells nothing, and
// the program ends as any quit does, its file holding every record. With a change made after the
// last save, Quit asks, naming the change, and Quit Without Saving ends the program as the user
// chose, the file keeping its last save.
TEST(Program, AQuitAfterTheCataloguesDiskWentAwayAsksOnlyAboutUnsavedChanges) {
  for (const bool unsaved : {false, true}) {
    SCOPED_TRACE(unsaved ? "a change not saved" : "everything saved");
    TempHome home;
    StartUpForgotten forget;
    PresetPreferences();
    static dbtest::GoneDisk card;
    static std::string db;
    static bool changed;
    static std::vector<std::string> asked;
    card.gone = false;
    db = home.path() + "/photos.qdb";
    changed = unsaved;
    asked.clear();
    AlertsAnswered alerts;
    // Every question of the confirm window is noted and answered Quit Without Saving.
    QTimer questions;
    QObject::connect(&questions, &QTimer::timeout, [] {
      if (gConfirmWindow == nullptr || !IsWindowVisible(gConfirmWindow)) return;
      asked.push_back(TextOf(gConfirmWindow, "cfrm", 128));
      if (auto* b = qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", 131)))
        QTest::mouseClick(b, Qt::LeftButton);
    });
    questions.start(5);
    char arg0[] = "lumerin";
    char* argv[] = {arg0, nullptr};
    const int status = LumerinMain(1, argv, [] {
      auto* t = new QTimer;
      QObject::connect(t, &QTimer::timeout, [t] {
        if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
        t->stop();
        t->deleteLater();
        PContext& bc = gMain->bc;
        bc.fileSystem = &card;
        EXPECT_TRUE(gMain->OpenCatalog(db.c_str()));
        auto add = [&bc](const char* name) {
          DBRecord r(&PDBFInfo);
          r.SetField(PDBFfile, name);
          r.SetField(PDBFlocation, "/card");
          r.SetField(PDBFnbytes, 100L);
          r.SetField(PDBFhashval, 7L);
          r.SetField(PDBFsubject, "Harbour");
          EXPECT_TRUE(bc.Checkpoint("Add", nullptr));
          bc.pdb.AddRecords(&r, 1);
        };
        add("saved.jpg");
        EXPECT_TRUE(bc.SyncDB());
        if (changed) add("unsaved.jpg");
        card.gone = true;
        TriggerMenu(gMain->GetWindow(), "Quit");
      });
      t->start(5);
    });
    EXPECT_EQ(status, 0);
    std::string all;
    for (const std::string& a : alerts.texts) all += a + "\n";
    EXPECT_EQ(all, "");
    const std::string log = ReadFile(home.path() + "/state/lumerin/Lumerin.txt");
    if (unsaved) {
      ASSERT_EQ(asked.size(), 1u);
      EXPECT_EQ(asked[0].rfind("Cannot save the catalog 'photos': ", 0), 0u) << asked[0];
      EXPECT_NE(asked[0].find("(Add on 1 record) are not saved"), std::string::npos) << asked[0];
    } else {
      EXPECT_EQ(asked, std::vector<std::string>{});
      EXPECT_EQ(log.find("Cannot save the catalog"), std::string::npos) << log;
      EXPECT_EQ(log.find("without the changes"), std::string::npos) << log;
    }
    card.gone = false;
    PContext reader;
    ASSERT_TRUE(reader.OpenDB(db.c_str(), true));
    EXPECT_EQ(reader.pdb.TotalRecords(), 1);
  }
}

// Users clear their cache and state folders to free room, keeping the preferences that name the
// folders. The next start makes the folders again: the pictures it shows get their thumbnails
// cached, what is set on them reaches the shadow catalogue, and the log is written, each where
// the preferences say, with nothing said about a folder. So it is too when the preferences put
// the shadow catalogue and the thumbnail cache in folders of their own, neither made with the
// other's, the thumbnail cache's two below the program's folder.
TEST(Program, AStartAfterTheCacheAndStateFoldersWereClearedMakesThemAgain) {
  for (const bool apart : {false, true}) {
    SCOPED_TRACE(apart ? "in folders apart" : "as the first start put them");
    TempHome home;
    StartUpForgotten forget;
    const std::string h = home.path(), folder = h + "/pictures";
    ASSERT_TRUE(PutPictures(folder, 3));
    const std::string cache = h + "/cache/lumerin";
    const std::string shadowFile = cache + (apart ? "/shadow/Lumerin.qdb" : "/Lumerin.qdb");
    const std::string thumbs = cache + (apart ? "/thumbs/cache" : "/LumerinCache");
    if (apart) {
      ASSERT_TRUE(WritePreferences(
          h, {{"ShadowCatalog", shadowFile}, {"ThumbnailCacheDirectory", thumbs}}));
    }
    ASSERT_EQ(RunProgramUntil({"lumerin"}, [] { return true; }), 0);
    const std::string prefs = ReadFile(h + "/config/lumerin/Lumerin");
    ASSERT_NE(prefs.find("ThumbnailCacheDirectory = " + PrefsPath(thumbs)), std::string::npos)
        << prefs;
    ASSERT_NE(prefs.find("ShadowCatalog = " + PrefsPath(shadowFile)), std::string::npos) << prefs;
    ASSERT_NE(prefs.find("ErrorLog = " + PrefsPath(h + "/state/lumerin/Lumerin.txt")),
              std::string::npos);
    ASSERT_TRUE(QDir(QString::fromStdString(h + "/cache")).removeRecursively());
    ASSERT_TRUE(QDir(QString::fromStdString(h + "/state")).removeRecursively());

    static bool shown;
    shown = false;
    AlertsAnswered alerts;
    const int status = RunProgramUntil(
        {"lumerin", folder},
        [] {
          // The folder's pictures, each with its final thumbnail, made in idle time (when there
          // is a cache to keep them).
          PContext& bc = gMain->bc;
          if (bc.rdisp.GetSize() != 3 || PisBusy()) return false;
          if (!PthumbManager().IsOpen()) return true;
          for (int i = 0; i < 3; ++i)
            if (!PthumbManager().FindThumbnail(nullptr, bc.rdisp[i])) return false;
          return shown = true;
        },
        [] {
          // A title set while browsing is kept for the picture in the shadow catalogue.
          PBrowser* b = static_cast<PMainWindow*>(gMain)->GetPBrowser();
          if (b->NewChange("Set")) {
            PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
            b->CompleteChange();
          }
        });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(shown);
    std::string all;
    for (const std::string& a : alerts.texts) all += a + "\n";
    EXPECT_EQ(all, "");
    for (const std::string& f : {cache, thumbs, PfolderOf(shadowFile), h + "/state/lumerin"}) {
      struct stat st;
      ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << f;
    }
    PThumbnailer cached(thumbs.c_str());
    PThumbnailerStats stats{};
    ASSERT_TRUE(cached.GetCacheStats(&stats));
    EXPECT_EQ(stats.nThumbs, 3);
    EXPECT_GT(stats.kUsed, 0);
    PContext shadow;
    ASSERT_TRUE(shadow.ShadowDB(shadowFile.c_str()));
    EXPECT_EQ(shadow.ShadowStore().TotalRecords(), 1);
    const std::string log = ReadFile(h + "/state/lumerin/Lumerin.txt");
    EXPECT_NE(log.find("Loaded folder '" + folder + "' (3 images)"), std::string::npos) << log;
    EXPECT_EQ(log.find("Cannot"), std::string::npos) << log;
  }
}

// Quit with an edit not yet saved while another copy of the program, in a process of its own,
// reads the file the edit goes to and is stopped in the middle of its read: the quit saves the
// edit first, the windows up and answering meanwhile (a 10 ms timer keeps firing, the main window
// shown, the Progress window saying "Saving catalog...") for as long as the other copy holds the
// file. Once it lets go the edit is written and the program ends, the edit on disk. A title set
// on a picture of a folder goes to the shadow catalogue; a record added goes to the catalogue.
TEST(Program, AQuitThatWaitsForAnotherCopyKeepsTheWindowsUpUntilTheEditIsOnDisk) {
  for (const bool catalogued : {false, true}) {
    SCOPED_TRACE(catalogued ? "the catalogue" : "the shadow catalogue");
    TempHome home;
    StartUpForgotten forget;
    PresetPreferences();
    const std::string h = home.path();
    // The pictures' folder, the catalogue (when one is open) and the file the edit goes to.
    static std::string folder, db, held;
    folder = h + "/pictures";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    for (int i = 0; i < 2; ++i) {
      QImage im(64, 48, QImage::Format_RGB32);
      im.fill(QColor(60 * i, 90, 200));
      ASSERT_TRUE(
          im.save(QString::fromStdString(folder + "/p" + std::to_string(i) + ".jpg"), "JPEG"));
    }
    db = catalogued ? h + "/photos.qdb" : "";
    held = catalogued ? db : h + "/cache/lumerin/Lumerin.qdb";
    // What the user sees while the quit waits, looked at every 10 ms.
    static struct Seen {
      std::unique_ptr<dbtest::StoppedCopy> reader;
      bool holding = false;  // the other copy held the file as Quit was chosen
      bool letGo = false;    // it let go while the program still ran
      int looks = 0;
      double longest = 0;    // seconds between two looks while the other copy held the file
      bool hidden = false;   // the main window went while the program ran
      std::string progress;  // what the Progress window said
      std::chrono::steady_clock::time_point last;
    } seen;
    seen = Seen();
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    QObject::connect(&look, &QTimer::timeout, [] {
      const auto now = std::chrono::steady_clock::now();
      if (seen.reader != nullptr && seen.reader->holding && seen.looks++ > 0)
        seen.longest =
            std::max(seen.longest, std::chrono::duration<double>(now - seen.last).count());
      seen.hidden = seen.hidden || !IsWindowVisible(gMain->GetWindow());
      if (IsWindowVisible(gProgressWindow)) seen.progress = TextOf(gProgressWindow, "prgs", 128);
      // Looked at a while, the Progress window shown, the other copy goes on.
      if (seen.reader != nullptr && seen.reader->holding && seen.looks >= 30 &&
          !seen.progress.empty()) {
        seen.reader->LetGo();
        seen.letGo = true;
      }
      seen.last = std::chrono::steady_clock::now();
    });
    static QTimer* looking;
    looking = &look;
    AlertsAnswered alerts;
    std::string arg0 = "lumerin", arg1 = folder;
    char* argv[] = {&arg0[0], &arg1[0], nullptr};
    const int status = LumerinMain(2, argv, [] {
      auto* t = new QTimer;
      QObject::connect(t, &QTimer::timeout, [t] {
        static int ticks;
        if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
        // The folder's pictures shown.
        PContext& bc = gMain->bc;
        if ((bc.rdisp.GetSize() != 2 || PisBusy()) && ++ticks < 12000) return;
        ticks = 0;
        t->stop();
        t->deleteLater();
        if (!db.empty()) {
          // A record added to the catalogue opened.
          EXPECT_TRUE(gMain->OpenCatalog(db.c_str()));
          DBRecord r(&PDBFInfo);
          r.SetField(PDBFfile, "p0.jpg");
          r.SetField(PDBFlocation, folder.c_str());
          r.SetField(PDBFnbytes, 100L);
          r.SetField(PDBFhashval, 7L);
          r.SetField(PDBFtitle, "Harbour");
          EXPECT_TRUE(bc.Checkpoint("Add", nullptr));
          EXPECT_EQ(bc.pdb.AddRecords(&r, 1), 1);
        } else {
          // A title set on a picture of the folder.
          PBrowser* b = static_cast<PMainWindow*>(gMain)->GetPBrowser();
          if (b->NewChange("Set")) {
            PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
            b->CompleteChange();
          }
        }
        seen.reader = std::make_unique<dbtest::StoppedCopy>(held);
        seen.holding = seen.reader->holding;
        looking->start(10);
        TriggerMenu(gMain->GetWindow(), "Quit");
      });
      t->start(5);
    });
    look.stop();
    printf("longest time between two looks while the other copy held the file: %.3f s\n",
           seen.longest);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(seen.holding);
    EXPECT_TRUE(seen.letGo);
    EXPECT_FALSE(seen.hidden);
    EXPECT_GE(seen.looks, 30);
    EXPECT_LT(seen.longest, 0.5);
    EXPECT_EQ(seen.progress, "Saving catalog...");
    std::string all;
    for (const std::string& a : alerts.texts) all += a + "\n";
    EXPECT_EQ(all, "");
    seen.reader.reset();
    EXPECT_EQ(TitledOnDisk(held, "Harbour"), 1);
  }
}

// A second Quit chosen while the quit saves an edit that another copy of the program holds back
// (it reads the shadow catalogue, stopped in the middle of its read) changes nothing: once the
// save is done the one quit goes on and asks about the temporary image open, once. Cancel there
// keeps the program running, the edit on disk; a later Quit ends it.
TEST(Program, ASecondQuitDuringTheQuitsSaveIsIgnored) {
  TempHome home;
  StartUpForgotten forget;
  const std::string h = home.path();
  static std::string shadow, temp;
  const std::string folder = h + "/pictures";
  shadow = h + "/cache/lumerin/Lumerin.qdb";
  temp = h + "/temporary.jpg";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  QImage im(64, 48, QImage::Format_RGB32);
  im.fill(QColor(60, 90, 200));
  for (const std::string& p : {folder + "/p0.jpg", folder + "/p1.jpg", temp})
    ASSERT_TRUE(im.save(QString::fromStdString(p), "JPEG"));
  static struct Seen {
    std::unique_ptr<dbtest::StoppedCopy> reader;
    bool holding = false, again = false, ending = false, running = false;
    int questions = 0;  // asked before the last Quit
    std::string question;
  } seen;
  seen = Seen();
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [] {
    // The Progress window up while the other copy holds the file: Quit again, then it goes on.
    if (seen.reader != nullptr && seen.reader->holding && !seen.again &&
        IsWindowVisible(gProgressWindow)) {
      seen.again = true;
      TriggerMenu(gMain->GetWindow(), "Quit");
      seen.reader->LetGo();
    }
    if (!IsWindowVisible(gConfirmWindow)) return;
    seen.question = TextOf(gConfirmWindow, "cfrm", 128);
    if (!seen.ending) ++seen.questions;
    // Cancel keeps the image and the program; Don't Save at the end.
    QTest::mouseClick(
        qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", seen.ending ? 131 : 130)),
        Qt::LeftButton);
  });
  look.start(10);
  AlertsAnswered alerts;
  const int status = RunProgramUntil(
      {"lumerin", folder}, [] { return gMain->bc.rdisp.GetSize() == 2 && !PisBusy(); },
      [] {
        // A title set on a picture of the folder, a temporary image open, and Quit while the
        // other copy holds the shadow catalogue; the last Quit is the run's own.
        PBrowser* b = static_cast<PMainWindow*>(gMain)->GetPBrowser();
        if (b->NewChange("Set")) {
          PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
          b->CompleteChange();
        }
        DBRecord r;
        PgrokFile(&r, temp.c_str());
        EXPECT_TRUE(gImager->AddTempImage(r));
        seen.reader = std::make_unique<dbtest::StoppedCopy>(shadow);
        seen.holding = seen.reader->holding;
        TriggerMenu(gMain->GetWindow(), "Quit");
        seen.running = IsWindowVisible(gMain->GetWindow());
        seen.reader.reset();
        seen.ending = true;
      });
  look.stop();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(seen.holding);
  EXPECT_TRUE(seen.again);
  EXPECT_EQ(seen.questions, 1);
  EXPECT_EQ(seen.question, "Do you wish to save this image?");
  EXPECT_TRUE(seen.running);
  EXPECT_EQ(alerts.texts, std::vector<std::string>{});
  EXPECT_EQ(TitledOnDisk(shadow, "Harbour"), 1);
  EXPECT_NE(access(temp.c_str(), F_OK), 0);  // not saved: the temporary file went
}

// A quit by signal cannot ask, and leaves its saves to the shut-down after the event loop has
// ended. There an edit another copy holds back (it reads the shadow catalogue, stopped in the
// middle of its read, for a second) is waited for with nothing handled and nothing shown: no
// event is dispatched (a 10 ms timer stands still) and no Progress window comes up, even at a
// pace that would show one at once. The edit is written once the other copy goes on.
TEST(Program, AQuitBySignalWaitsAtShutDownHandlingAndShowingNothing) {
  TempHome home;
  StartUpForgotten forget;
  PresetPreferences();
  const std::string h = home.path(), folder = h + "/pictures";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  QImage im(64, 48, QImage::Format_RGB32);
  im.fill(QColor(60, 90, 200));
  ASSERT_TRUE(im.save(QString::fromStdString(folder + "/p.jpg"), "JPEG"));
  static std::string shadow;
  shadow = h + "/cache/lumerin/Lumerin.qdb";
  // What happened once the main window went (at shut-down).
  static struct Seen {
    std::unique_ptr<dbtest::StoppedCopy> reader;
    bool holding = false;
    int ticks = 0;          // events handled
    int progressShown = 0;  // the Progress window came up
  } seen;
  seen = Seen();
  struct Shown : QObject {
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Show && gMain != nullptr && !IsWindowVisible(gMain->GetWindow()))
        ++seen.progressShown;
      return false;
    }
  } shown;
  static Shown* watching;
  watching = &shown;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [] {
    if (gMain != nullptr && !IsWindowVisible(gMain->GetWindow())) ++seen.ticks;
  });
  static QTimer* looking;
  looking = &look;
  double pumpEvery = 0, progressAfter = 0;
  PgetWorkPace(&pumpEvery, &progressAfter);
  AlertsAnswered alerts;
  std::string arg0 = "lumerin", arg1 = folder;
  char* argv[] = {&arg0[0], &arg1[0], nullptr};
  const int status = LumerinMain(2, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      static int ticks;
      if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
      if ((gMain->bc.rdisp.GetSize() != 1 || PisBusy()) && ++ticks < 12000) return;
      ticks = 0;
      t->stop();
      t->deleteLater();
      PBrowser* b = static_cast<PMainWindow*>(gMain)->GetPBrowser();
      if (b->NewChange("Set")) {
        PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
        b->CompleteChange();
      }
      seen.reader = std::make_unique<dbtest::StoppedCopy>(shadow, dbtest::StoppedCopy::reader, 1);
      seen.holding = seen.reader->holding;
      PlatformFrameWidget(gProgressWindow)->installEventFilter(watching);
      PsetWorkPace(0, 0);
      looking->start(10);
      PquitOnSignal(SIGTERM);
    });
    t->start(5);
  });
  PsetWorkPace(pumpEvery, progressAfter);
  look.stop();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(seen.holding);
  EXPECT_EQ(seen.ticks, 0);
  EXPECT_EQ(seen.progressShown, 0);
  std::string all;
  for (const std::string& a : alerts.texts) all += a + "\n";
  EXPECT_EQ(all, "");
  seen.reader.reset();
  EXPECT_EQ(TitledOnDisk(shadow, "Harbour"), 1);
}

// The run the test below starts in a process of its own, in the home it is given, where no
// file's mode can be set: the program starts for the first time there and quits once its main
// window shows, telling what it had.
TEST(Program, DISABLED_FirstStartWhereNoModeCanBeSet) {
  if (!NoModeCanBeSet()) {
    printf("\nNO FILTER\n");
    return;
  }
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool refused = fchmod(fd, 0700) != 0 && errno == ENOSYS;
  close(fd);
  ASSERT_TRUE(refused);
  PresetPreferences();
  char arg0[] = "lumerin";
  char* argv[] = {arg0, nullptr};
  const int status = LumerinMain(1, argv, [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
      t->stop();
      t->deleteLater();
      printf("\nTHUMBNAILS %s\nSHADOW %s\nLOG %s\n",
             PthumbManager().IsOpen() ? thumbCacheDir : "none",
             gMain->bc.ShadowReady() ? gShadowCatalog : "none", gErrLogFile);
      TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
  printf("\nSTATUS %d\n", status);
}

// Where no folder's mode can be set (a home on a FAT disk: every call that sets a mode fails with
// ENOSYS), the program's own folders, made with no access for others, are used from its first
// start: the thumbnail cache and the shadow catalogue are open, the log is written in its folder
// and the preferences are saved at quit; no folder is refused.
TEST(Program, WhereNoFolderModeCanBeSetTheFoldersAreUsedFromTheFirstStart) {
  TempHome home;
  const std::string h = home.path();
  const std::string out = RunWhereNoModeCanBeSet("Program.DISABLED_FirstStartWhereNoModeCanBeSet");
  if (out.find("\nNO FILTER\n") != std::string::npos)
    GTEST_SKIP() << "this system lets no process filter its calls: no file system without "
                    "permissions can be stood for";
  EXPECT_NE(out.find("\nSTATUS 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nTHUMBNAILS " + h + "/cache/lumerin/LumerinCache\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\nSHADOW " + h + "/cache/lumerin/Lumerin.qdb\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nLOG " + h + "/state/lumerin/Lumerin.txt\n"), std::string::npos) << out;
  const std::string log = ReadFile(h + "/state/lumerin/Lumerin.txt");
  EXPECT_NE(log.find("Wrote preferences to '" + h + "/config/lumerin/Lumerin'"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Cannot protect folder"), std::string::npos) << log;
  EXPECT_NE(ReadFile(h + "/config/lumerin/Lumerin").find("ShadowCatalog"), std::string::npos);
  for (const char* f : {"/config/lumerin", "/cache/lumerin", "/state/lumerin"}) {
    struct stat st;
    ASSERT_EQ(stat((h + f).c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 077, 0u) << f;
  }
}

// Each hook left unregistered stops start-up before anything is made, naming the hook.
TEST(Program, AMissingHookStopsStartUpNamingIt) {
  TempHome home;
  PregisterInterface("main");
  PregisterHooks();
  const PAppHooks all = PappHooks();
  const struct {
    void (*clear)(PAppHooks* h);
    const char* name;
  } cases[] = {{[](PAppHooks* h) { h->makeMainWindow = nullptr; }, "makeMainWindow"},
               {[](PAppHooks* h) { h->makeInfoWindow = nullptr; }, "makeInfoWindow"},
               {[](PAppHooks* h) { h->makeFindWindow = nullptr; }, "makeFindWindow"},
               {[](PAppHooks* h) { h->makeImageWindow = nullptr; }, "makeImageWindow"},
               {[](PAppHooks* h) { h->importRecords = nullptr; }, "importRecords"},
               {[](PAppHooks* h) { h->checkRecords = nullptr; }, "checkRecords"},
               {[](PAppHooks* h) { h->dragRecords = nullptr; }, "dragRecords"},
               {[](PAppHooks* h) { h->pageSetup = nullptr; }, "pageSetup"},
               {[](PAppHooks* h) { h->closePrintSession = nullptr; }, "closePrintSession"},
               {[](PAppHooks* h) { h->changePreferences = nullptr; }, "changePreferences"}};
  EXPECT_EQ(PmissingAppHook(), nullptr);
  for (const auto& c : cases) {
    PAppHooks h = all;
    c.clear(&h);
    PsetAppHooks(h);
    EXPECT_EQ(Prun(), 1) << c.name;
    EXPECT_EQ(std::string(dmessage_record[DMCparameter]),
              std::string("Start-up stopped: the hook ") + c.name + " is not registered");
    EXPECT_EQ(gMain, nullptr) << c.name;
    EXPECT_EQ(gInterfaceReady, 0);
  }
  PsetAppHooks(all);
}

TEST(Program, ANibWithoutTheInfoWindowEndsWithOne) {
  TempHome home;
  PregisterInterface("noinfo", "InfoWindow");
  PregisterHooks();
  gNibName = "noinfo";
  const uint32_t flags = dmessage_class_flags[DMCresource];
  dmessage_class_flags[DMCresource] &= ~DMAalert;
  EXPECT_EQ(Prun(), 1);
  dmessage_class_flags[DMCresource] = flags;  // the runs after this one alert as ever
  gNibName = "main";
  EXPECT_STREQ(dmessage_record[DMCresource], "Cannot create Info window");
  EXPECT_EQ(gInterfaceReady, 0);
  // No handler was installed: the application does not know the commands.
  EXPECT_EQ(SendCommand("elog"), eventNotHandledErr);
  PdestroyInterface();
}

}  // namespace
