// The end-to-end walk: the program's own entry with its home and XDG folders in a temporary
// place, on the offscreen platform, driven as a user drives it (menu commands, typed text and
// clicks), each window it shows grabbed to a picture in the build folder. Later work adds its
// steps to the walk.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/shell/pshell.h"
#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "toolkit/pdrawer.h"

namespace {

// A step waits until its condition holds (looked at every 10 ms), then acts.
struct Step {
  std::string name;
  std::function<bool()> ready;
  std::function<void()> act;
};

std::vector<Step> steps;
size_t next = 0;
std::vector<std::string> done;

void Shot(WindowRef w, const char* name) {
  QDir().mkpath(LUMERIN_SHOTS);
  PlatformFrameWidget(w)->grab().save(QString(LUMERIN_SHOTS "/e2e-") + name + ".png");
}

bool Menu(WindowRef w, const char* text) {
  QMenuBar* bar = PlatformFrameWidget(w)->findChild<QMenuBar*>();
  for (QAction* top : bar ? bar->actions() : QList<QAction*>())
    if (top->menu())
      for (QAction* a : top->menu()->actions())
        if (a->text().remove('&') == QString::fromUtf8(text)) {
          a->trigger();
          return true;
        }
  return false;
}

QWidget* Widget(WindowRef w, const char* sig, int id) {
  ControlID cid{FourCC({sig[0], sig[1], sig[2], sig[3], 0}), id};
  ControlRef c = nullptr;
  return GetControlByID(w, &cid, &c) == noErr ? PlatformControlWidget(c) : nullptr;
}

void Drive() {
  auto* t = new QTimer(QCoreApplication::instance());  // goes with the application
  QObject::connect(t, &QTimer::timeout, [t] {
    if (next >= steps.size()) {
      t->stop();
      t->deleteLater();
      return;
    }
    Step& s = steps[next];
    if (!s.ready()) return;
    ++next;
    done.push_back(s.name);
    // An action may run a nested loop (a dialog's wait): it runs from an event of its own, so
    // that this timer goes on firing inside that loop for the next step.
    QTimer::singleShot(0, s.act);
  });
  t->start(10);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// ---- Browsing a folder of test pictures.

std::string Status() {
  ControlID cid{FourCC("pict"), 132};
  ControlRef c = nullptr;
  char buf[256];
  return GetControlByID(gMain->GetWindow(), &cid, &c) == noErr &&
                 GetControlText(c, buf, sizeof buf, true)
             ? buf
             : "";
}

PBrowser* Browser() {
  return static_cast<PBrowser*>(gMain->GetBrowser());
}

QElapsedTimer sinceClick;

// A press and release in the middle of cell (row, col) of the grid, as a person clicks.
void ClickCell(int row, int col, Qt::KeyboardModifiers m) {
  PBrowser* b = Browser();
  const int ts = b->ThumbSize();
  const QPoint p(b->extent.left + col * (ts + 24) + 24 + ts / 2,
                 b->extent.top + row * (16 + ts + 24) + 24 + ts / 2);
  QWidget* w = PlatformContentWidget(gMain->GetWindow());
  QTimer::singleShot(0, [=] { QTest::mouseRelease(w, Qt::LeftButton, m, p); });
  QTest::mousePress(w, Qt::LeftButton, m, p);
  sinceClick.start();
}

// Chooses the test pictures' folder in the folder dialog, clicks and Shift-clicks thumbnails,
// then shows them at the other sizes and as the table. Without the test pictures an empty
// folder is chosen and only the dialog and the empty browser are seen.
void AddBrowsing() {
  static std::string folder = std::string(LUMERIN_TESTDATA) + "/jpeg";
  const bool pictures = QDir(QString::fromStdString(folder)).exists();
  if (!pictures) folder = QDir::tempPath().toStdString();
  steps.push_back({"the folder dialog shows",
                   [] { return PlatformFileDialog() && PlatformFileDialog()->isVisible(); },
                   [] {
                     QFileDialog* d = PlatformFileDialog();
                     QDir().mkpath(LUMERIN_SHOTS);
                     d->grab().save(LUMERIN_SHOTS "/e2e-04-folder-dialog.png");
                     d->setDirectory(QString::fromStdString(folder));  // and nothing typed
                     if (auto* e = d->findChild<QLineEdit*>("fileNameEdit")) e->clear();
                     QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
                   }});
  steps.push_back({"the folder's thumbnails show",
                   [] {
                     return Status().find(" files") != std::string::npos ||
                            Status().find(" records") != std::string::npos;
                   },
                   [] {
                     Shot(gMain->GetWindow(), "05-browser");
                     EXPECT_STREQ(gMain->bc.rsrc, folder.c_str());
                   }});
  if (!pictures) return;
  steps.back().act = [] {
    Shot(gMain->GetWindow(), "05-browser");
    EXPECT_STREQ(gMain->bc.rsrc, folder.c_str());
    EXPECT_GE(gMain->bc.rdisp.GetSize(), 20);
    ClickCell(0, 1, {});
  };
  steps.push_back({"one record selected",
                   [] { return Status().rfind("1 of ", 0) == 0 && sinceClick.elapsed() > 500; },
                   [] {
                     Shot(gMain->GetWindow(), "06-selected");
                     ClickCell(1, 3, Qt::ShiftModifier);
                   }});
  steps.push_back({"a range selected",
                   [] {
                     const int n = gMain->bc.TotalSelected();
                     return n > 1 && Status().rfind(std::to_string(n) + " of ", 0) == 0 &&
                            sinceClick.elapsed() > 500;
                   },
                   [] {
                     // From the second record of the first row to the fourth of the second.
                     EXPECT_EQ(gMain->bc.TotalSelected(), Browser()->ntcols + 3);
                     Shot(gMain->GetWindow(), "07-range");
                     EXPECT_TRUE(Menu(gMain->GetWindow(), "Large Thumbnails"));
                   }});
  steps.push_back({"large thumbnails", [] { return Browser()->tnDenom == 2; },
                   [] {
                     Shot(gMain->GetWindow(), "08-large");
                     EXPECT_TRUE(Menu(gMain->GetWindow(), "Small Thumbnails"));
                   }});
  steps.push_back({"small thumbnails", [] { return Browser()->tnDenom == 8; },
                   [] {
                     Shot(gMain->GetWindow(), "09-small");
                     EXPECT_TRUE(Menu(gMain->GetWindow(), "Small Thumbnails"));  // again: the table
                   }});
  steps.push_back({"the table", [] { return Browser()->tnDenom == 0 && Browser()->listh; },
                   [] {
                     Shot(gMain->GetWindow(), "10-table");
                     EXPECT_GT(gMain->bc.TotalSelected(), 1);
                   }});
}

TEST(EndToEnd, Walk) {
  QTemporaryDir home;
  const std::string h = home.path().toStdString();
  setenv("HOME", h.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (h + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (h + "/cache").c_str(), 1);
  setenv("XDG_STATE_HOME", (h + "/state").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (h + "/run").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  auto mainShown = [] { return gMain && IsWindowVisible(gMain->GetWindow()); };
  steps = {
      {"the main window shows", mainShown,
       [] {
         Shot(gMain->GetWindow(), "01-main");
         EXPECT_TRUE(Menu(gMain->GetWindow(), "About Lumerin"));
       }},
      {"About shows", [] { return IsWindowVisible(gAboutWindow); },
       [] {
         Shot(gAboutWindow, "02-about");
         QTest::mouseClick(PlatformContentWidget(gAboutWindow), Qt::LeftButton, {},
                           QPoint(60, 160));
       }},
      {"About closes", [] { return !IsWindowVisible(gAboutWindow); },
       [] { EXPECT_TRUE(Menu(gMain->GetWindow(), "Preferences...")); }},
      {"Preferences shows", [] { return IsWindowVisible(gPrefWindow); },
       [] {
         auto* e = qobject_cast<QLineEdit*>(Widget(gPrefWindow, "pref", 136));
         ASSERT_NE(e, nullptr);
         e->clear();
         QTest::keyClicks(e, "64");
         Shot(gPrefWindow, "03-preferences");
         QTest::mouseClick(qobject_cast<QAbstractButton*>(Widget(gPrefWindow, "bttn", 2)),
                           Qt::LeftButton);
       }},
      {"Preferences closes", [] { return !IsWindowVisible(gPrefWindow); },
       [] { EXPECT_TRUE(Menu(gMain->GetWindow(), "Browse Folder...")); }},
  };
  AddBrowsing();
  steps.push_back({"the walk ends", [] { return true; },
                   [] { EXPECT_TRUE(Menu(gMain->GetWindow(), "Quit")); }});
  char arg0[] = "lumerin";
  char* argv[] = {arg0, nullptr};
  const int status = LumerinMain(1, argv, Drive);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(done.size(), steps.size());
  const std::string log = ReadFile(h + "/state/lumerin/Lumerin.txt");
  EXPECT_NE(log.find("Initializing preferences"), std::string::npos) << log;
}

}  // namespace
