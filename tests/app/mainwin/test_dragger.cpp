// Drag and drop of the browser pane: drags out read as a receiver would, drops from elsewhere
// and reordering within the pane, driven by Qt's drag events with real QMimeData.
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <fstream>

#include "app/core/pcommands.h"
#include "app/mainwin/pdragger.h"
#include "maintest.h"

namespace {

class Dragger : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    dmessage_alert = nullptr;
    SizeWindow(mw->GetWindow(), 1300, 754, true);
    mw->Redraw();
  }

  QWidget* Content() const { return PlatformContentWidget(mw->GetWindow()); }

  // A drag of data over the pane: enter and move at p, then drop (or leave).
  void DragOver(QMimeData* data, QPoint p, bool drop = true) {
    QDragEnterEvent enter(p, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Content(), &enter);
    QDragMoveEvent move(p, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Content(), &move);
    if (drop) {
      QDropEvent ev(QPointF(p), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(Content(), &ev);
    } else {
      QDragLeaveEvent leave;
      QApplication::sendEvent(Content(), &leave);
    }
  }

  QPoint Middle() const {
    return QPoint((b->extent.left + b->extent.right) / 2, (b->extent.top + b->extent.bottom) / 2);
  }

  std::string Picture(const std::string& name) {
    const std::string p = Path(name);
    QImage img(24, 16, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    EXPECT_TRUE(img.save(QString::fromStdString(p), "JPEG"));
    return p;
  }
};

QUrl Url(const std::string& path) {
  return QUrl::fromLocalFile(QString::fromStdString(path));
}

// Opaque pixels of row y from x on: the frames a line across the outline meets.
int FramesAcross(const QImage& img, int x, int y) {
  int n = 0;
  for (; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 0;
  return n;
}

TEST_F(Dragger, DraggedRecordsOfferTheirFilesWhenAsked) {
  // 25 records, of which the files of every fifth are missing.
  ASSERT_TRUE(mw->LoadingRecords(nullptr));
  for (int i = 0; i < 25; ++i) {
    const std::string name = "p" + std::to_string(i) + ".jpg";
    if (i % 5 != 0) std::ofstream(Path(name)) << "x";
    ctxtest::Show(bc, ctxtest::Photo(name.c_str(), 1, 1, "S", dir.Path("").c_str()));
  }
  mw->LoadedRecords(25);
  bc->SelectAll();
  const int edge = PBigThumbWidth / b->ThumbDenom();
  int frames = -1, usedBefore = -1;
  QStringList files;
  PlatformSetDragStartHook([&] {
    QDrag* d = PlatformCurrentDrag();
    frames = FramesAcross(d->pixmap().toImage(), edge - 1, edge / 2);
    usedBefore = gDragFiles.hfs_used;
    for (const QUrl& u : d->mimeData()->urls()) files << u.toLocalFile();  // as a receiver
  });
  PDragRecords(nullptr, b);
  PlatformSetDragStartHook(nullptr);
  EXPECT_EQ(frames, 10);
  EXPECT_EQ(usedBefore, 0);  // nothing located before a receiver asked
  ASSERT_EQ(files.size(), 20);
  EXPECT_EQ(files[0].toStdString(), Path("p1.jpg"));
  EXPECT_EQ(FramesAcross(PdragOutline(40, 1), 39, 20), 1);
  // The sender: a record whose file is missing gets the flavour error.
  std::string path;
  gDragFiles.Init(bc);
  EXPECT_EQ(myFileSender(0, &gDragFiles, &path), -1854);
  EXPECT_EQ(myFileSender(1, &gDragFiles, &path), noErr);
  EXPECT_EQ(myFileSender(99, &gDragFiles, &path), -1854);
  dmessage_last_class = DMCnerr;
}

// Names of any bytes leave as URIs of those bytes, of the records the drag started with though
// the browser changed before the receiver asked. A drag whose files are all gone offers no
// files, and says so as it starts (it can still move its records within the pane).
TEST_F(Dragger, ADragOffersTheBytesOfTheFilesItStartedWith) {
  const std::vector<std::string> names = {"caf\xE9.jpg", "\xFF", "two\nlines.jpg"};
  QByteArray want, list;
  for (const std::string& n : names) {
    std::ofstream(Path(n)) << "x";
    want += "file://" + QByteArray::fromStdString(Path(n)).toPercentEncoding("/") + "\r\n";
  }
  const auto show = [&] {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    for (const std::string& n : names)
      ctxtest::Show(bc, ctxtest::Photo(n.c_str(), 1, 1, "S", dir.Path("").c_str()));
    mw->LoadedRecords(3);
    bc->SelectAll();
  };
  bool change = false;
  QStringList offered;
  std::string told;
  PlatformSetDragStartHook([&] {
    told = Status();
    offered = PlatformCurrentDrag()->mimeData()->formats();
    if (change) bc->ClearRecords();
    list = PlatformCurrentDrag()->mimeData()->data("text/uri-list");
  });
  show();
  PDragRecords(nullptr, b);
  EXPECT_EQ(list, want);
  change = true;  // the receiver asks once the browser shows other records
  show();
  PDragRecords(nullptr, b);
  EXPECT_EQ(list, want);

  change = false;
  show();
  for (const std::string& n : names) std::remove(Path(n).c_str());
  mw->ShowMessage("", false);
  PDragRecords(nullptr, b);
  PlatformSetDragStartHook(nullptr);
  EXPECT_TRUE(list.isEmpty()) << list.toStdString();
  EXPECT_TRUE(offered.isEmpty()) << offered.join(' ').toStdString();
  EXPECT_EQ(told, "None of the dragged files can be found");
}

TEST_F(Dragger, DropsLoadImagesFoldersAndTables) {
  const std::string a = Picture("a b%.jpg"), c = Picture("c.jpg");
  const std::string sub = Path("sub");
  QDir().mkpath(QString::fromStdString(sub));
  Picture("sub/d.jpg");
  const std::string text = Path("t.txt");
  std::ofstream(text) << "File\n";
  static std::string imported;
  imported.clear();
  const auto import =
      SwapHook(&PAppHooks::importRecords, [](const char* p) { imported = p ? p : ""; });

  // A folder among image files, a web link and a text file: only the images, decoded.
  QMimeData mixed;
  mixed.setUrls({Url(sub), Url(a), QUrl("https://example.org/x.jpg"), Url(text), Url(c)});
  EXPECT_TRUE(mixed.data("text/uri-list").contains("a%20b%25.jpg"));
  DragOver(&mixed, Middle());
  ASSERT_EQ(bc->rdisp.GetSize(), 2);
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), "a b%.jpg");
  EXPECT_STREQ(bc->rsrc, "*EX");
  EXPECT_TRUE(imported.empty());

  // One text file is imported; one folder is loaded.
  QMimeData one;
  one.setUrls({Url(text)});
  DragOver(&one, Middle());
  EXPECT_EQ(imported, text);
  QMimeData folder;
  folder.setUrls({Url(sub)});
  DragOver(&folder, Middle());
  ASSERT_EQ(bc->rdisp.GetSize(), 1);
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), "d.jpg");

  // A name in Latin-1 bytes, as a file manager's URI of them, opens as that file.
  const std::string latin = Path("caf\xE9.jpg");
  std::rename(Picture("latin.jpg").c_str(), latin.c_str());
  QMimeData bytes;
  bytes.setData("text/uri-list",
                "file://" + QByteArray::fromStdString(latin).toPercentEncoding("/") + "\r\n");
  DragOver(&bytes, Middle());
  ASSERT_EQ(bc->rdisp.GetSize(), 1);
  EXPECT_STREQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), "caf\xE9.jpg");

  // Text that names no file, or a drag that leaves, changes nothing.
  QMimeData words;
  words.setText("hello");
  DragOver(&words, Middle());
  DragOver(&one, Middle(), false);
  EXPECT_EQ(bc->rdisp.GetSize(), 1);
  SwapHook(&PAppHooks::importRecords, import);
}

