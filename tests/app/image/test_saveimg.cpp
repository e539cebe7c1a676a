// Saving images through the real save dialog and questions: the format list and its suffixes,
// copies where re-encoding gains nothing, the record describing the new file, files other tools
// read, and an existing file that survives a cancel, a failure or a killed writer.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <fstream>

#include "app/image/psaveimg.h"
#include "savetest.h"
#include "testutil/fifo_watch.h"
#include "testutil/no_file_modes.h"
#include "testutil/other_user.h"
#include "testutil/process_locale.h"
#include "testutil/temp_dir.h"

using namespace savetest;

namespace {

class Save : public FolderTest {
 protected:
  Save() : FolderTest("pictures", true) {}
  int Entries() const {
    return static_cast<int>(
        QDir(QString::fromStdString(dir)).entryList(QDir::Files | QDir::Hidden).size());
  }
};

_ImgStruct FloatPicture(int w, int h) {
  _ImgStruct im = {w, h, &ICS_RGB709, 0, nullptr, nullptr};
  PnewImage(&im, 0);
  for (int y = 0; y < h; ++y) {
    float* p = reinterpret_cast<float*>(im.img + static_cast<size_t>(y) * im.rowsize);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) p[3 * x + c] = 0.01f * (1 + x + c) * (1 + y % 7);
  }
  return im;
}

