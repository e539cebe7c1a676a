// File helpers and file dialogs: links and copies that never lose the destination, references
// and dialog replies, the format pop-up's suffix, the locate filter, and the real dialogs
// answered or cancelled (the new-catalogue and open-catalogue commands among them).
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <fstream>
#include <sstream>

#include "app/core/pfiles.h"
#include "apptest.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "support/bytetext.h"
#include "testutil/fifo_watch.h"
#include "testutil/rgb_jpeg.h"

namespace {

class Files : public FolderTest {
 protected:
  Files() : FolderTest("files", false) {}
};

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
ino_t Inode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
int Entries(const std::string& dir) {
  return static_cast<int>(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size());
}
std::string Last(unsigned cls) {
  return dmessage_record[cls] ? dmessage_record[cls] : "";
}

// Answers the next file dialog that shows: selects path and accepts, or with an empty path
// cancels; look sees the dialog first.
void Answer(const std::string& path, std::function<void(PFileDialog*)> look = nullptr) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [=] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    if (look) look(d);
    if (path.empty()) {
      d->reject();
    } else {
      if (QFileInfo(QString::fromStdString(path)).isDir()) {
        d->SetDirectory(path);  // the folder shown, nothing typed
        if (auto* e = d->findChild<QLineEdit*>("fileNameEdit")) e->clear();
      } else {
        ChooseFile(d, path);
      }
      QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
    }
  });
  t->start(5);
}

TEST_F(Files, LinksAndCopiesNeverLoseTheDestination) {
  const std::string src = Path("src.jpg"), dst = Path("dst.jpg");
  Write(src, "new");
  Write(dst, "old");
  EXPECT_TRUE(linkFile(dst.c_str(), src.c_str()));  // replaces
  EXPECT_EQ(Read(dst), "new");
  EXPECT_EQ(Inode(dst), Inode(src));
  EXPECT_TRUE(linkFile(dst.c_str(), src.c_str()));  // already the same file
  // A source that is a link to the destination: nothing changes, nothing is lost.
  const std::string alias = Path("alias.jpg");
  ASSERT_EQ(symlink(dst.c_str(), alias.c_str()), 0);
  EXPECT_TRUE(linkFile(dst.c_str(), alias.c_str()));
  EXPECT_EQ(Read(dst), "new");
  // A failed link keeps the destination.
  Write(dst, "kept");
  EXPECT_FALSE(linkFile(dst.c_str(), Path("missing.jpg").c_str()));
  EXPECT_EQ(Read(dst), "kept");
  EXPECT_EQ(Entries(dir), 3);  // src.jpg, dst.jpg and alias.jpg: no temporary names left
  // Across file systems: a symbolic link.
  struct stat shm, here;
  if (stat("/dev/shm", &shm) == 0 && stat(dir.c_str(), &here) == 0 && shm.st_dev != here.st_dev) {
    const std::string far = "/dev/shm/lumerin_link_test_" + std::to_string(getpid());
    Write(far, "far");
    EXPECT_TRUE(linkFile(dst.c_str(), far.c_str()));
    struct stat ls;
    ASSERT_EQ(lstat(dst.c_str(), &ls), 0);
    EXPECT_TRUE(S_ISLNK(ls.st_mode));
    EXPECT_EQ(Read(dst), "far");
    unlink(far.c_str());
  }
  void (*abortHook)() = dmessage_abort;
  dmessage_abort = [] {};  // reported, here without ending the test
  EXPECT_FALSE(linkFile(nullptr, src.c_str()));
  EXPECT_FALSE(copyFile(dst.c_str(), nullptr));
  dmessage_abort = abortHook;
  EXPECT_EQ(Last(DMCassert), "assertion failed ! (spath != NULL)");

  // Copies: whole or not at all; one file under two names is left alone; a FIFO is not read.
  const std::string a = Path("a.txt"), b = Path("b.txt");
  Write(a, std::string(200000, 'x'));
  Write(b, "old");
  chmod(b.c_str(), 0640);
  EXPECT_TRUE(copyFile(b.c_str(), a.c_str()));
  EXPECT_EQ(Read(b), Read(a));
  struct stat bs;
  ASSERT_EQ(stat(b.c_str(), &bs), 0);
  EXPECT_EQ(bs.st_mode & 0777, 0640u);  // the destination keeps its mode
  ASSERT_EQ(link(a.c_str(), Path("a2.txt").c_str()), 0);
  EXPECT_TRUE(copyFile(Path("a2.txt").c_str(), a.c_str()));
  EXPECT_EQ(Read(a).size(), 200000u);  // not truncated by copying onto itself
  Write(b, "old");
  const int before = Entries(dir);
  EXPECT_FALSE(copyFile(b.c_str(), dir.c_str()));  // a folder reads with an error
  EXPECT_EQ(Read(b), "old");
  EXPECT_EQ(Entries(dir), before);
  const std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  testutil::FifoWatch watch(fifo);
  EXPECT_FALSE(copyFile(b.c_str(), fifo.c_str()));
  EXPECT_FALSE(watch.Waited()) << "the copy waited on a FIFO";
  EXPECT_EQ(Read(b), "old");
  EXPECT_FALSE(copyFile(b.c_str(), Path("missing").c_str()));
  EXPECT_EQ(Last(DMCresource), "Cannot open file '" + Path("missing") + "' for reading");
  EXPECT_FALSE(copyFile(Path("no/such/folder").c_str(), a.c_str()));
  EXPECT_EQ(Last(DMCresource), "Cannot open file '" + Path("no/such/folder") + "' for writing");
}

