#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include "platform/pdocuments.h"

namespace {

std::vector<std::vector<std::string>> opened;

OSStatus OpenDocuments(EventHandlerCallRef, EventRef ev, void*) {
  opened.push_back(GetDocumentPaths(ev));
  return noErr;
}

}  // namespace

TEST(PlatformDocuments, CommandLinePathsArriveAsOneEventOnceTheLoopRuns) {
  opened.clear();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString oldDir = QDir::currentPath();
  QDir::setCurrent(dir.path());
  const std::string cwd = QDir::currentPath().toStdString();
  char prog[] = "lumerin", a[] = "b.jpg", b[] = "/photos/a.qdb", c[] = "./sub/c.txt", e[] = "",
       f[] = "caf\xE9.jpg";
  char* argv[] = {prog, a, b, c, e, f};
  TakeCommandLineDocuments(6, argv);
  QDir::setCurrent(oldDir);  // taken at start-up: later moves do not matter

  const EventTypeSpec odoc = {kEventClassAppleEvent, kAEOpenDocuments};
  EventHandlerRef h = nullptr;
  ASSERT_EQ(InstallEventHandler(GetApplicationEventTarget(), OpenDocuments, 1, &odoc, nullptr, &h),
            noErr);
  ASSERT_TRUE(PostOpenDocuments());
  EXPECT_FALSE(PostOpenDocuments());
  EXPECT_TRUE(opened.empty()) << "delivered before the loop ran";
  QTimer::singleShot(50, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
  const std::vector<std::vector<std::string>> want = {
      {cwd + "/b.jpg", "/photos/a.qdb", cwd + "/sub/c.txt", cwd + "/caf\xE9.jpg"}};
  EXPECT_EQ(opened, want);
  RemoveEventHandler(h);
}
