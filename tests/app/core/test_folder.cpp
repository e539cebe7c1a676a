// Folder scanning and loading on real folders: hidden files, sub-folders, links and broken
// links, paths too long, read errors, what a load fills in beside exiftool's reading of the
// test pictures, and opened documents.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QWindow>
#include <fstream>
#include <map>
#include <sstream>

#include "app/browser/pbrowser.h"
#include "app/core/pbusy.h"
#include "app/core/pfolder.h"
#include "apptest.h"
#include "standins.h"
#include "catalog/pdbase.h"
#include "formats/stdformats.h"
#include "platform/pdocuments.h"
#include "testutil/message_log.h"

namespace {

class Folder : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  std::string dir;
  std::string pictures = std::string(LUMERIN_TESTDATA) + "/jpeg";
  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    dmessage_alert = nullptr;
    dmessage_last_class = DMCnerr;  // no earlier problem blinks on the status line
    PloadStandardReaders();
    dir = home.path() + "/photos";
    mkdir(dir.c_str(), 0755);
  }
  void TearDown() override { gFolderReader = PFolderReader{opendir, readdir, closedir}; }
  bool HavePictures() const { return access((pictures + "/Canon_40D.jpg").c_str(), R_OK) == 0; }
  // Copies test picture name into the folder under a new name.
  void Put(const std::string& name, const char* picture = "Canon_40D.jpg") const {
    std::ifstream in(pictures + "/" + picture, std::ios::binary);
    std::ofstream(dir + "/" + name, std::ios::binary) << in.rdbuf();
  }
  void Text(const std::string& name) const { std::ofstream(dir + "/" + name) << "text"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> v;
    for (int i = 0; i < gMain->bc.rdisp.GetSize(); ++i)
      v.push_back(PDBgetField(gMain->bc.rdisp[i], PDBFfile).GetString(0));
    std::sort(v.begin(), v.end());
    return v;
  }
};

std::string Last(unsigned cls) {
  return dmessage_record[cls] ? dmessage_record[cls] : "";
}

struct Seen {
  std::vector<PFileSpec> files, folders;
};
bool SeeFile(const PFileSpec* fs, void* p) {
  static_cast<Seen*>(p)->files.push_back(*fs);
  return true;
}
bool SeeFolder(const PFileSpec* fs, void* p) {
  static_cast<Seen*>(p)->folders.push_back(*fs);
  return true;
}

