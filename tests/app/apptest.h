// Helpers of the application tests: a home in a temporary folder, the interface made as start-up
// makes it, and driving real widgets (buttons clicked once their window shows, menu items).
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/core/papp.h"
#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/phooks.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "formats/stdformats.h"
#include "thumbs/pthumb.h"
#include "platform/pcontrol.h"
#include "platform/pmenu.h"
#include "toolkit/pcommand.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"
#include "testutil/control_text.h"
#include "testutil/home_env.h"
#include "testutil/wait_until.h"

// HOME and the XDG folders in a fresh temporary folder.
class TempHome {
 public:
  TempHome() { UseHomeAt(path()); }
  // Removed byte for byte: the folder's own removal gives up at a name that is not UTF-8.
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(path(), ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  std::string path() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
};

// Undoes what a start-up set up in this process, before the test's home goes: the thumbnail
// cache is closed and the preferences and the log are forgotten, so that the next start-up, in
// another home, reads its own.
inline void ForgetStartUp() {
  PthumbManager().SetCacheDirectory(nullptr);
  PresetPreferences();
}

// While it lives, the test's start-ups are undone at its end (made after the home).
struct StartUpForgotten {
  StartUpForgotten() = default;
  StartUpForgotten(const StartUpForgotten&) = delete;
  StartUpForgotten& operator=(const StartUpForgotten&) = delete;
  ~StartUpForgotten() { ForgetStartUp(); }
};

// An xdg-open first on $PATH (in bin) that notes each item it is given in a log and ends with
// the status given, once it has read a line from the pipe gate when one is named; without a
// status ends, xdg-open is nowhere on $PATH.
class FakeOpener {
 public:
  explicit FakeOpener(const std::string& bin, int status = 0, const std::string& gate = "")
      : log(bin + "/opened.txt") {
    QDir().mkpath(QString::fromStdString(bin));
    const std::string script = bin + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log << "'\n"
                          << (gate.empty() ? "" : "read line < '" + gate + "'\n") << "exit "
                          << status << "\n";
    QFile::setPermissions(QString::fromStdString(script),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  }
  FakeOpener(const FakeOpener&) = delete;
  FakeOpener& operator=(const FakeOpener&) = delete;
  ~FakeOpener() { setenv("PATH", oldPath.c_str(), 1); }
  std::string Opened() const {
    std::ifstream in(log);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string log, oldPath;
};

// While it lives, answers every alert that shows (OK), keeping the texts in order.
class AlertsAnswered {
 public:
  AlertsAnswered() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (gAlertWindow == nullptr || !IsWindowVisible(gAlertWindow)) return;
      ControlID cid{FourCC("alrt"), 128}, ok{FourCC("bttn"), 1};
      ControlRef c = nullptr;
      texts.push_back(GetControlByID(gAlertWindow, &cid, &c) == noErr ? WholeControlText(c) : "");
      if (GetControlByID(gAlertWindow, &ok, &c) == noErr)
        QTest::mouseClick(qobject_cast<QAbstractButton*>(PlatformControlWidget(c)), Qt::LeftButton);
    });
    timer_.start(5);
  }
  std::vector<std::string> texts;

 private:
  QTimer timer_;
};

// Captures standard error from construction to Text(); Qt's own notes meanwhile (the offscreen
// platform's on what it cannot do) are dropped, as they are not the program's.
class ProgramStderr {
 public:
  ProgramStderr()
      : qt_(qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {})) {
    testing::internal::CaptureStderr();
  }
  ProgramStderr(const ProgramStderr&) = delete;
  ProgramStderr& operator=(const ProgramStderr&) = delete;
  ~ProgramStderr() {
    if (!taken_) Text();
  }
  std::string Text() {
    taken_ = true;
    qInstallMessageHandler(qt_);
    return testing::internal::GetCapturedStderr();
  }

 private:
  QtMessageHandler qt_;
  bool taken_ = false;
};

