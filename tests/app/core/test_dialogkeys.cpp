// The keyboard in dialogs: Tab reaches every control of every dialog, Escape ends an alert as
// its OK does, and Return or Escape closes the About window.
#include <QComboBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSlider>
#include <set>

#include "apptest.h"

namespace {

class DialogKeys : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  void SetUp() override { ASSERT_EQ(app.status, 0); }
};

// Every dialog the interface makes: the core's and the window libraries'.
std::vector<WindowRef> Dialogs() {
  std::vector<WindowRef> v = {gInputWindow,    gAboutWindow,    gConfirmWindow,
                              gPositionWindow, gProgressWindow, gAlertWindow};
  for (const PDialogSlot& d : PappHooks().dialogs) v.push_back(*d.window);
  return v;
}

// Where a key goes: the window's focused widget, else the window itself.
QWidget* KeyTarget(WindowRef w) {
  QWidget* frame = PlatformFrameWidget(w);
  return frame->focusWidget() != nullptr ? frame->focusWidget() : frame;
}

void Press(WindowRef w, Qt::Key key) {
  QTest::keyClick(KeyTarget(w), key);
}

bool Shown(WindowRef w) {
  ShowWindow(w);
  SelectWindow(w);
  return QTest::qWaitForWindowActive(PlatformFrameWidget(w), 1000);
}

// The widgets a person works with the keyboard: buttons, check boxes, sliders, text and pop-ups
// (not a scroll bar, nor the parts of a pop-up or of a text).
bool Operable(QWidget* c) {
  for (QWidget* p = c->parentWidget(); p != nullptr; p = p->parentWidget())
    if (qobject_cast<QComboBox*>(p) || qobject_cast<QAbstractScrollArea*>(p) ||
        qobject_cast<QMenuBar*>(p))
      return false;
  return qobject_cast<QAbstractButton*>(c) || qobject_cast<QSlider*>(c) ||
         qobject_cast<QLineEdit*>(c) || qobject_cast<QComboBox*>(c) ||
         qobject_cast<QPlainTextEdit*>(c);
}

TEST_F(DialogKeys, TabReachesEveryEnabledControlOfEveryDialog) {
  for (WindowRef w : Dialogs()) {
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(Shown(w));
    QWidget* frame = PlatformFrameWidget(w);
    const std::string title = frame->windowTitle().toStdString();
    std::set<QWidget*> controls;
    for (QWidget* c : frame->findChildren<QWidget*>())
      if (c->isVisible() && c->isEnabled() && Operable(c)) controls.insert(c);
    std::set<QWidget*> reached;
    for (size_t i = 0; i < 2 * controls.size() + 2; ++i) {
      Press(w, Qt::Key_Tab);
      reached.insert(frame->focusWidget());
    }
    for (QWidget* c : controls)
      EXPECT_TRUE(reached.count(c)) << title << ": " << c->objectName().toStdString();
    HideWindow(w);
  }
}

TEST_F(DialogKeys, EscapeEndsAnAlertAsItsOkDoes) {
  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
    bool shown = false, ended = false;
    WhenShown(gAlertWindow, [&] {
      shown = true;
      Press(gAlertWindow, key);
      ended = !IsWindowVisible(gAlertWindow);
      if (!ended)  // the alert's wait must end either way
        QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)),
                          Qt::LeftButton);
    });
    SendCommand("zzzz");                  // a command resets the alert throttle
    DMESSAGE(DMCdata, "a data problem");  // returns once the alert has ended
    EXPECT_TRUE(shown && ended) << key;
  }
}

TEST_F(DialogKeys, ReturnEnterAndEscapeCloseAbout) {
  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
    AboutCommandHandler(gAboutWindow);
    ASSERT_TRUE(QTest::qWaitForWindowActive(PlatformFrameWidget(gAboutWindow), 1000));
    QTest::keyClick(KeyTarget(gAboutWindow), key, Qt::ControlModifier);
    EXPECT_TRUE(IsWindowVisible(gAboutWindow)) << "a command key is not a dialog's";
    Press(gAboutWindow, key);
    EXPECT_FALSE(IsWindowVisible(gAboutWindow)) << key;
  }
}

}  // namespace