TEST_F(Folder, HiddenFilesSubFoldersAndLinks) {
  if (!HavePictures()) GTEST_SKIP() << "no test pictures";
  // Hidden files only: nothing loaded, nothing said.
  Put(".hidden.jpg");
  Text(".profile");
  dmessage_record[DMCinfo] = nullptr;
  EXPECT_EQ(loadFolder(dir.c_str(), true, nullptr), 0);
  EXPECT_EQ(gMain->bc.rdisp.GetSize(), 0);
  EXPECT_EQ(Last(DMCinfo), "");
  // Ten images, a text file, two sub-folders (one with an image) and links.
  for (int i = 0; i < 10; ++i) Put("img" + std::to_string(i) + ".jpg");
  Text("notes.txt");
  mkdir((dir + "/sub").c_str(), 0755);
  mkdir((dir + "/sub2").c_str(), 0755);
  std::ofstream(dir + "/sub/inner.jpg") << "x";
  EXPECT_EQ(loadFolder(dir.c_str(), true, nullptr), 11);  // the entries that are not folders
  EXPECT_EQ(gMain->bc.rdisp.GetSize(), 10);               // sub-folders are not entered
  EXPECT_EQ(Last(DMCinfo), "Loaded folder '" + dir + "' (10 images)");
  EXPECT_STREQ(gMain->bc.rsrc, dir.c_str());
  int nimg = 0, ndir = 0;
  EXPECT_EQ(sniffFolder(dir.c_str(), nullptr, &nimg, &ndir), 11);
  EXPECT_EQ(nimg, 10);
  EXPECT_EQ(ndir, 2);
  EXPECT_EQ(sniffFolder(dir.c_str(), nullptr, nullptr, nullptr), 17);  // every entry, . and ..

  // A link to an image (through a chain), a broken link, a link to a folder, and an image
  // under a name without a suffix reached through a link with one.
  Put("plain", "Nikon_D70.jpg");
  const std::string links = home.path() + "/links";
  mkdir(links.c_str(), 0755);
  ASSERT_EQ(symlink((pictures + "/Kodak_CX7530.jpg").c_str(), (links + "/kodak1").c_str()), 0);
  ASSERT_EQ(symlink((links + "/kodak1").c_str(), (dir + "/kodak.jpg").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/gone.jpg").c_str(), (dir + "/broken.jpg").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/sub").c_str(), (dir + "/sublink").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/plain").c_str(), (dir + "/named.jpg").c_str()), 0);
  Seen seen;
  scanFolder(dir.c_str(), nullptr, SeeFile, SeeFolder, &seen);
  std::map<std::string, PFileSpec> by;
  for (const PFileSpec& f : seen.files) by[f.fname] = f;
  for (const PFileSpec& f : seen.folders) by[f.fname] = f;
  ASSERT_TRUE(by.count("kodak.jpg"));
  EXPECT_TRUE(by["kodak.jpg"].isAlias);
  EXPECT_EQ(std::string(by["kodak.jpg"].fpath), pictures + "/Kodak_CX7530.jpg");
  EXPECT_FALSE(by["broken.jpg"].isAlias);  // counts as a plain file no reader opens
  EXPECT_TRUE(by["sublink"].isFolder);
  EXPECT_TRUE(by["sublink"].isAlias);
  EXPECT_FALSE(by["img3.jpg"].isAlias);
  EXPECT_EQ(by.count(".hidden.jpg"), 0u);
  loadFolder(dir.c_str(), false, nullptr);
  const std::vector<std::string> files = Files();

  // kodak.jpg under its target's name; plain, which no reader's suffix names, through
  // named.jpg only.
  EXPECT_EQ(files.size(), 10u + 2u);
  EXPECT_EQ(std::count(files.begin(), files.end(), "Kodak_CX7530.jpg"), 1);
  EXPECT_EQ(std::count(files.begin(), files.end(), "plain"), 1);
  EXPECT_EQ(std::count(files.begin(), files.end(), "broken.jpg"), 0);
}

TEST_F(Folder, LongPathsAndReadErrors) {
  if (!HavePictures()) GTEST_SKIP() << "no test pictures";
  // A folder path of 900 bytes or more is refused whole.
  const std::string long900 = "/" + std::string(899, 'a');
  EXPECT_EQ(scanFolder(long900.c_str(), nullptr, SeeFile, nullptr, nullptr), -1);
  EXPECT_EQ(scanFolder("", nullptr, SeeFile, nullptr, nullptr), -1);
  // In a folder of 880 bytes, a name that would make a path past 1,024 bytes is left out with
  // a warning, not cut down to another file's name.
  std::string deep = dir;
  while (deep.size() < 880 - 201) {
    deep += "/" + std::string(std::min<size_t>(200, 880 - 1 - deep.size()), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size();
  }
  deep += "/" + std::string(880 - 1 - deep.size(), 'e');
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  ASSERT_EQ(deep.size(), 880u);
  const std::string longName(200, 'n'), shortName = "ok.jpg";
  std::ifstream in(pictures + "/Canon_40D.jpg", std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::ofstream(deep + "/" + longName, std::ios::binary) << bytes.str();
  std::ofstream(deep + "/" + shortName, std::ios::binary) << bytes.str();
  Seen seen;
  EXPECT_EQ(scanFolder(deep.c_str(), nullptr, SeeFile, nullptr, &seen), 2);
  ASSERT_EQ(seen.files.size(), 1u);
  EXPECT_STREQ(seen.files[0].fname, "ok.jpg");
  EXPECT_EQ(Last(DMCwarning).find("Path too long for '" + longName), 0u);

  // Loaded, each is told in an alert: the folder whose path is too long, and the count of the
  // files left out of a folder.
  std::vector<std::string> alerts;
  static std::vector<std::string>* told;
  told = &alerts;
  dmessage_alert = [](const char* text) {
    told->push_back(text);
    return 1;
  };
  ASSERT_EQ(mkdir((deep + "/" + std::string(19, 'f')).c_str(), 0755), 0);
  loadFolder((deep + "/" + std::string(19, 'f')).c_str(), false, nullptr);
  loadFolder(deep.c_str(), false, nullptr);
  dmessage_alert = nullptr;
  EXPECT_EQ(alerts, (std::vector<std::string>{
                        "Cannot show folder '" + std::string(19, 'f') +
                            "': its path is 900 bytes long, and folders whose paths are 900 "
                            "bytes or more cannot be shown",
                        "1 file was left out of folder '" + deep +
                            "': a path must be shorter than 1024 bytes"}));
  EXPECT_EQ(Files(), std::vector<std::string>{"ok.jpg"});

  // A folder read error is reported, not taken for the end of the folder.
  for (int i = 0; i < 5; ++i) Put("p" + std::to_string(i) + ".jpg");
  static int reads;
  reads = 0;
  gFolderReader.read = [](DIR* d) -> dirent* {
    if (++reads > 4) {
      errno = EIO;
      return nullptr;
    }
    return readdir(d);
  };
  dmessage_record[DMCsystem] = nullptr;
  EXPECT_EQ(scanFolder(dir.c_str(), nullptr, SeeFile, nullptr, &seen), -1);
  EXPECT_EQ(Last(DMCsystem), "Cannot read folder '" + dir + "'");
  gFolderReader.read = readdir;
  gFolderReader.open = [](const char*) -> DIR* {
    errno = EACCES;
    return nullptr;
  };
  // A folder that cannot be opened is logged with its name and the reason, not alerted.
  dmessage_record[DMCsystem] = nullptr;
  EXPECT_EQ(scanFolder(dir.c_str(), nullptr, SeeFile, nullptr, &seen), -1);
  EXPECT_EQ(Last(DMCwarning), "Cannot open folder '" + dir + "': " + strerror(EACCES));
  gFolderReader.open = opendir;
  const std::string notDir = dir + "/p0.jpg";
  EXPECT_EQ(scanFolder(notDir.c_str(), nullptr, SeeFile, nullptr, &seen), -1);
  EXPECT_EQ(Last(DMCwarning), "Cannot open folder '" + notDir + "': " + strerror(ENOTDIR));
  EXPECT_EQ(Last(DMCsystem), "");
}

TEST_F(Folder, ALongLoadShowsAScreenfulFirstAndCanBeStopped) {
  if (!HavePictures()) GTEST_SKIP() << "no test pictures";
  for (int i = 0; i < 300; ++i) Put("p" + std::to_string(1000 + i) + ".jpg");
  SetManualPlatformClock(true);
  gMain->SetThumbSize(FourCC("tmed"), false);
  SizeWindow(gMain->GetWindow(), 1300, 754, true);  // 45 cells
  gMain->Show(1);
  std::vector<std::string> traces;
  dmessage_call = [](unsigned cls, const char* text, const char*, int) -> uint32_t {
    if (cls == DMCtrace && strncmp(text, "First ", 6) == 0) {
      static std::string* kept = nullptr;
      delete kept;
      kept = new std::string(text);
      dmessage_record[DMCtrace] = kept->c_str();
      return DMArecord;
    }
    return 0;
  };
  // Once the first screen shows, time passes; the progress window then comes up, kept above
  // every window of the program, and its Stop button ends the load. Meanwhile the commands that
  // would replace or read the records half loaded are refused, and the toolbar's controls sending
  // them grey with their menu items.
  const WindowRef mw = gMain->GetWindow();
  auto live = [&](std::vector<SInt32> ids) {
    int n = 0;
    for (SInt32 id : ids) n += IsControlEnabled(PcontrolOf(mw, kSigPicture, id));
    return n;
  };
  EnableControl(PcontrolOf(mw, kSigPicture, 136));
  ASSERT_EQ(live({135, 136, 137}), 3);  // Sort, Reverse, Find
  bool refused = false, clickRefused = false, above = false;
  int liveMeanwhile = -1;
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [&, t] {
    if (dmessage_record[DMCtrace] && strncmp(dmessage_record[DMCtrace], "First ", 6) == 0 &&
        !IsWindowVisible(gProgressWindow))
      AdvancePlatformClock(2.0);
    if (IsWindowVisible(gProgressWindow)) {
      refused = PisBusy() && PrefusedWhileBusy(FourCC("dir ")) && CommandRefused(FourCC("erec"));
      liveMeanwhile = live({135, 136, 137});
      const int before = gMain->bc.TotalSelected();
      auto* b = static_cast<PBrowser*>(gMain->GetBrowser());
      b->Click(
          Point{static_cast<short>(b->extent.top + 40), static_cast<short>(b->extent.left + 40)}, 0,
          nullptr);
      clickRefused = gMain->bc.TotalSelected() == before;
      SelectWindow(mw);
      QWindow* progress = PlatformFrameWidget(gProgressWindow)->windowHandle();
      above = IsWindowVisible(gProgressWindow) && progress->transientParent() != nullptr &&
              progress->transientParent()->type() == Qt::Desktop;
      t->stop();
      t->deleteLater();
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                        Qt::LeftButton);
    }
  });
  t->start(1);
  dmessage_record[DMCtrace] = nullptr;
  const int count = loadFolder(dir.c_str(), true, nullptr);
  dmessage_call = nullptr;
  SetManualPlatformClock(false);
  const int shown = gMain->bc.rdisp.GetSize();
  EXPECT_GT(shown, 45);
  EXPECT_LT(shown, 300);    // stopped before the end
  EXPECT_GE(count, shown);  // the entries fetched
  EXPECT_TRUE(refused);
  EXPECT_TRUE(clickRefused);
  EXPECT_TRUE(above);
  EXPECT_EQ(liveMeanwhile, 0);
  EXPECT_EQ(live({135, 137}), 2);
  EXPECT_FALSE(PisBusy());
  EXPECT_EQ(Last(DMCinfo),
            "Stopped loading folder '" + dir + "': " + std::to_string(shown) + " files loaded");
  EXPECT_FALSE(IsWindowVisible(gProgressWindow));
}

// exiftool's values of every test JPEG: "File" -> {width, height, bytes, capture date}.
std::map<std::string, std::vector<std::string>> ExifTool(const std::string& folder) {
  QProcess p;
  p.start("exiftool",
          {"-j", "-d", "%Y:%m:%d %H:%M:%S", "-FileName", "-ImageWidth#", "-ImageHeight#",
           "-FileSize#", "-EXIF:ModifyDate", "-EXIF:DateTimeOriginal", "-EXIF:CreateDate",
           "-FileModifyDate", "-ext", "jpg", QString::fromStdString(folder)});
  std::map<std::string, std::vector<std::string>> out;
  if (!p.waitForFinished(60000)) return out;
  const QJsonArray all = QJsonDocument::fromJson(p.readAllStandardOutput()).array();
  for (const QJsonValue& v : all) {
    const QJsonObject o = v.toObject();
    // The capture date as the library reads it: the picture's own date, else its original or
    // creation date, else the file's time.
    std::string date;
    for (const char* tag : {"ModifyDate", "DateTimeOriginal", "CreateDate", "FileModifyDate"}) {
      const std::string d = o.value(tag).toVariant().toString().toStdString();
      if (d.size() == 19 && d[4] == ':' && d.substr(0, 4) >= "1980") {
        date = d;
        break;
      }
    }
    out[o.value("FileName").toString().toStdString()] = {
        std::to_string(o.value("ImageWidth").toInt()),
        std::to_string(o.value("ImageHeight").toInt()),
        std::to_string(static_cast<long long>(o.value("FileSize").toDouble())), date};
  }
  return out;
}

// A thumbnail cache that cannot be made (a file where its folder would go) is told once, with the
// shadow catalogue that cannot be had either, in the log and in the status line, and costs a
// folder's load nothing: on the platform clock, which moves only by the waits of the first status
// message and the load (held here), they take what they take with a cache, and the status line
// shows the load's own words once the problem has blinked, and a later load's at once.
TEST_F(Folder, ACacheThatCannotBeMadeCostsALoadNothing) {
  for (int i = 0; i < 20; ++i) {
    QImage im(64, 48, QImage::Format_RGB32);
    im.fill(QColor(10 * i, 90, 200 - 5 * i));
    ASSERT_TRUE(im.save(QString::fromStdString(dir + "/p" + std::to_string(i) + ".jpg"), "JPEG"));
  }
  std::ofstream(home.path() + "/afile") << "x";
  double waited[2] = {-1, -1};
  for (const bool impossible : {false, true}) {
    SCOPED_TRACE(impossible ? "no cache" : "a cache");
    setenv("XDG_CACHE_HOME", (home.path() + (impossible ? "/afile/cache" : "/cache")).c_str(), 1);
    StartUpForgotten forget;
    MessageLog log;
    InitPreferences();
    EXPECT_EQ(PthumbManager().IsOpen(), !impossible);
    // As at start-up: the first status message, then the folder.
    SetManualPlatformClock(true);
    const double t0 = GetCurrentEventTime();
    gMain->ShowMessage("No catalog", false);
    EXPECT_EQ(loadFolder(dir.c_str(), false, nullptr), 20);
    waited[impossible] = GetCurrentEventTime() - t0;
    for (int step = 0; step < 300; ++step) AdvancePlatformClock(0.01);
    SetManualPlatformClock(false);
    EXPECT_EQ(StatusLine(), "20/20 files");
    // Blinked once, the problem was seen: the next load's words show at once.
    EXPECT_EQ(loadFolder(dir.c_str(), false, nullptr), 20);
    EXPECT_EQ(TextOf(gMain->GetWindow(), "pict", 132), "20/20 files");
    // Told in one message, for the thumbnail cache and the shadow catalogue alike.
    int told = 0;
    for (const auto& e : log.entries) told += e.first < DMCinfo;
    EXPECT_EQ(told, impossible ? 1 : 0) << log.All();
    if (impossible) {
      const std::string said = log.All();
      EXPECT_NE(said.find("'" + home.path() + "/afile' is not a folder"), std::string::npos)
          << said;
      EXPECT_NE(said.find(": no thumbnail cache and no shadow catalog this run"), std::string::npos)
          << said;
    }
  }
  EXPECT_EQ(waited[1], waited[0]);
  setenv("XDG_CACHE_HOME", (home.path() + "/cache").c_str(), 1);
}

// The cache and state folders cleared while the program runs: the next load makes them again,
// and the thumbnail cache, the shadow catalogue and the log start anew there, quietly (what the
// removed files held went with them); so too when the preferences put the shadow catalogue and
// the thumbnail cache in folders of their own, neither made with the other's, the thumbnail
// cache's two below the program's folder.
TEST_F(Folder, FoldersClearedWhileTheProgramRunsAreMadeAgainAtTheNextLoad) {
  for (int i = 0; i < 3; ++i) {
    QImage im(64, 48, QImage::Format_RGB32);
    im.fill(QColor(60 * i, 90, 200 - 50 * i));
    ASSERT_TRUE(im.save(QString::fromStdString(dir + "/p" + std::to_string(i) + ".jpg"), "JPEG"));
  }
  const std::string cache = home.path() + "/cache/lumerin";
  for (const bool apart : {false, true}) {
    SCOPED_TRACE(apart ? "in folders apart" : "as the first start put them");
    const std::string shadowFile = cache + (apart ? "/shadow/Lumerin.qdb" : "/Lumerin.qdb");
    const std::string thumbs = cache + (apart ? "/thumbs/cache" : "/LumerinCache");
    StartUpForgotten forget;
    InitPreferences();
    if (apart) {
      // Chosen in the preferences, then a start.
      PsetPreference("ShadowCatalog", gShadowCatalog, shadowFile.c_str());
      PsetPreference("ThumbnailCacheDirectory", thumbCacheDir, thumbs.c_str());
      SavePreferences();
      ForgetStartUp();
      InitPreferences();
    }
    ASSERT_EQ(std::string(gShadowCatalog), shadowFile);
    ASSERT_TRUE(gMain->bc.ShadowDB(gShadowCatalog));
    PThumbnailer& tn = PthumbManager();
    auto thumbnail = [&tn](int i) {
      _ImgStruct t{};
      t.xres = t.yres = 80;
      t.csp = &ICS_sRGB;
      const bool made = tn.GetThumbnail(&t, gMain->bc.rdisp[i]);
      if (t.img != nullptr || t.mbase != nullptr) PfreeImage(&t);
      return made;
    };
    ASSERT_EQ(loadFolder(dir.c_str(), false, nullptr), 3);
    ASSERT_TRUE(thumbnail(0));
    ASSERT_TRUE(QDir(QString::fromStdString(home.path() + "/cache")).removeRecursively());
    ASSERT_TRUE(QDir(QString::fromStdString(home.path() + "/state")).removeRecursively());

    {
      MessageLog log;
      ASSERT_EQ(loadFolder(dir.c_str(), false, nullptr), 3);
      for (int i = 0; i < 3; ++i) EXPECT_TRUE(thumbnail(i)) << i;
      EXPECT_TRUE(tn.SyncCache());
      for (const auto& e : log.entries) EXPECT_GE(e.first, DMCinfo) << e.second;
    }
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(thumbs + "/C000000001.jpg")));
    EXPECT_TRUE(gMain->bc.ShadowReady());
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(shadowFile)));
    DMESSAGE(DMCinfo, "after the load");
    fflush(dmessage_logfp);
    std::ifstream in(home.path() + "/state/lumerin/Lumerin.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("after the load"), std::string::npos) << text.str();
    gMain->bc.ShadowDB(nullptr);
  }
}