// The interface as start-up makes it (forms, windows, dialogs, handlers), ready for events;
// no preferences and no loop.
class AppInterface {
 public:
  AppInterface() {
    PregisterInterface("main");
    PregisterHooks();
    status = PcreateInterface();
    PinstallEventHandlers();
    dmessage_alert = PalertHook;
    gInterfaceReady = 1;
  }
  ~AppInterface() {
    PclearQuit();
    gInterfaceReady = 0;
    dmessage_alert = nullptr;
    PdestroyInterface();
  }
  int status;
};

// A test in a home of its own with the interface and the standard readers, and a fresh folder of
// the home for its files; problems are looked at by the test, not shown (with quiet, not written
// to standard error either, from then on).
class FolderTest : public ::testing::Test {
 protected:
  FolderTest(const char* sub, bool quiet) : dir(home.path() + "/" + sub), quiet_(quiet) {}
  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    dmessage_alert = nullptr;
    dmessage_last_class = DMCnerr;
    if (quiet_)
      for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    mkdir(dir.c_str(), 0755);
  }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  TempHome home;
  AppInterface app;
  std::string dir;

 private:
  bool quiet_;
};

template <class T>
struct Same {
  using type = T;
};

// Puts fn in the place of one of the core's hooks and gives back the one it replaced.
template <class F>
F SwapHook(F PAppHooks::*hook, typename Same<F>::type fn) {
  PAppHooks h = PappHooks();
  const F old = h.*hook;
  h.*hook = fn;
  PsetAppHooks(h);
  return old;
}

inline ControlRef ControlOf(WindowRef w, const char* sig, int id) {
  ControlID cid{FourCC({sig[0], sig[1], sig[2], sig[3], 0}), id};
  ControlRef c = nullptr;
  return GetControlByID(w, &cid, &c) == noErr ? c : nullptr;
}

inline QWidget* WidgetOf(WindowRef w, const char* sig, int id) {
  ControlRef c = ControlOf(w, sig, id);
  return c ? PlatformControlWidget(c) : nullptr;
}

inline std::string TextOf(WindowRef w, const char* sig, int id) {
  return WholeControlText(ControlOf(w, sig, id));
}

// The main window's status line, once a problem blinking there first (on a timer, beside the work)
// has made way for the text asked for last.
inline std::string StatusLine() {
  if (PstatusBlinks())
    testutil::WaitUntil([] { return !PstatusBlinks(); }, [] { checkEvents(0.02); });
  return TextOf(gMain->GetWindow(), "pict", 132);
}

// Runs f once window w shows (looking every 5 ms for up to 5 s of real time), then clicks the
// button (sig, id) of w unless sig is NULL. Returns the watcher, which a caller that expects the
// window only maybe deletes once it is no longer wanted.
inline QTimer* WhenShown(WindowRef w, std::function<void()> f, const char* sig = nullptr,
                         int id = 0) {
  auto* t = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(t, &QTimer::timeout, [=] {
    if (!IsWindowVisible(w) && ++*tries < 1000) return;
    t->stop();
    t->deleteLater();
    if (f) f();
    if (sig)
      if (auto* b = qobject_cast<QAbstractButton*>(WidgetOf(w, sig, id)))
        QTest::mouseClick(b, Qt::LeftButton);
  });
  t->start(5);
  return t;
}

// Chooses the file at path in a file dialog: its folder opened and its name in the name field.
inline void ChooseFile(PFileDialog* d, const std::string& path) {
  d->SelectFile(path);
}

// Triggers the first menu item of the window's menu bar whose text (without '&') is text.
inline bool TriggerMenu(WindowRef w, const char* text) {
  QWidget* frame = PlatformFrameWidget(w);
  QMenuBar* bar = frame ? frame->findChild<QMenuBar*>() : nullptr;
  if (bar == nullptr) return false;
  for (QAction* top : bar->actions())
    if (top->menu())
      for (QAction* a : top->menu()->actions())
        if (a->text().remove('&') == QString::fromUtf8(text)) {
          a->trigger();
          return true;
        }
  return false;
}