TEST_F(Dragger, DroppingWithinThePaneMovesTheSelection) {
  ShowFolder(8);
  bc->Select(0);
  bc->Select(1);
  // Points of the insertion marks before cells 2 and 6.
  QPoint before2, before6;
  const int top = b->extent.top + 20;
  for (int x = b->extent.left; x < b->extent.right; ++x) {
    const Point pt{static_cast<short>(top + 40), static_cast<short>(x)};
    const int at = b->InsertionPoint(pt);
    if (at == 2 && before2.isNull()) before2 = QPoint(x, pt.v);
    if (at == 6 && before6.isNull()) before6 = QPoint(x, pt.v);
  }
  b->ClearInsertion();
  if (before2.isNull() || before6.isNull()) GTEST_SKIP() << "fewer than seven cells in a row";
  QPoint where = before2;  // position 0: the block stays
  PlatformSetDragStartHook([&] { DragOver(PlatformCurrentDrag()->mimeData(), where); });
  PDragRecords(nullptr, b);
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), std::string("img0.jpg"));
  where = before6;  // 6 - 2 = position 4
  PDragRecords(nullptr, b);
  PlatformSetDragStartHook(nullptr);
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(4), PDBFfile), std::string("img0.jpg"));
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(5), PDBFfile), std::string("img1.jpg"));
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(0), PDBFfile), std::string("img2.jpg"));
  EXPECT_TRUE(bc->IsSelected(4) && bc->IsSelected(5));
}

}  // namespace