TEST_F(Files, ReferencesAndDialogReplies) {
  const std::string f = Path("x.qdb");
  Write(f, "x");
  FSRef ref;
  ASSERT_TRUE(getFspecFromPath(&ref, f.c_str()));
  char buf[1024];
  EXPECT_STREQ(getPathFromRef(buf, sizeof buf, &ref), f.c_str());
  EXPECT_EQ(getPathFromRef(buf, 5, &ref), nullptr);  // does not fit
  EXPECT_FALSE(getFspecFromPath(&ref, "relative/path"));
  // A reference names its file, not whatever lies at its path later. The old file is kept
  // under another name so that the new one cannot be given its inode number.
  ASSERT_EQ(rename(f.c_str(), Path("old").c_str()), 0);
  Write(Path("other"), "y");
  Write(f, "x");
  EXPECT_EQ(getPathFromRef(buf, sizeof buf, &ref), nullptr);

  NavReplyRecord nr;
  EXPECT_EQ(getNavPath(buf, sizeof buf, nr, nullptr, 0, 0), nullptr);  // not valid
  nr.validRecord = true;
  nr.selection = {f, Path("other")};
  EXPECT_EQ(getNavPath(buf, sizeof buf, nr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(Last(DMCinput), "Multiple files/folders selected");
  nr.selection = {"relative"};
  EXPECT_EQ(getNavPath(buf, sizeof buf, nr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(Last(DMCparameter), "Unrecognized file/folder type");
  nr.selection = {Path("new.qdb")};
  EXPECT_EQ(getNavPath(buf, sizeof buf, nr, nullptr, 0, 0), nullptr);  // to open: must exist
  FSRef made;
  EXPECT_STREQ(getNavPath(buf, sizeof buf, nr, &made, kDocCatalog, kDocCreator),
               Path("new.qdb").c_str());  // to save: not made here
  EXPECT_NE(access(Path("new.qdb").c_str(), F_OK), 0);
}

TEST_F(Files, TheFormatPopUpRewritesTheSuffixInItsCase) {
  struct Case {
    const char* name;
    OSType format;
    const char* want;
  };
  const Case cases[] = {{"photo.JPG", kDocTIFF, "photo.TIF"},
                        {"photo.jpg", kDocTIFF, "photo.tif"},
                        {"photo.Jpg", kDocOpenEXR, "photo.exr"},
                        {"a.b.tif", kDocPicture, "a.b.hdr"},
                        {"photo", kDocJPEG, "photo"},
                        {"page.html", kDocText, "page.html"}};
  for (const Case& c : cases) {
    OSType current = kDocJPEG == c.format ? kDocTIFF : kDocJPEG;
    NavCBRec rec{c.format, {}};
    snprintf(rec.name, sizeof rec.name, "%s", c.name);
    navEventHandler(kNavCBPopupMenuSelect, &rec, &current);
    EXPECT_STREQ(rec.name, c.want) << c.name;
    EXPECT_EQ(current, c.format);
  }
  OSType current = kDocTIFF;
  NavCBRec same{kDocTIFF, "photo.jpg"};
  navEventHandler(kNavCBPopupMenuSelect, &same, &current);  // the same format: nothing
  EXPECT_STREQ(same.name, "photo.jpg");
  navEventHandler(1, &same, &current);
  EXPECT_STREQ(same.name, "photo.jpg");
}

TEST_F(Files, TheLocateFilterListsTheSameNameOrTheSameContent) {
  const std::string jpeg = std::string(LUMERIN_TESTDATA) + "/jpeg/Canon_40D.jpg";
  if (access(jpeg.c_str(), R_OK) != 0) GTEST_SKIP() << "no test pictures";
  DBRecord r;
  PgrokFile(&r, jpeg.c_str());
  const std::string moved = Path("renamed.jpg"), same = Path("Canon_40D.jpg"),
                    other = Path("o.jpg");
  Write(moved, Read(jpeg));
  Write(same, "not even a picture");
  Write(other, Read(jpeg) + "x");
  EXPECT_TRUE(imgFileFilter(moved.c_str(), &r));  // equal size and content hash
  EXPECT_TRUE(imgFileFilter(same.c_str(), &r));   // the name sought
  EXPECT_FALSE(imgFileFilter(other.c_str(), &r));
  EXPECT_TRUE(imgFileFilter(dir.c_str(), &r));  // folders are listed
  // Opening an image: what a reader opens.
  EXPECT_TRUE(imgFileFilter(moved.c_str(), nullptr));
  EXPECT_FALSE(imgFileFilter(same.c_str(), nullptr));
  EXPECT_TRUE(imgFileFilter(dir.c_str(), nullptr));

  // The dialog asks for the record's name where it was last seen.
  std::string message, title;
  Answer(moved, [&](PFileDialog* d) {
    title = d->windowTitle().toStdString();
    if (auto* l = d->findChild<QLabel*>("PlatformFileDialogMessage"))
      message = l->text().toStdString();
  });
  char path[1024];
  ASSERT_TRUE(chooseImage(path, sizeof path, &r));
  EXPECT_EQ(std::string(path), moved);
  EXPECT_EQ(title, "Find Image");
  EXPECT_EQ(message, "Locate image 'Canon_40D.jpg' last seen in '" + std::string(LUMERIN_TESTDATA) +
                         "/jpeg'");

  // A file of another name and other contents typed in is refused with the reason, and the
  // dialog stays for another choice.
  const std::string flipped = Path("flipped.jpg");
  std::string bytes = Read(jpeg);
  bytes[bytes.size() / 2] ^= 1;
  Write(flipped, bytes);
  std::vector<std::string> why;
  bool stayed = true;
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [&, t] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    for (const std::string& p : {other, flipped}) {
      ChooseFile(d, p);
      QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
      stayed = stayed && d->isVisible();
      auto* l = d->findChild<QLabel*>("PlatformFileDialogRefusal");
      why.push_back(l != nullptr ? l->text().toStdString() : "");
    }
    ChooseFile(d, moved);
    QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
  });
  t->start(5);
  ASSERT_TRUE(chooseImage(path, sizeof path, &r));
  EXPECT_EQ(std::string(path), moved);
  EXPECT_TRUE(stayed);
  ASSERT_EQ(why.size(), 2u);
  EXPECT_EQ(why[0], "'o.jpg' is not the same picture: its size (" +
                        std::to_string(bytes.size() + 1) + " bytes, not " +
                        std::to_string(bytes.size()) + ") and date differ");
  EXPECT_EQ(why[1], "'flipped.jpg' is not the same picture: its date and content differ");
  Answer("");
  gConfirmResponse = kResponseOK;
  EXPECT_FALSE(chooseImage(path, sizeof path, nullptr));
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_EQ(Last(DMCtrace), "Choose image cancelled");
}

// The Open Image dialog lists a folder by opening its files quietly: damaged OpenEXR files
// (a header cut short, a header without attributes) are left out without a line on standard
// error, at every listing.
TEST_F(Files, OpenImageListsAFolderWithDamagedPicturesQuietly) {
  const std::string jpeg = std::string(LUMERIN_TESTDATA) + "/jpeg/Canon_40D.jpg";
  if (access(jpeg.c_str(), R_OK) != 0) GTEST_SKIP() << "no test pictures";
  Write(Path("good.jpg"), Read(jpeg));
  Write(Path("cut.exr"), std::string("\x76\x2f\x31\x01\x02\0\0\0channels\0chl", 20));
  Write(Path("hollow.exr"), std::string("\x76\x2f\x31\x01\x02\0\0\0\0", 9));
  std::vector<std::vector<std::string>> listings;
  ProgramStderr err;
  for (int pass = 0; pass < 2; ++pass) {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [&, t] {
      PFileDialog* d = PlatformFileDialog();
      if (d == nullptr || !d->isVisible()) return;
      if (d->Directory() != dir) d->SetDirectory(dir);
      if (!d->Listed()) return;  // still being read
      t->stop();
      t->deleteLater();
      const std::vector<std::string> names = d->Entries();
      listings.push_back(names);
      d->reject();
    });
    t->start(5);
    char path[1024];
    EXPECT_FALSE(chooseImage(path, sizeof path, nullptr));
  }
  EXPECT_EQ(err.Text(), "");
  const std::vector<std::string> good = {"good.jpg"};
  EXPECT_EQ(listings, std::vector<std::vector<std::string>>(2, good));
}

// A small picture of w pixels square at path.
void Picture(const std::string& path, int w) {
  std::vector<unsigned char> px(static_cast<size_t>(w) * w * 3, 128);
  WriteRgbJpeg(path, w, w, px.data(), 90);
}

// Picks name in the next file dialog as a user does, once the dialog lists folder whole: its
// row clicked, then the dialog's button. *listed gets the list's rows as they show.
void Pick(const std::string& folder, const std::string& name, std::vector<std::string>* listed,
          std::string* message = nullptr) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [=] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    if (d->Directory() != folder) d->SetDirectory(folder);
    if (!d->Listed()) return;
    t->stop();
    t->deleteLater();
    auto* list = d->findChild<QListView*>("fileList");
    listed->clear();
    QModelIndex row;
    for (int k = 0; k < list->model()->rowCount(); ++k) {
      const QModelIndex i = list->model()->index(k, 0);
      listed->push_back(i.data().toString().toStdString());
      if (listed->back() == ShownName(name)) row = i;
    }
    if (message != nullptr)
      if (auto* l = d->findChild<QLabel*>("PlatformFileDialogMessage"))
        *message = l->text().toStdString();
    if (row.isValid()) {
      list->scrollTo(row);
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
    }
    for (QAbstractButton* b : d->findChild<QDialogButtonBox*>("buttonBox")->buttons())
      if (d->findChild<QDialogButtonBox*>("buttonBox")->buttonRole(b) ==
          QDialogButtonBox::AcceptRole)
        QTest::mouseClick(b, Qt::LeftButton);
    if (d->isVisible()) d->reject();  // nothing to pick: the caller's check fails
  });
  t->start(5);
}