// Puts n small JPEG pictures (p0.jpg, p1.jpg, ...) in a new folder.
inline bool PutPictures(const std::string& folder, int n) {
  if (!QDir().mkpath(QString::fromStdString(folder))) return false;
  for (int i = 0; i < n; ++i) {
    QImage im(64, 48, QImage::Format_RGB32);
    im.fill(QColor(40 * i, 90, 200 - 40 * i));
    if (!im.save(QString::fromStdString(folder + "/p" + std::to_string(i) + ".jpg"), "JPEG"))
      return false;
  }
  return true;
}

// Writes the preferences file of the home h (a TempHome's) holding only the values given (name,
// value): the rest take their defaults at the next start.
inline bool WritePreferences(const std::string& h,
                             const std::vector<std::pair<std::string, std::string>>& values) {
  if (!QDir().mkpath(QString::fromStdString(h + "/config/lumerin"))) return false;
  std::string text = "LumerinPreferences = {\n";
  for (const auto& v : values) text += v.first + " = " + PrefsPath(v.second) + "\n";
  std::ofstream out(h + "/config/lumerin/Lumerin", std::ios::binary);
  out << text << "}\t// LumerinPreferences\n";
  return static_cast<bool>(out.flush());
}

// The texts the main window's status line showed during the last RunProgramUntil, in order, each
// change once: what the user saw there, a problem blinked before the work's words included.
inline std::vector<std::string>& StatusShown() {
  static std::vector<std::string> shown;
  return shown;
}

// Whether the status line showed a text holding part during the last RunProgramUntil.
inline bool StatusShowed(const std::string& part) {
  for (const std::string& s : StatusShown())
    if (s.find(part) != std::string::npos) return true;
  return false;
}

// A run of the program with args (its name first), its preferences read anew, that quits from
// its menu once ready() holds (looked at every 5 ms once the main window shows, for a minute at
// most) and then act() (when given) did its part. The program's exit status.
inline int RunProgramUntil(std::vector<std::string> args, bool (*ready)(),
                           void (*act)() = nullptr) {
  static bool (*readyNow)();
  static void (*actNow)();
  readyNow = ready;
  actNow = act;
  StatusShown().clear();
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  PresetPreferences();
  return LumerinMain(static_cast<int>(args.size()), argv.data(), [] {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [t] {
      static int ticks;
      if (gMain == nullptr || !IsWindowVisible(gMain->GetWindow())) return;
      const std::string status = TextOf(gMain->GetWindow(), "pict", 132);
      if (StatusShown().empty() || StatusShown().back() != status) StatusShown().push_back(status);
      if (!readyNow() && ++ticks < 12000) return;
      ticks = 0;
      t->stop();
      t->deleteLater();
      if (actNow != nullptr) actNow();
      TriggerMenu(gMain->GetWindow(), "Quit");
    });
    t->start(5);
  });
}

// Sends a command event of the kind (process or update) to the target.
inline OSStatus SendCommand(const char* code, UInt32 kind = kEventCommandProcess,
                            EventTargetRef target = GetApplicationEventTarget()) {
  HICommand cmd{0, FourCC({code[0], code[1], code[2], code[3], 0}), nullptr, 0};
  EventRef ev = nullptr;
  CreateEvent(kEventClassCommand, kind, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  OSStatus r = SendEventToEventTarget(ev, target);
  ReleaseEvent(ev);
  return r;
}

// The action of the first menu item carrying the command.
inline QAction* MenuAction(const char* code) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1, &m,
                                  &i) != noErr)
    return nullptr;
  return PlatformMenuItemAction(m, i);
}

inline bool MenuEnabled(const char* code) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  return GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1,
                                     &m, &i) == noErr &&
         IsMenuItemEnabled(m, i);
}

// The records titled title that a fresh reader finds in the catalogue (or shadow catalogue) at
// path; -1 when it cannot be read.
inline int TitledOnDisk(const std::string& path, const char* title) {
  PContext reader;
  if (!reader.OpenDB(path.c_str(), true)) return -1;
  int n = 0;
  for (int i = 0; i < reader.pdb.TotalRecords(); i++) {
    DBRecord r;
    if (reader.pdb.GetRecords(&r, 1, i) != 1) return -1;
    const char* t = PDBgetString(r, PDBFtitle);
    n += t != nullptr && strcmp(t, title) == 0;
  }
  reader.CloseDB();
  return n;
}
