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

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "platform/pevent.h"
#include "platform/pqt.h"
#include "testutil/other_user.h"
#include "testutil/temp_dir.h"

// Renames as the file system sees them: once a name is armed, the next rename to it runs the
// planting first, after whatever the program looked at before the rename.
namespace before_rename {
std::atomic<const char*> armed{nullptr};
std::function<void()> plant;

int Through(const char* to, int from_dir, const char* from, int to_dir, unsigned flags) {
  const char* at = armed.load();
  if (at != nullptr && strcmp(at, to) == 0 && armed.compare_exchange_strong(at, nullptr)) plant();
  return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}
}  // namespace before_rename

extern "C" int rename(const char* from, const char* to) noexcept {
  return before_rename::Through(to, AT_FDCWD, from, AT_FDCWD, 0);
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned flags) noexcept {
  return before_rename::Through(to, from_dir, from, to_dir, flags);
}

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
// user made meanwhile (root plants one of theirs after the name was found free, just before the
// folder is renamed) is refused and that folder stays as it was, empty as it is; a free name is
// taken.
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
    // The other user makes their folder once the name is taken for free.
    bool made = false;
    before_rename::plant = [&] {
      made = testutil::Plant([&] { return mkdir(theirs.c_str(), 0755) == 0; });
      lstat(theirs.c_str(), &planted);
    };
    before_rename::armed = theirs.c_str();
    EXPECT_TRUE(name("Trips"));
    before_rename::armed = nullptr;
    before_rename::plant = nullptr;
    EXPECT_TRUE(made);
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
