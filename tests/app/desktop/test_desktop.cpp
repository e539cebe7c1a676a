// The program on a real X server with a window manager of the test's own (skipped where the
// tools for one are absent): an alert stays above every window of the program while it waits,
// whichever of them a person brings to the front meanwhile, and its OK still answers. What is
// above what is read from the server's stacking of the managed windows; every wait is for a
// state the server shows.
#include <QApplication>
#include <QWindow>
#include <clocale>
#include <functional>
#include <map>

#include "app/image/pforms.h"
#include "apptest.h"
#include "testutil/watchdog.h"
#include "testutil/x_desktop.h"

namespace {

testutil::XDesktop* gDesktop = nullptr;

unsigned long XIdOf(WindowRef w) {
  return static_cast<unsigned long>(PlatformFrameWidget(w)->winId());
}

// Where the window lies in the stack, from 0 at the bottom; -1 when it is not managed.
int Level(const std::vector<unsigned long>& stack, WindowRef w) {
  for (size_t i = 0; i < stack.size(); ++i)
    if (stack[i] == XIdOf(w)) return static_cast<int>(i);
  return -1;
}

// The program's windows of the stack, named, from the bottom up.
std::string Named(const std::vector<unsigned long>& stack,
                  const std::map<WindowRef, std::string>& names) {
  std::string s;
  for (unsigned long id : stack)
    for (const auto& n : names)
      if (XIdOf(n.first) == id) s += (s.empty() ? "" : ", ") + n.second;
  return s;
}

// Pumps events until what the server shows of the stack holds, within the bound of a wait.
template <class Holds>
bool StackHolds(Holds holds, std::vector<unsigned long>* stack) {
  return testutil::WaitUntil([&] { return holds(*stack = testutil::XDesktop::Stacking()); },
                             [] { checkEvents(0.01); });
}

// A point of the window's title bar that none of the others covers, on the screen, as the
// server has the windows.
bool TitleBarPoint(WindowRef w, const std::vector<WindowRef>& others, QPoint* at) {
  testutil::XDesktop::Place place;
  if (!testutil::XDesktop::PlaceOf(XIdOf(w), &place) || place.client.y <= place.frame.y)
    return false;
  std::vector<testutil::XDesktop::Area> over;
  for (WindowRef o : others) {
    testutil::XDesktop::Place p;
    if (o != w && testutil::XDesktop::PlaceOf(XIdOf(o), &p)) over.push_back(p.frame);
  }
  const testutil::XDesktop::Area& f = place.frame;
  const int y = (f.y + place.client.y) / 2;
  for (int x = f.x + 30; x < f.x + f.width - 70; x += 4) {
    bool covered = false;
    for (const auto& a : over) covered = covered || a.Contains(x, y);
    if (!covered) {
      *at = QPoint(x, y);
      return true;
    }
  }
  return false;
}

// An alert raised with the image window in front, and one with the main window in front: each
// stays above both while the other is clicked (on its title bar, as a person would), while the
// desktop brings each to the front (as a task bar does) and while the histogram (a floating
// window, shown before the first alert and during the second) is clicked; its OK, clicked on
// the screen, then answers it.
TEST(Desktop, AnAlertStaysAboveEveryWindowOfTheProgram) {
  if (!gDesktop->Absent().empty())
    GTEST_SKIP() << "No desktop to run on: not on PATH: " << gDesktop->Absent();
  ASSERT_TRUE(gDesktop->Ready()) << gDesktop->Why();
  SCOPED_TRACE("on the display " + gDesktop->Display());
  TempHome home;
  AppInterface app;
  ASSERT_EQ(app.status, 0);
  const WindowRef mainWin = gMain->GetWindow(), imageWin = gImager->GetWindow();
  const std::map<WindowRef, std::string> names = {
      {mainWin, "main"}, {imageWin, "image"}, {gHistoWindow, "histogram"}, {gAlertWindow, "alert"}};
  const std::vector<WindowRef> all = {mainWin, imageWin, gHistoWindow, gAlertWindow};
  // Overlapping, each title bar clear of the other windows.
  PlatformFrameWidget(mainWin)->move(0, 0);
  PlatformFrameWidget(imageWin)->move(640, 240);
  SizeWindow(imageWin, 600, 480, false);
  PlatformFrameWidget(gHistoWindow)->move(20, 820);
  gMain->Show(1);
  ShowWindow(imageWin);
  ShowWindow(gHistoWindow);
  std::vector<unsigned long> stack;
  ASSERT_TRUE(StackHolds(
      [&](const auto& s) {
        return Level(s, mainWin) >= 0 && Level(s, imageWin) >= 0 && Level(s, gHistoWindow) >= 0;
      },
      &stack));
  const auto alertOnTop = [](const auto& s) {
    return Level(s, gAlertWindow) == static_cast<int>(s.size()) - 1;
  };

  for (const WindowRef origin : {imageWin, mainWin}) {
    const WindowRef other = origin == imageWin ? mainWin : imageWin;
    const bool histogramLater = origin == mainWin;
    SCOPED_TRACE("the alert raised from the " + names.at(origin) + " window");
    SelectWindow(origin);
    if (histogramLater) HideWindow(gHistoWindow);
    ASSERT_TRUE(
        StackHolds([&](const auto& s) { return Level(s, origin) > Level(s, other); }, &stack))
        << Named(stack, names);
    // Each step brings a window (front) to the front of another (behind) by a click or by the
    // desktop; the alert must stay above both.
    struct Step {
      bool click;
      WindowRef front, behind;
    };
    const Step steps[] = {{true, other, origin},
                          {false, origin, other},
                          {false, other, origin},
                          {true, gHistoWindow, origin}};
    // Once the alert shows, the steps run in its wait, from a timer of the program's loop.
    std::function<void(EventLoopTimerRef)> run = [&](EventLoopTimerRef timer) {
      if (!IsWindowVisible(gAlertWindow)) {
        SetEventLoopTimerNextFireTime(timer, 0.005);
        return;
      }
      if (histogramLater) ShowWindow(gHistoWindow);  // as its command does meanwhile
      bool ok = StackHolds(
          [&](const auto& s) { return Level(s, gHistoWindow) >= 0 && alertOnTop(s); }, &stack);
      EXPECT_TRUE(ok) << "shown, from the bottom: " << Named(stack, names);
      for (const Step& step : steps) {
        if (!ok) break;
        QPoint at;
        if (step.click) {
          ok = TitleBarPoint(step.front, all, &at) && testutil::XDesktop::Click(at.x(), at.y());
        } else {
          ok = testutil::XDesktop::Activate(XIdOf(step.front));
        }
        EXPECT_TRUE(ok) << "no place to click, or no click or raise made";
        // Once the window came to the front of the other, the alert is still above both.
        ok = ok &&
             StackHolds([&](const auto& s) { return Level(s, step.front) > Level(s, step.behind); },
                        &stack) &&
             StackHolds(alertOnTop, &stack);
        EXPECT_TRUE(ok) << (step.click ? "clicked: " : "brought to the front: ")
                        << names.at(step.front) << "; from the bottom: " << Named(stack, names);
      }
      if (ok) {
        // Its OK, where the server has the alert.
        auto* button = WidgetOf(gAlertWindow, "bttn", 1);
        const QPoint at = button->mapTo(PlatformFrameWidget(gAlertWindow), button->rect().center());
        testutil::XDesktop::Place place;
        const bool answered =
            testutil::XDesktop::PlaceOf(XIdOf(gAlertWindow), &place) &&
            testutil::XDesktop::Click(place.client.x + at.x(), place.client.y + at.y()) &&
            testutil::WaitUntil([] { return !IsWindowVisible(gAlertWindow); },
                                [] { checkEvents(0.01); });
        EXPECT_TRUE(answered) << "its OK, clicked on the screen, did not answer it";
      }
      if (IsWindowVisible(gAlertWindow)) HideWindow(gAlertWindow);  // the test goes on
    };
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(
        0.005, 0,
        [](EventLoopTimerRef t, void* f) {
          (*static_cast<std::function<void(EventLoopTimerRef)>*>(f))(t);
        },
        &run, &timer);
    SendCommand("zzzz");  // a command of its own: its alert is not held back by the last one's
    DMESSAGE(DMCdata, "Cannot open 'notes.txt': not a picture");
    RemoveEventLoopTimer(timer);
  }
}

}  // namespace

// Fontconfig keeps its font cache, and the D-Bus library (which Qt's X platform reaches for the
// desktop's settings) a buffer of its own, until the process ends; LeakSanitizer would take
// either for a leak of ours. Only their own frames are suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  // The desktop's settings go with the test's temporary folder.
  QTemporaryDir config;
  testutil::XDesktop desktop(config.path().toStdString(), 1280, 1024);
  gDesktop = &desktop;
  setenv("QT_QPA_PLATFORM", desktop.Ready() ? "xcb" : "offscreen", 1);
  int exit = 0;
  {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new testutil::Watchdog(PquitEventLoop));
    exit = RUN_ALL_TESTS();
  }
  return exit;
}