// Names that are no text (a camera card or an old archive copied as it is) are listed each
// apart in the file dialogs, and the one picked is the file or folder loaded: Browse Folder
// loads each of sub\xE9, sub\xFF and sub\xEF\xBF\xBD (a valid name holding U+FFFD); Open Image
// lists x\xFF.jpg, y\x80.jpg and lead\xC3.jpg and opens each; Find Image finds a moved file of
// such a name, naming it as names show.
TEST_F(Files, NamesOfAnyBytesAreListedApartAndPickedInTheDialogs) {
  const std::vector<std::string> subs = {"sub\xE9", "sub\xFF", "sub\xEF\xBF\xBD"};
  for (size_t k = 0; k < subs.size(); ++k) {
    mkdir(Path(subs[k]).c_str(), 0755);
    Picture(Path(subs[k]) + "/p" + std::to_string(k) + ".jpg", 8);
  }
  std::vector<std::string> listed;
  for (size_t k = 0; k < subs.size(); ++k) {
    Pick(dir, subs[k], &listed);
    EXPECT_EQ(SendCommand("dir "), noErr);
    EXPECT_EQ(listed, (std::vector<std::string>{"sub\\xE9", "sub\xEF\xBF\xBD", "sub\\xFF"}));
    EXPECT_EQ(std::string(gMain->bc.rsrc), Path(subs[k]));
    ASSERT_EQ(gMain->bc.rdisp.GetSize(), 1) << subs[k];
    EXPECT_EQ(std::string(PDBgetString(gMain->bc.rdisp.Get(0), PDBFfile)),
              "p" + std::to_string(k) + ".jpg");
  }

  const std::vector<std::string> files = {"lead\xC3.jpg", "x\xFF.jpg", "y\x80.jpg"};
  for (const std::string& f : files) Picture(Path(f), 8);
  char path[1024];
  for (const std::string& f : files) {
    Pick(dir, f, &listed);
    ASSERT_TRUE(chooseImage(path, sizeof path, nullptr)) << f;
    EXPECT_EQ(std::string(path), Path(f));
    EXPECT_EQ(listed, (std::vector<std::string>{"sub\\xE9", "sub\xEF\xBF\xBD", "sub\\xFF",
                                                "lead\\xC3.jpg", "x\\xFF.jpg", "y\\x80.jpg"}));
  }

  DBRecord r;
  PgrokFile(&r, Path("x\xFF.jpg").c_str());
  PDBsetString(&r, PDBFlocation, Path("gone").c_str());
  const std::string moved = Path("sub\xFF") + "/x\xFF.jpg";
  ASSERT_EQ(rename(Path("x\xFF.jpg").c_str(), moved.c_str()), 0);
  std::string message;
  Pick(Path("sub\xFF"), "x\xFF.jpg", &listed, &message);
  ASSERT_TRUE(chooseImage(path, sizeof path, &r));
  EXPECT_EQ(std::string(path), moved);
  EXPECT_EQ(message, "Locate image 'x\\xFF.jpg' last seen in '" + Path("gone") + "'");
}