// A picture whose name holds a byte that is no text (a camera card copied as it is), saved under
// the name proposed, unedited: the file written is that very file, asked about as it shows, and
// a neighbour whose valid name holds U+FFFD is left as it was; without the neighbour no other
// file appears.
TEST_F(Save, TheProposedNameOfAnyBytesIsTheFilesOwn) {
  const std::string own = Path("caf\xE9.jpg"), neighbour = Path("caf\xEF\xBF\xBD.jpg");
  for (bool withNeighbour : {true, false}) {
    _ImgStruct pic = Picture(32, 24);
    ASSERT_TRUE(WriteJPEG(own, pic, 90));
    PfreeImage(&pic);
    if (withNeighbour) std::ofstream(neighbour, std::ios::binary) << "the neighbour's own picture";
    const std::string before = Read(own);
    DBRecord rec = RecordOf(own);
    _ImgStruct turned = Picture(24, 32);
    std::string proposed;
    auto question = std::make_shared<std::string>();
    OnSaveDialog([&](PFileDialog* d) {
      proposed = NameEdit(d)->text().toStdString();
      d->SetDirectory(dir);  // the user goes to the picture's folder and takes the name as it is
      AnswerReplace(d, question);
      QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
    });
    ASSERT_TRUE(saveImage(&rec, &turned));
    PfreeImage(&turned);
    EXPECT_EQ(proposed, "caf\\xE9.jpg");
    EXPECT_EQ(*question, "'caf\\xE9.jpg' already exists.\nDo you want to replace it?");
    EXPECT_TRUE(Read(own) != before) << "the picture is not written over its own file";
    EXPECT_STREQ(PDBgetString(rec, PDBFfile), "caf\xE9.jpg");
    EXPECT_TRUE(HashMatches(rec, own));
    std::vector<std::string> names;  // the folder's entries, as bytes
    if (DIR* d = opendir(dir.c_str())) {
      while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.' || e->d_name[1] > '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = {"caf\xE9.jpg"};
    if (withNeighbour) {
      want.push_back("caf\xEF\xBF\xBD.jpg");
      EXPECT_EQ(Read(neighbour), "the neighbour's own picture");
    }
    EXPECT_EQ(names, want);
    unlink(neighbour.c_str());
  }
}

TEST_F(Save, JpegIsCopiedUnlessTheQualityAskedForIsHigher) {
  _ImgStruct pic = Picture(320, 240);
  const std::string q95 = Path("q95.jpg"), q80 = Path("q80.jpg");
  ASSERT_TRUE(WriteJPEG(q95, pic, 95) && WriteJPEG(q80, pic, 80));
  PfreeImage(&pic);

  DBRecord r95 = RecordOf(q95);
  PDBsetInt(&r95, PDBFquality, 90);
  std::string proposed;
  OnSaveDialog([&](PFileDialog* d) {
    proposed = NameEdit(d)->text().toStdString();
    Accept(d, Path("copy95.jpg"));
  });
  ASSERT_TRUE(saveImage(&r95, nullptr));
  EXPECT_EQ(proposed, "q95.jpg");
  EXPECT_EQ(Read(Path("copy95.jpg")), Read(q95));  // copied, not re-encoded
  long q = 0;
  // The quality the file's tables tell: 95 reads as 97 (rounding of the small table entries).
  EXPECT_TRUE(PDBgetInt(r95, PDBFquality, &q) && q == 97) << q;
  EXPECT_STREQ(PDBgetString(r95, PDBFfile), "copy95.jpg");
  EXPECT_STREQ(PDBgetString(r95, PDBFlocation), dir.c_str());
  EXPECT_TRUE(HashMatches(r95, Path("copy95.jpg")));

  DBRecord r80 = RecordOf(q80);
  PDBsetInt(&r80, PDBFquality, 90);
  OnSaveDialog([&](PFileDialog* d) { Accept(d, Path("again80.jpg")); });
  ASSERT_TRUE(saveImage(&r80, nullptr));
  EXPECT_NE(Read(Path("again80.jpg")), Read(q80));
  EXPECT_TRUE(PDBgetInt(r80, PDBFquality, &q) && q == 90);
  EXPECT_STREQ(PDBgetString(r80, PDBFformat), "JPEG DCT YCbCr");
  EXPECT_TRUE(HashMatches(r80, Path("again80.jpg")));
  if (HaveTool("identify")) {
    EXPECT_EQ(RunTool("identify", {"-format", "%Q", QString::fromStdString(Path("again80.jpg"))}),
              "90");
  }

  // The file saved onto itself under another spelling of its path is left whole.
  const std::string before = Read(q95);
  DBRecord self = RecordOf(q95);
  EXPECT_TRUE(PsaveImageFile(&self, nullptr, (dir + "/./q95.jpg").c_str(), PimageWriter(3)));
  EXPECT_EQ(Read(q95), before);
}

// Where the C library does not pair 'i' with 'I' (Turkish), a capital TIFF suffix is still
// the format's own: no question, the name kept, and the pop-up writes it in capitals.
TEST_F(Save, CapitalSuffixesAreTheFormatsOwnInATurkishLocale) {
  SET_PROCESS_LOCALE(tr, "tr_TR.UTF-8");
  _ImgStruct im = Picture(16, 12);
  DBRecord rec(&PDBFInfo);
  PDBsetString(&rec, PDBFfile, "shot.jpg");
  std::string renamed;
  OnSaveDialog([&](PFileDialog* d) {
    int tiff = 0;
    while (tiff < Formats(d).size() && !Formats(d)[tiff].startsWith("TIFF ")) ++tiff;
    NameEdit(d)->setText("photo.JPG");
    PickFormat(d, tiff == 0 ? 1 : 0);
    PickFormat(d, tiff);
    renamed = NameEdit(d)->text().toStdString();
    Accept(d, Path("OUT.TIF"));
  });
  std::string asked;
  QTimer* question = WhenShown(
      gConfirmWindow, [&] { asked = TextOf(gConfirmWindow, "cfrm", 128); }, "cfrm", 130);
  EXPECT_TRUE(saveImage(&rec, &im));
  delete question;
  PfreeImage(&im);
  EXPECT_EQ(renamed, "photo.TIF");
  EXPECT_EQ(asked, "");
  EXPECT_STREQ(PDBgetString(rec, PDBFfile), "OUT.TIF");
  EXPECT_EQ(QDir(QString::fromStdString(dir)).entryList({"OUT.*"}, QDir::Files),
            QStringList{"OUT.TIF"});
}

TEST_F(Save, FormatListSuffixesAndTheSuffixQuestion) {
  _ImgStruct hdr = FloatPicture(64, 48);
  DBRecord rec(&PDBFInfo);
  PDBsetString(&rec, PDBFfile, "shot.tif");
  // The format list: writers that can write the pixels, the preferred one first; another
  // choice puts its suffix on the name, in capitals when the name had them.
  std::vector<std::string> formats;
  std::string renamed;
  OnSaveDialog([&](PFileDialog* d) {
    for (const QString& f : Formats(d)) formats.push_back(f.toStdString());
    NameEdit(d)->setText("LOUD.TIF");
    PickFormat(d, 2);
    renamed = NameEdit(d)->text().toStdString();
    NameEdit(d)->setText("keep.tif");  // and back to a TIFF name for the OpenEXR format
    Accept(d, Path("keep.tif"));
  });
  std::vector<std::string> question;
  Answer({131}, &question);  // "Use .tif"
  ASSERT_TRUE(saveImage(&rec, &hdr));
  ASSERT_EQ(formats.size(), 4u);
  EXPECT_EQ(formats[0].rfind("TIFF ", 0), 0u) << formats[0];
  EXPECT_EQ(formats[2].rfind("EXR ", 0), 0u) << formats[2];
  EXPECT_EQ(renamed, "LOUD.EXR");
  ASSERT_EQ(question.size(), 1u);
  EXPECT_EQ(question[0], "Suffix '.tif' does not match format -- use '.exr' instead?");
  EXPECT_STREQ(PDBgetString(rec, PDBFformat), "EXR PIZ RGB");
  EXPECT_STREQ(PDBgetString(rec, PDBFfile), "keep.tif");
  if (HaveTool("exrheader")) {
    int status = 1;
    RunTool("exrheader", {QString::fromStdString(Path("keep.tif"))}, &status);
    EXPECT_EQ(status, 0);
  }
  // The program opens again what it wrote, under the name given.
  _ImgReader* again = PopenImageF(Path("keep.tif").c_str(), 0, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->ri, &IRInterfaceEXR);
  again->ri->Close(again);

  // OK at the question takes the format's suffix; a file of that name is replaced only when
  // the user says so, and a cancel there leaves both files as they were.
  std::ofstream(Path("other.exr")) << "precious";
  std::ofstream(Path("other.tif")) << "also precious";
  DBRecord r2(&PDBFInfo);
  OnSaveDialog([&](PFileDialog* d) {
    PickFormat(d, 2);
    Accept(d, Path("other.tif"));
  });
  question.clear();
  Answer({129, 130}, &question);  // use '.exr'; then do not replace other.exr
  EXPECT_FALSE(saveImage(&r2, &hdr));
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_EQ(Read(Path("other.exr")), "precious");
  EXPECT_EQ(Read(Path("other.tif")), "also precious");
  ASSERT_EQ(question.size(), 2u);
  EXPECT_EQ(question[1], "'other.exr' already exists -- replace it?");

  // No file name: "Untitled." and the suffix; a cancelled dialog writes nothing.
  DBRecord bare(&PDBFInfo);
  std::string proposed;
  const int files = Entries();
  OnSaveDialog([&](PFileDialog* d) {
    proposed = NameEdit(d)->text().toStdString();
    d->reject();
  });
  EXPECT_FALSE(saveImage(&bare, &hdr));
  EXPECT_EQ(proposed, "Untitled.tif");
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_EQ(Entries(), files);
  PfreeImage(&hdr);

  // Pixels no writer takes: refused before any dialog.
  _ImgColorSpace cmyk = ICS_sRGB;
  cmyk.format = IPFcmyk;
  _ImgStruct ink = {8, 8, &cmyk, 0, nullptr, nullptr};
  ASSERT_TRUE(PnewImage(&ink, 0));
  dmessage_record[DMCparameter] = nullptr;
  EXPECT_FALSE(saveImage(&bare, &ink));
  EXPECT_EQ(PlatformFileDialog(), nullptr);
  EXPECT_STREQ(dmessage_record[DMCparameter], "Unsupported image format");
  PfreeImage(&ink);
  EXPECT_EQ(PsaveProposedName("photo", "jpg"), "photo.jpg");
  EXPECT_EQ(PsaveProposedName("photo.JPG", "jpg"), "photo.JPG");
  EXPECT_EQ(PsaveProposedName(".hidden", "tif"), ".hidden.tif");
}

TEST_F(Save, WrittenFilesAreReadByOtherToolsAndDescribedByTheRecord) {
  _ImgStruct pic = Picture(97, 61), hdr = FloatPicture(97, 61);
  struct Case {
    int writer;
    const char* name;
    const _ImgStruct* im;
    const char* tool;
    QStringList args;
  } cases[] = {{0, "t.tif", &pic, "tiffinfo", {}},
               {1, "t.hdr", &hdr, "oiiotool", {"--info"}},
               {2, "t.exr", &hdr, "exrheader", {}},
               {3, "t.jpg", &pic, "oiiotool", {"--info"}}};
  for (const Case& c : cases) {
    DBRecord rec(&PDBFInfo);
    const std::string path = Path(c.name);
    ASSERT_TRUE(PsaveImageFile(&rec, c.im, path.c_str(), PimageWriter(c.writer))) << c.name;
    EXPECT_TRUE(HashMatches(rec, path)) << c.name;
    EXPECT_STREQ(PDBgetString(rec, PDBFformat), PimageWriter(c.writer)->SupportedCS(c.im->csp, 90));
    if (!HaveTool(c.tool)) continue;
    int status = 1;
    QStringList args = c.args;
    args << QString::fromStdString(path);
    const std::string out = RunTool(c.tool, args, &status);
    EXPECT_EQ(status, 0) << c.tool << " " << c.name << ": " << out;
    if (c.tool == std::string("oiiotool")) {
      std::string flat;  // the size, whatever the spacing
      for (char ch : out)
        if (ch != ' ') flat += ch;
      EXPECT_NE(flat.find("97x61,3channel"), std::string::npos) << out;
    }
  }
  PfreeImage(&pic);
  PfreeImage(&hdr);
}

// A picture saved turned is written as its turned copy is, in each of the eight orientations
// and for pixels of 1, 3, 6 and 12 bytes: a quarter turn gathers the rows in strips.
TEST_F(Save, TurnedPixelsAreWrittenAsTheirTurnedCopyIs) {
  const int W = 150, H = 97;  // a quarter turn gives 150 rows: several strips
  const _ImgColorSpace* spaces[] = {&ICS_Y8, &ICS_sRGB, &ICS_RGB709, nullptr};
  _ImgColorSpace rgb48 = ICS_sRGB;
  rgb48.dtype = IDTushort;
  spaces[3] = &rgb48;
  DBRecord rec(&PDBFInfo);
  PDBsetInt(&rec, PDBFquality, 100);  // uncompressed TIFF
  for (const _ImgColorSpace* cs : spaces) {
    _ImgStruct im = {W, H, cs, 0, nullptr, nullptr};
    ASSERT_TRUE(PnewImage(&im, 0));
    for (int y = 0; y < H; ++y)
      for (int i = 0; i < im.rowsize; ++i)
        im.img[static_cast<size_t>(y) * im.rowsize + i] =
            static_cast<uint8_t>((y * 131 + i * 7) % 253);
    for (int k = 0; k < 8; ++k) {
      POrient o;
      o.SetOrigSize(W, H);
      o.RotateCW(90 * (k & 3));
      if (k & 4) o.HFlip();
      _ImgStruct turned = {};
      turned.csp = cs;
      ASSERT_TRUE(o.OrientImage(&turned, &im));
      DBRecord a = rec, b = rec;
      ASSERT_TRUE(PsaveImageFile(&a, &turned, Path("copy.tif").c_str(), PimageWriter(0)));
      ASSERT_TRUE(PsaveImageFile(&b, &im, Path("rows.tif").c_str(), PimageWriter(0), &o));
      EXPECT_EQ(Read(Path("rows.tif")), Read(Path("copy.tif"))) << PpixelSize(cs) << " " << k;
      PfreeImage(&turned);
    }
    PfreeImage(&im);
  }
}

// On a disk that keeps no permissions (every call that sets a mode fails with ENOSYS, as on a
// FAT disk), a picture saved over an existing file and one saved under a new name are written
// whole, in each format's way (TIFF, and JPEG, whose writer makes a temporary file of its own),
// with no temporary file left.
TEST_F(Save, OnADiskWithoutPermissionsTheFileIsWritten) {
  const std::string old = Path("old.tif"), fresh = Path("new.jpg");
  std::ofstream(old) << "the picture that was here";
  ASSERT_EQ(chmod(old.c_str(), 0640), 0);
  const int was = Entries();
  _ImgStruct pic = Picture(64, 48);
  const pid_t pid = fork();
  if (pid == 0) {
    gInterfaceReady = 0;  // the child has none of its parent's drawing threads: it only writes
    if (!NoModeCanBeSet()) _exit(2);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fchmod(fd, 0700) == 0 || errno != ENOSYS) _exit(4);
    DBRecord a(&PDBFInfo), b(&PDBFInfo);
    PDBsetInt(&b, PDBFquality, 90);
    _exit(PsaveImageFile(&a, &pic, old.c_str(), PimageWriter(0)) &&
                  PsaveImageFile(&b, &pic, fresh.c_str(), &IWInterfaceJPEG)
              ? 0
              : 3);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  PfreeImage(&pic);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "this system lets no process filter its calls: no disk without permissions "
                    "can be stood for";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a save where no mode can be set failed";
  for (const std::string& f : {old, fresh}) {
    _ImgReader* ir = PopenImageF(f.c_str(), 0, nullptr);
    ASSERT_NE(ir, nullptr) << f;
    EXPECT_EQ(ir->xres, 64) << f;
    EXPECT_EQ(ir->yres, 48) << f;
    ir->ri->Close(ir);
  }
  EXPECT_EQ(Entries(), was + 1);  // the new file, and no temporary one
}

// Save Image over the user's own set-user-ID picture keeps its permission bits but that one; over
// another user's picture (planted by root: set-user-ID, writable by anyone) the user's file
// takes a new file's mode.
TEST_F(Save, SavingOverAPictureGivesNoSetIdBitAndNoOtherUsersMode) {
  const std::string path = Path("group.jpg");
  const mode_t mask = umask(022);
  umask(mask);
  struct Case {
    uid_t owner;
    mode_t mode, saved;
  };
  const uid_t me = geteuid(), other = testutil::OtherUid();
  for (const Case& c : {Case{me, 04750, 0750}, Case{other, 04777, 0666 & ~mask}}) {
    SCOPED_TRACE(c.owner == me ? "the user's own" : "another user's");
    if (c.owner != me && me != 0) GTEST_SKIP() << "another user's file can be planted only as root";
    _ImgStruct pic = Picture(32, 24);
    ASSERT_TRUE(WriteJPEG(path, pic, 90));
    PfreeImage(&pic);
    ASSERT_EQ(chown(path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    DBRecord rec = RecordOf(path);
    _ImgStruct turned = Picture(24, 32);
    OnSaveDialog([&](PFileDialog* d) {
      d->SetDirectory(dir);
      AnswerReplace(d);
      QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
    });
    ASSERT_TRUE(saveImage(&rec, &turned));
    PfreeImage(&turned);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, me);
    EXPECT_EQ(st.st_mode & 07777, c.saved);
    EXPECT_TRUE(HashMatches(rec, path));
  }
}

TEST_F(Save, AWriterKilledOrCutShortLeavesTheOldFileWhole) {
  const std::string old = Path("old.tif");
  std::ofstream(old) << "the picture that was here";
  const std::string before = Read(old);
  _ImgStruct big = Picture(2000, 1500);  // 9 MB of uncompressed TIFF
  DBRecord rec(&PDBFInfo);
  PDBsetInt(&rec, PDBFquality, 100);
  // What a writer does when its file reaches the size limit.
  enum class AtLimit { die, fail, stop };
  auto child = [&](AtLimit at, rlim_t limit) {
    const pid_t pid = fork();
    if (pid == 0) {
      // The child has none of its parent's threads: it must not paint (a Progress window shown
      // on a busy machine would wait on drawing threads that are not there), only write.
      gInterfaceReady = 0;
      if (at == AtLimit::fail) signal(SIGXFSZ, SIG_IGN);
      // Stops itself in the middle of the write, its temporary file part written.
      if (at == AtLimit::stop) signal(SIGXFSZ, [](int) { raise(SIGSTOP); });
      struct rlimit rl = {limit, limit};
      if (limit != RLIM_INFINITY) setrlimit(RLIMIT_FSIZE, &rl);
      _exit(PsaveImageFile(&rec, &big, old.c_str(), PimageWriter(0)) ? 0 : 3);
    }
    return pid;
  };
  int status = 0;
  // Stopped by the file size limit's signal, then failing with the signal ignored.
  pid_t pid = child(AtLimit::die, 65536);
  const pid_t killed = pid;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  EXPECT_EQ(Read(old), before);
  pid = child(AtLimit::fail, 65536);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_EQ(Read(old), before);
  // Killed while writing: stopped where its write met the limit, its temporary files there,
  // then killed there.
  const int was = Entries();
  pid = child(AtLimit::stop, 65536);
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << status;
  EXPECT_GT(Entries(), was);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(Read(old), before);
  EXPECT_GT(Entries(), was);  // what it wrote is left
  // And a write that completes replaces it, removing what the killed writers left; a
  // temporary file of a live process, and one named alike but not by this program, stay.
  const std::string mine = Path(".old.tif.lumerin-" + std::to_string(getpid()) + "-q1w2e3.tmp"),
                    alike = Path(".old.tif.lumerin-" + std::to_string(killed) + "-q1w2e3.bak");
  std::ofstream(mine) << "x";
  std::ofstream(alike) << "x";
  EXPECT_GT(Entries(), 3);
  EXPECT_TRUE(PsaveImageFile(&rec, &big, old.c_str(), PimageWriter(0)));
  EXPECT_NE(Read(old), before);
  EXPECT_TRUE(HashMatches(rec, old));
  EXPECT_EQ(Entries(), 3);
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(mine)));
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(alike)));
  PfreeImage(&big);
}

