// Idle time: the visible cells made final one per firing, waiting while records load; record
// sounds marked, learned again for another display, and played with the desktop's opener
// without a command line.
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cstdio>
#include <fstream>

#include "app/core/pappstate.h"
#include "app/core/pfolder.h"
#include "browsertest.h"
#include "catalog/pfieldset.h"

namespace {

// A 2 x 2 BMP picture; shade changes its first pixel, so that pictures differ.
void WriteBMP(const std::string& path, unsigned char shade = 0x20) {
  std::string b = "BM";
  auto le32 = [&b](uint32_t v) {
    for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto le16 = [&b](uint16_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8);
  };
  le32(70), le32(0), le32(54), le32(40), le32(2), le32(2), le16(1), le16(24), le32(0), le32(16);
  le32(2835), le32(2835), le32(0), le32(0);
  for (int row = 0; row < 2; ++row) {
    b += static_cast<char>(shade);
    b += std::string("\x40\x80\x80\x40\x20\0\0", 7);
  }
  std::ofstream(path, std::ios::binary) << b;
}

class Improve : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    SetManualPlatformClock(true);
    dir = home.path() + "/pics";
    QDir().mkpath(QString::fromStdString(dir));
    const std::string tn = home.path() + "/thumbs";
    QDir().mkpath(QString::fromStdString(tn));
    ASSERT_TRUE(PBrowser::tnMgr.SetCacheDirectory(tn.c_str()));
  }
  void TearDown() override {
    idleImprovements(0);
    PBrowser::tnMgr.SetCacheDirectory(nullptr);
    SetManualPlatformClock(false);
  }
  int Finals() const {
    int n = 0;
    for (int i = 0; i < b->ThumbCount(); ++i) n += b->thumbFinal.Check(static_cast<uint32_t>(i));
    return n;
  }
  std::string dir;
};

TEST_F(Improve, OneCellPerFiringWaitingWhileBusy) {
  for (int i = 0; i < 5; ++i) WriteBMP(dir + "/p" + std::to_string(i) + ".bmp");
  ASSERT_EQ(loadFolder(dir.c_str(), false, nullptr), 5);
  // One record cannot have a thumbnail (its file gone, no length or hash): its quick one
  // stays, uncounted.
  const std::string gone = dir + "/" + PDBgetString(ctx->rdisp.Get(2), PDBFfile);
  ASSERT_EQ(unlink(gone.c_str()), 0);
  for (PDBFieldID f : {PDBFhashval, PDBFnbytes}) ctx->rdisp[2].ClearField(PDBid(ctx->rdisp[2], f));
  b->Redisplay();
  ASSERT_EQ(b->ThumbCount(), 5);
  ASSERT_EQ(Finals(), 0);
  // While records load the work waits, and takes up again afterwards.
  idleImprovements(1.0);
  {
    PBusyGuard busy;
    AdvancePlatformClock(1.2);
    EXPECT_EQ(Finals(), 0);
  }
  AdvancePlatformClock(0.3);  // the busy retry, 0.5 s after the first firing
  EXPECT_EQ(Finals(), 1);
  for (int k = 2; k <= 4; ++k) {
    AdvancePlatformClock(0.08);
    EXPECT_EQ(Finals(), k - 1);
    AdvancePlatformClock(0.02);
    EXPECT_EQ(Finals(), k) << k;
  }
  AdvancePlatformClock(2.0);
  EXPECT_EQ(Finals(), 4);
  EXPECT_FALSE(b->thumbFinal.Check(2));
}

// The user makes the window larger after the cells were made final and something else (a
// click) left the timer suspended: the new cells are laid out, filled and made final as after a
// scroll.
TEST_F(Improve, ResizingFillsAndImprovesTheNewCells) {
  for (int i = 0; i < 60; ++i) WriteBMP(dir + "/p" + std::to_string(i) + ".bmp", 100 + i);
  QWidget* frame = PlatformFrameWidget(mw->GetWindow());
  frame->resize(800, 450);
  checkEvents(0);
  ASSERT_EQ(loadFolder(dir.c_str(), false, nullptr), 60);
  const int before = b->ThumbCount();
  ASSERT_GT(before, 0);
  for (int k = 0; k < 100 && Finals() < before; ++k) AdvancePlatformClock(0.5);
  ASSERT_EQ(Finals(), before);
  QTest::mouseClick(PlatformContentWidget(mw->GetWindow()), Qt::LeftButton, {},
                    QPoint(b->extent.left + 4, b->extent.top + 4));
  AdvancePlatformClock(1.0);
  frame->resize(1300, 754);
  checkEvents(0);
  ASSERT_GT(b->ThumbCount(), before);
  for (int i = 0; i < b->ThumbCount(); ++i) EXPECT_NE(b->thumb[i].img, nullptr) << i;
  for (int k = 0; k < 100 && Finals() < b->ThumbCount(); ++k) AdvancePlatformClock(0.5);
  EXPECT_EQ(Finals(), b->ThumbCount());
}