TEST_F(Folder, LoadingTheTestPicturesGivesWhatExifToolReads) {
  if (!HavePictures()) GTEST_SKIP() << "no test pictures";
  const auto want = ExifTool(pictures);
  if (want.empty()) GTEST_SKIP() << "exiftool is not installed";
  loadFolder(pictures.c_str(), false, nullptr);
  PContext& bc = gMain->bc;
  ASSERT_GE(bc.rdisp.GetSize(), 20);
  int compared = 0;
  for (int i = 0; i < bc.rdisp.GetSize(); ++i) {
    const DBRecord& r = bc.rdisp[i];
    const std::string name = PDBgetField(r, PDBFfile).GetString(0);
    auto it = want.find(name);
    ASSERT_NE(it, want.end()) << name;
    EXPECT_EQ(PDBgetField(r, PDBFxsize).GetString(0), it->second[0]) << name;
    EXPECT_EQ(PDBgetField(r, PDBFysize).GetString(0), it->second[1]) << name;
    EXPECT_EQ(PDBgetField(r, PDBFnbytes).GetString(0), it->second[2]) << name;
    EXPECT_EQ(PDBgetField(r, PDBFcapdate).GetString(0), it->second[3]) << name;
    ++compared;
  }
  EXPECT_EQ(compared, bc.rdisp.GetSize());
}

