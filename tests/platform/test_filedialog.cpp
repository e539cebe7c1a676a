// File dialogs one after another: the next one asks on its own, whatever the last one left.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include "platform/pevent.h"
#include "platform/pqt.h"

namespace {

// A dialog asked for just as the last one closed (hidden, deleted once a loop runs, but still
// the active window) is not that one's child: it stays up until it is answered, and its answer
// comes back.
TEST(FileDialog, OneOpenedAsTheLastClosesStaysUntilAnswered) {
  QTemporaryDir dir;
  PFileDialogSetup ask;
  ask.directory = dir.path().toStdString();
  static QPointer<PFileDialog> first, second;
  static bool answered, outlived;
  first = second = nullptr;
  answered = outlived = false;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    if (!answered) {
      first = d;
      answered = true;
    } else if (d != first) {
      if (second == nullptr) second = d;
      if (first != nullptr) return;  // until the last one is gone
      outlived = true;
    } else {
      return;
    }
    QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
  });
  answer.start(5);
  std::vector<std::string> chosen;
  ASSERT_EQ(PlatformChooseFolder(ask, &chosen), kFileDialogChosen);
  ASSERT_TRUE(first != nullptr);
  EXPECT_FALSE(first->isVisible());
  // What the first left comes in (its activation among it: a hidden window is the active one),
  // but its deletion waits for a loop to run; the next dialog is asked for now.
  QCoreApplication::processEvents();
  chosen.clear();
  QTimer bound;
  bound.setSingleShot(true);
  QObject::connect(&bound, &QTimer::timeout, [] {
    ADD_FAILURE() << "the second dialog "
                  << (second == nullptr ? "was never there to be answered"
                                        : "did not outlive the first");
    QuitApplicationEventLoop();
  });
  bound.start(60000);
  EXPECT_EQ(PlatformChooseFolder(ask, &chosen), kFileDialogChosen);
  if (!bound.isActive()) RunApplicationEventLoop();  // ends the quit that ended the wait
  EXPECT_TRUE(outlived);
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0], ask.directory);
}

}  // namespace