// Another copy of the program holds the thumbnail cache in the middle of a change (its lock taken,
// the lock file's generation odd) while the cells wait to be made final: they keep their
// placeholders while it holds it, and are made final, each its own picture, once it lets go.
TEST_F(Improve, CellsAnotherCopysHoldTurnedAwayAreMadeFinalOnceItLetsGo) {
  for (int i = 0; i < 4; ++i) WriteBMP(dir + "/p" + std::to_string(i) + ".bmp", 100 + 40 * i);
  ASSERT_EQ(loadFolder(dir.c_str(), false, nullptr), 4);
  ASSERT_EQ(b->ThumbCount(), 4);
  ASSERT_EQ(Finals(), 0);
  // The other copy: its own open of the lock file, its lock on the file's first byte.
  const std::string lockFile = home.path() + "/thumbs/" + PThumbnailer::kShareName;
  const int fd = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
  char gen[19] = {};
  ASSERT_EQ(pread(fd, gen, 18, 4), 18);
  const unsigned long long g = std::stoull(gen);
  auto tell = [fd](unsigned long long v) {
    char text[24];
    snprintf(text, sizeof text, "%018llu", v % 1000000000000000000ULL);
    return pwrite(fd, text, 18, 4) == 18;
  };
  ASSERT_TRUE(tell(g | 1));
  idleImprovements(1.0);
  for (int k = 0; k < 50; ++k) AdvancePlatformClock(0.1);
  EXPECT_EQ(Finals(), 0);
  EXPECT_TRUE(PBrowser::tnMgr.Busy());
  // It ends its change and lets go.
  ASSERT_TRUE(tell((g | 1) + 1));
  close(fd);
  for (int k = 0; k < 50 && Finals() < 4; ++k) AdvancePlatformClock(0.1);
  EXPECT_EQ(Finals(), 4);
  EXPECT_FALSE(PBrowser::tnMgr.Busy());
  for (int i = 0; i < 4; ++i) {
    const int r = b->topleftIndex + i;
    const std::string name = PDBgetString(ctx->rdisp.Get(r), PDBFfile);
    const int shade = 100 + 40 * (name[1] - '0');
    ASSERT_NE(b->thumb[i].img, nullptr);
    // The first pixel's blue, the BMP's first byte (through the sheet's JPEG).
    EXPECT_NEAR(b->thumb[i].img[2], shade, 12) << name;
  }
}

TEST_F(Improve, SoundsMarkedAndPlayed) {
  const std::string odd = "it's \"$(touch owned)\"";
  WriteBMP(dir + "/IMG_0001.bmp");
  std::ofstream(dir + "/IMG_0001.WAV") << "RIFF";
  WriteBMP(dir + "/IMG_0002.bmp");
  WriteBMP(dir + "/" + odd + ".bmp");
  std::ofstream(dir + "/" + odd + ".WAV") << "RIFF";
  loadFolder(dir.c_str(), false, nullptr);
  ASSERT_EQ(ctx->rdisp.GetSize(), 3);
  EXPECT_EQ(b->ImproveDisplay(true), 3);
  std::vector<int> withSound;
  for (int i = 0; i < 3; ++i)
    if (b->SoundCheck(i)) withSound.push_back(i);
  ASSERT_EQ(withSound.size(), 2u);
  // The mark: white, with the dark speaker at its left.
  const int ts = b->ThumbSize();
  for (int i = 0; i < 3; ++i) {
    const int x = (i % b->ntcols) * (ts + 24) + 24, y = (i / b->ntcols) * (16 + ts + 24) + 24;
    const bool marked = Pixel(x, y) == 0xFFFFFF && Pixel(x + 1, y + 3) == 0x282828;
    EXPECT_EQ(marked, b->SoundCheck(i)) << i;
  }
  // A click on the mark runs the opener with the path as it is.
  FakeOpener opener(home.path() + "/bin");
  std::string expected;
  for (int i : withSound) {
    const int x = (i % b->ntcols) * (ts + 24) + 24, y = (i / b->ntcols) * (16 + ts + 24) + 24;
    QTest::mouseClick(PlatformContentWidget(mw->GetWindow()), Qt::LeftButton, {},
                      QPoint(b->extent.left + x + 3, b->extent.top + y + 3));
    checkEvents(0);
    AdvancePlatformClock(1.0);  // not a double click
    expected += dir + "/" + PDBgetString(ctx->rdisp.Get(i), PDBFfile);
    expected.replace(expected.size() - 3, 3, "WAV\n");
  }
  EXPECT_EQ(opener.Opened(), expected);
  EXPECT_FALSE(QFile::exists("owned"));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(dir + "/owned")));
  EXPECT_TRUE(b->PlaySound(withSound[0]));
  {
    // A player that fails is reported.
    FakeOpener failing(home.path() + "/failing", 4);
    std::string alert;
    WhenShown(
        gAlertWindow, [&] { alert = TextOf(gAlertWindow, "alrt", 128); }, "bttn", 1);
    dmessage_last_class = alertLastClass = DMCnerr;
    EXPECT_FALSE(b->PlaySound(withSound[0]));
    EXPECT_EQ(alert.rfind("Cannot play the sound '" + dir + "/", 0), 0u) << alert;
    EXPECT_NE(alert.find("xdg-open failed (status 4)"), std::string::npos) << alert;
  }
  // Another display length: the sounds are learned again.
  WriteBMP(dir + "/IMG_0003.bmp");
  loadFolder(dir.c_str(), false, nullptr);
  ASSERT_EQ(ctx->rdisp.GetSize(), 4);
  EXPECT_EQ(b->soundChecked.Length(), 0u);
  b->ImproveDisplay(true);
  EXPECT_EQ(b->soundChecked.Length(), 4u);
}

}  // namespace