// An image window that takes every image, for the opened documents.
class FakeImager : public StandInImager {
 public:
  int CloseImages(bool) override { return 1; }
  bool AddImage(const char* path) override {
    added.push_back(path);
    return true;
  }
  PImageRing* GetCurrentIR() const override {
    return reinterpret_cast<PImageRing*>(static_cast<uintptr_t>(added.size()));
  }
  void Advance(const PImageRing* ir) override { current = reinterpret_cast<uintptr_t>(ir); }
  bool Present() override {
    ++presented;
    return true;
  }
  std::vector<std::string> added;
  uintptr_t current = 0;
  int presented = 0;
};

OSStatus SendDocuments(const std::vector<std::string>& paths) {
  std::string list;
  for (const std::string& p : paths) list += p + '\0';
  EventRef ev = nullptr;
  CreateEvent(kEventClassAppleEvent, kAEOpenDocuments, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typePathList, static_cast<UInt32>(list.size()),
                    list.data());
  const OSStatus r = SendEventToEventTarget(ev, GetApplicationEventTarget());
  ReleaseEvent(ev);
  return r;
}

TEST_F(Folder, OpenedDocumentsAreSortedIntoImagesFoldersAndCatalogues) {
  if (!HavePictures()) GTEST_SKIP() << "no test pictures";
  Put("a.jpg");
  Put("b.jpg");
  FakeImager fake;
  IImageWindow* real = gImager;
  gImager = &fake;
  // Images, then a folder (loaded, and the rest of the list ignored); the first image shows.
  const std::string other = home.path() + "/other";
  mkdir(other.c_str(), 0755);
  EXPECT_EQ(SendDocuments({pictures + "/Nikon_D70.jpg", pictures + "/DSCN0010.jpg", dir,
                           pictures + "/Kodak_CX7530.jpg", other}),
            noErr);
  EXPECT_EQ(fake.added,
            (std::vector<std::string>{pictures + "/Nikon_D70.jpg", pictures + "/DSCN0010.jpg"}));
  EXPECT_EQ(fake.current, 1u);  // the first added
  EXPECT_EQ(fake.presented, 1);
  EXPECT_STREQ(gMain->bc.rsrc, dir.c_str());
  EXPECT_EQ(gMain->bc.rdisp.GetSize(), 2);
  // A path that does not exist stops the list with an error.
  fake.added.clear();
  EXPECT_EQ(SendDocuments({home.path() + "/nothing.jpg", pictures + "/Nikon_D70.jpg"}), -1708);
  EXPECT_TRUE(fake.added.empty());
  // A catalogue opens and ends the list; the list form counts what it took.
  const std::string cat = home.path() + "/c.qdb";
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(cat.c_str()));
  }
  std::string img = pictures + "/Nikon_D70.jpg";
  char* argv[] = {img.data(), const_cast<char*>(cat.c_str()), const_cast<char*>(dir.c_str())};
  fake.added.clear();
  EXPECT_EQ(openDocuments(3, argv), 2);
  EXPECT_TRUE(gMain->bc.Ready());
  EXPECT_EQ(fake.added.size(), 1u);
  gMain->bc.CloseDB();
  gImager = real;
}

}  // namespace
