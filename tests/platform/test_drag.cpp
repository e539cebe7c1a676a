// Drags of this program seen from a receiver: the files are made only when asked, and asked
// for after the drop, as a receiver in another program does.
#include <gtest/gtest.h>

#include <QDrag>
#include <QImage>
#include <QMimeData>
#include <QPointer>
#include <QTemporaryDir>
#include <QUrl>

#include "platform_util.h"
#include "platform/pqt.h"

namespace {

// A file's URI as the program writes it: the path's bytes, every byte but the unreserved ones
// percent-encoded, whatever folder the test runs in.
QByteArray UriLine(const QString& path) {
  return "file://" + path.toUtf8().toPercentEncoding("/") + "\r\n";
}

// Settles the event loop as the program's does between the drop and a receiver's request,
// freeing whatever was left to be freed later.
void Settle() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QApplication::processEvents();
}

// The drop lands in another program: the platform's loop returns, and the receiver's request
// for the files comes later, answered from the drag. Item 1's file cannot be given.
TEST(DragSource, FilesAreOfferedWhenAskedAfterTheDrop) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString files[3] = {dir.filePath("a b%.jpg"), dir.filePath("gone.jpg"),
                            dir.filePath("\u65e5.jpg")};
  WindowRef w = MakeWindow("PlainWindow");
  int asked = 0;
  DragRef drag = NewDrag(3, [&](int item, std::string* path) {
    ++asked;
    if (item == 1) return false;
    *path = files[item].toStdString();
    return true;
  });
  QPointer<QDrag> held;
  PlatformSetDragLoop([&](QDrag* d) {
    held = d;
    return true;
  });
  EXPECT_EQ(TrackDrag(drag, w, QImage(8, 8, QImage::Format_ARGB32), QPoint(4, 4)), noErr);
  PlatformSetDragLoop(nullptr);
  EXPECT_EQ(PlatformCurrentDrag(), nullptr);
  EXPECT_EQ(asked, 0);  // nothing is made before a receiver asks
  Settle();
  ASSERT_FALSE(held.isNull()) << "the drag was freed before the receiver could ask";
  const QMimeData* data = held->mimeData();
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(data->hasFormat("text/uri-list"));
  EXPECT_EQ(data->data("text/uri-list"), UriLine(files[0]) + UriLine(files[2]));
  EXPECT_EQ(data->data("text/uri-list").count("a%20b%25.jpg"), 1);
  ASSERT_EQ(data->urls().size(), 2);
  EXPECT_EQ(data->urls()[1].toLocalFile(), files[2]);
  EXPECT_EQ(asked, 3);  // each item once, however often the receiver asks
  delete held.data();   // the platform is done with it
  DisposeWindow(w);
}

// A drag Qt's loop runs (the test platform's drops nothing) is given up, and Qt frees it once
// the event loop settles: left to the platform, it is not leaked.
TEST(DragSource, AGivenUpDragIsFreedByQt) {
  WindowRef w = MakeWindow("PlainWindow");
  QPointer<QDrag> held;
  PlatformSetDragStartHook([&] { held = PlatformCurrentDrag(); });
  EXPECT_EQ(TrackDrag(NewDrag(1, nullptr), w, QImage(8, 8, QImage::Format_ARGB32), QPoint()),
            userCanceledErr);
  PlatformSetDragStartHook(nullptr);
  ASSERT_FALSE(held.isNull());
  Settle();
  EXPECT_TRUE(held.isNull());
  DisposeWindow(w);
}

}  // namespace