// What another user does at the temporary file's name once the writer has put the picture
// there.
std::function<void(const std::string& tmp)>& AfterWrite() {
  static std::function<void(const std::string&)> f;
  return f;
}
long PlantingWrite(const char* path, const _ImgWriteBuf* wb) {
  const long n = IWInterfaceTIFF.WriteImage(path, wb);
  if (n > 0 && AfterWrite()) AfterWrite()(path);
  return n;
}

// A save in a folder another user may write, who renames away the temporary file the picture
// was just written to and leaves a FIFO there, or a file of their own. The FIFO is not waited
// on (the save, and the window, would hang until someone writes to it), the file is not put in
// place: the save fails at once and the file it was to replace stays as it was.
TEST_F(Save, WhatAnotherUserLeavesAtTheTemporaryNameIsNeitherWaitedOnNorPutInPlace) {
  testutil::TempDir top("save");
  const std::string shared = testutil::SharedFolder(top.Dir());
  const std::string old = shared + "/old.tif", moved = shared + "/moved";
  std::ofstream(old) << "the picture that was here";
  _ImgWriterInterface planting = IWInterfaceTIFF;
  planting.WriteImage = PlantingWrite;
  planting.WriteRows = nullptr;
  _ImgStruct pic = Picture(64, 48);
  const struct {
    const char* what;
    bool otherUsers;  // a file of another user: only root can plant it
    bool (*plant)(const char* tmp);
  } cases[] = {
      {"a FIFO", false, [](const char* tmp) { return mkfifo(tmp, 0666) == 0; }},
      {"their file", true,
       [](const char* tmp) {
         const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
         return fd >= 0 && write(fd, "theirs", 6) == 6 && close(fd) == 0;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.otherUsers && !testutil::CanBeOtherUser()) {
      std::cout << "Not root: no file of another user to plant\n";
      continue;
    }
    std::string planted;
    bool plantedOk = false;
    AfterWrite() = [&](const std::string& tmp) {
      planted = tmp;
      plantedOk = testutil::Plant(
          [&] { return rename(tmp.c_str(), moved.c_str()) == 0 && c.plant(tmp.c_str()); });
    };
    testutil::FifoWatch fifo(planted);
    DBRecord rec(&PDBFInfo);
    EXPECT_FALSE(PsaveImageFile(&rec, &pic, old.c_str(), &planting));
    EXPECT_FALSE(fifo.Waited()) << "the save waited on the FIFO";
    AfterWrite() = nullptr;
    EXPECT_TRUE(plantedOk);
    EXPECT_EQ(Read(old), "the picture that was here");
    unlink(planted.c_str());
    unlink(moved.c_str());
  }
  PfreeImage(&pic);
}

}  // namespace