TEST_F(Files, FolderAndCatalogueDialogsAnsweredOrCancelled) {
  char path[1024];
  FSRef ref;
  Answer(dir);
  ASSERT_NE(chooseFolder(path, sizeof path, &ref), nullptr);
  EXPECT_EQ(std::string(path), dir);
  EXPECT_EQ(ref.ino, Inode(dir));
  Answer("");
  EXPECT_EQ(chooseFolder(path, sizeof path, nullptr), nullptr);
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_EQ(Last(DMCtrace), "Choose folder cancelled");

  // A new catalogue: the name proposed, then the question of one entry per file.
  const std::string cat = Path("Photos.qdb");
  std::string proposed;
  Answer(cat, [&](PFileDialog* d) {
    if (auto* e = d->findChild<QLineEdit*>("fileNameEdit")) proposed = e->text().toStdString();
  });
  // While the question waits, the file is already a whole catalogue: a program ended then
  // leaves one that opens.
  std::string atQuestion;
  WhenShown(
      gConfirmWindow, [&] { atQuestion = Read(cat); }, "cfrm", 131);  // "Multiple"
  EXPECT_EQ(SendCommand("catn"), noErr);
  EXPECT_EQ(atQuestion.rfind("QRDB = {\n", 0), 0u) << atQuestion.substr(0, 40);
  EXPECT_EQ(proposed, "Untitled.qdb");
  EXPECT_TRUE(gMain->bc.Ready());
  EXPECT_FALSE(gMain->bc.Unique());
  EXPECT_NE(Read(cat).find("QRDB"), std::string::npos);
  gMain->bc.CloseDB();
  Answer("");
  EXPECT_EQ(saveDialog(freshCatalog, nullptr, "Catalog", kDocCatalog, kDocCreator), 0);
  EXPECT_EQ(Last(DMCtrace), "Save Catalog cancelled");

  // Opening it again lists catalogues only.
  Write(Path("notes.txt"), "x");
  Answer(cat);
  EXPECT_EQ(SendCommand("cata"), noErr);
  EXPECT_TRUE(gMain->bc.Ready());
  gMain->bc.CloseDB();
  Answer("");
  EXPECT_FALSE(chooseCatalog());
  EXPECT_EQ(Last(DMCtrace), "Choose Catalog cancelled");
  // A quit while a dialog is up cancels it.
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [t] {
    if (PlatformFileDialog() == nullptr) return;
    t->stop();
    t->deleteLater();
    PquitEventLoop();
  });
  t->start(5);
  EXPECT_EQ(openDialog(path, sizeof path, nullptr, kDocAny, kDocAny), nullptr);
  EXPECT_EQ(Last(DMCtrace), "Choose File cancelled");
}

}  // namespace
