// File dialogs one after another: the next one asks on its own, whatever the last one left.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "platform/pevent.h"
#include "platform/pqt.h"
#include "testutil/other_user.h"
#include "testutil/temp_dir.h"

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

// A new folder named in place, in a folder another user may write: the name of a folder that
// user made meanwhile (root plants one of theirs) is refused and that folder stays as it was,
// empty as it is; a free name is taken.
TEST(FileDialog, ANewFoldersNameNeverReplacesAFolderMadeMeanwhile) {
  testutil::TempDir top("newfolder");
  const std::string shared = testutil::SharedFolder(top.Dir());
  const std::string theirs = shared + "/Trips";
  PFileDialogSetup ask;
  ask.directory = shared;
  std::string refusal;
  bool named = false;
  struct stat planted = {}, st;
  QTimer act;
  QObject::connect(&act, &QTimer::timeout, [&] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible() || !d->Listed()) return;
    act.stop();
    for (QToolButton* b : d->findChildren<QToolButton*>())
      if (b->toolTip() == "New folder") b->click();
    auto* list = d->findChild<QListView*>("fileList");
    auto name = [&](const char* text) {
      QLineEdit* editor = nullptr;  // not one closed before, deleted once the loop runs
      for (QLineEdit* e : list->viewport()->findChildren<QLineEdit*>())
        if (e->isVisible()) editor = e;
      if (editor == nullptr) return false;
      editor->selectAll();
      QTest::keyClicks(editor, text);
      QTest::keyClick(editor, Qt::Key_Return);
      QCoreApplication::processEvents();  // the editor's text is committed from the loop
      return true;
    };
    // The other user makes their folder as the user types the name.
    EXPECT_TRUE(testutil::Plant([&] { return mkdir(theirs.c_str(), 0755) == 0; }));
    lstat(theirs.c_str(), &planted);
    EXPECT_TRUE(name("Trips"));
    if (auto* l = d->findChild<QLabel*>("PlatformFileDialogRefusal"))
      refusal = l->isVisible() ? l->text().toStdString() : "";
    list->edit(list->currentIndex());
    named = name("Holiday");
    d->reject();
  });
  act.start(5);
  std::vector<std::string> chosen;
  EXPECT_EQ(PlatformChooseFolder(ask, &chosen), kFileDialogCancelled);
  EXPECT_TRUE(named);
  EXPECT_EQ(refusal, "'Trips' already exists");
  ASSERT_EQ(lstat(theirs.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, planted.st_ino);
  EXPECT_EQ(st.st_uid, testutil::CanBeOtherUser() ? testutil::OtherUid() : geteuid());
  EXPECT_EQ(lstat((shared + "/Holiday").c_str(), &st), 0);
  EXPECT_NE(lstat((shared + "/New Folder").c_str(), &st), 0);
}

}  // namespace
