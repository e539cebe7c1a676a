// The program's folders in whole runs of the program: a cache folder left open to others made
// private, one that became a link refused, the caches the preferences put in folders of others
// refused, each with what the user is told; a FIFO at the log's name, and the statistics at quit
// kept from a file put in the log's place.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDirIterator>
#include <QImage>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <future>
#include <thread>
#include <QProcess>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "app/core/pbusy.h"
#include "app/core/pfolder.h"
#include "app/mainwin/pmainw.h"
#include "apptest.h"
#include "catalog/pdbase.h"
#include "catalog/pfileinfo.h"
#include "platform/pfolders.h"
#include "standins.h"
#include "testutil/other_user.h"

// Opens of files as the file system sees them: once a path is armed, its next open (by name or
// from a folder's descriptor) finds a FIFO without a reader put in place of what was there, after
// the program looked at the name and before its open (as another user may in a folder both can
// write). An open that waits on it is ended after half a minute by a reader, far beyond an open
// that does not wait: waited says so.
namespace fifo_at_open {
std::atomic<const char*> armed{nullptr};
std::atomic<bool> planted{false}, waited{false};

// The open's answer: opened() runs it, the FIFO put in place first when full is the path armed.
template <class Opened>
int Through(const std::string& full, Opened opened) {
  const char* at = armed.load();
  if (at == nullptr || full != at || !armed.compare_exchange_strong(at, nullptr)) return opened();
  unlink(full.c_str());
  planted = mkfifo(full.c_str(), 0600) == 0;
  std::promise<void> back;
  std::thread reader([&full, returned = back.get_future()] {
    if (returned.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return;
    waited = true;
    const int fd = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
    returned.wait();
    if (fd >= 0) close(fd);
  });
  const int fd = opened();
  back.set_value();
  reader.join();
  return fd;
}

int ModeOf(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}
}  // namespace fifo_at_open

extern "C" int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = fifo_at_open::ModeOf(flags, ap);
  va_end(ap);
  const auto opened = [&] {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
  };
  if (fifo_at_open::armed.load() == nullptr) return opened();
  return fifo_at_open::Through(path, opened);
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = fifo_at_open::ModeOf(flags, ap);
  va_end(ap);
  const auto opened = [&] { return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode)); };
  if (fifo_at_open::armed.load() == nullptr) return opened();
  std::string full = path;
  if (path[0] != '/' && dir != AT_FDCWD) {
    char at[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(dir)).c_str(), at, sizeof at - 1);
    full = n > 0 ? std::string(at, static_cast<size_t>(n)) + "/" + path : "";
  }
  return fifo_at_open::Through(full, opened);
}

namespace {

int Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Every file and folder below dir with its kind, mode, size and time of change: a write there
// shows.
std::map<std::string, std::string> Contents(const std::string& dir) {
  std::map<std::string, std::string> all;
  QDirIterator it(QString::fromStdString(dir),
                  QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const std::string p = it.next().toStdString();
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    all[p] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
             std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return all;
}

// The three pictures of the folder shown, their load over.
bool PicturesShown() {
  return gMain->bc.rdisp.GetSize() == 3 && !PisBusy();
}

// ... each with its final thumbnail, made in idle time.
bool ThumbnailsMade() {
  if (!PicturesShown()) return false;
  for (int i = 0; i < 3; ++i)
    if (!PthumbManager().FindThumbnail(nullptr, gMain->bc.rdisp[i])) return false;
  return true;
}

// The pictures shown, their thumbnails made when there is a cache to keep them, and a problem of
// the start told in the status line, or none blinking there to be told.
bool ShownAndTold() {
  return PicturesShown() && (!PthumbManager().IsOpen() || ThumbnailsMade()) &&
         (StatusShowed(" this run") || !PstatusBlinks());
}

// A title set on the first picture, for the shadow catalogue to keep.
void SetATitle() {
  PBrowser* b = static_cast<PMainWindow*>(gMain)->GetPBrowser();
  if (b->NewChange("Set")) {
    PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
    b->CompleteChange();
  }
}

std::string All(const std::vector<std::string>& texts) {
  std::string all;
  for (const std::string& t : texts) all += t + "\n";
  return all;
}

}  // namespace

// A cache folder the user left open to others (0777, its thumbnail folder too) comes out private
// at the next start, and is used. One that became a link to a folder open to all (the cache moved
// there) is refused with everything in it: the start says so in the status line, and nothing is
// written there, neither thumbnails nor shadow records, though the pictures show as ever.
TEST(ProgramFolders, AnOpenCacheFolderComesPrivateAndOneThatBecameALinkGetsNothing) {
  TempHome home;
  StartUpForgotten forget;
  const std::string h = home.path(), folder = h + "/pictures", cache = h + "/cache/lumerin";
  ASSERT_TRUE(PutPictures(folder, 3));
  ASSERT_EQ(RunProgramUntil({"lumerin"}, [] { return true; }), 0);
  ASSERT_EQ(chmod(cache.c_str(), 0777), 0);
  ASSERT_EQ(chmod((cache + "/LumerinCache").c_str(), 0777), 0);
  AlertsAnswered alerts;
  EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ThumbnailsMade, SetATitle), 0);
  EXPECT_EQ(Mode(cache), 0700);
  EXPECT_EQ(Mode(cache + "/LumerinCache"), 0700);
  {
    PThumbnailer cached((cache + "/LumerinCache").c_str());
    PThumbnailerStats stats{};
    ASSERT_TRUE(cached.GetCacheStats(&stats));
    EXPECT_EQ(stats.nThumbs, 3);
  }

  const std::string shared = h + "/shared";
  ASSERT_EQ(rename(cache.c_str(), shared.c_str()), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod((shared + "/LumerinCache").c_str(), 0777), 0);
  ASSERT_EQ(symlink(shared.c_str(), cache.c_str()), 0);
  const auto before = Contents(shared);
  EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ShownAndTold, SetATitle), 0);
  EXPECT_TRUE(StatusShowed("Folder '" + cache +
                           "' is a symbolic link; refusing to use it: no thumbnail cache and no "
                           "shadow catalog this run"))
      << All(StatusShown());
  EXPECT_EQ(Contents(shared), before);
  EXPECT_EQ(Mode(shared), 0777);  // not the program's to change
  EXPECT_EQ(All(alerts.texts), "");
}

// The preferences may put the thumbnail cache and the shadow catalogue anywhere, but the program
// keeps its private data only in a folder of the user's, closed to others, that no one else can
// swap. A folder open to all, of the user's or made first by another user, is refused at start: the
// status line names the folder and says why, no alert is raised, and nothing is written there. A
// shadow catalogue's folder that is missing is told the same way and the catalogue not tried.
TEST(ProgramFolders, CachesThePreferencesPutInFoldersOfOthersAreRefusedNamingTheFolder) {
  TempHome home;
  StartUpForgotten forget;
  const std::string h = home.path(), folder = h + "/pictures";
  const std::string open = h + "/open", theirs = h + "/theirs";
  ASSERT_TRUE(PutPictures(folder, 3));
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  const bool other = testutil::CanBeOtherUser();
  if (other) {
    ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(chmod(theirs.c_str(), 0777), 0);
    ASSERT_TRUE(testutil::GiveToOtherUser(theirs));
  }
  const std::string isOpen = "' can be written by everyone; refusing to use it",
                    isTheirs = "' belongs to another user; refusing to use it";
  const struct {
    bool theirs;
    const char* name;
    std::string value, told;
  } cases[] = {
      {false, "ThumbnailCacheDirectory", open,
       "Folder '" + open + isOpen + ": no thumbnail cache this run"},
      {false, "ShadowCatalog", open + "/Lumerin.qdb",
       "Folder '" + open + isOpen + ": no shadow catalog this run"},
      {false, "ShadowCatalog", h + "/gone/Lumerin.qdb",
       "Folder '" + h + "/gone' is missing: no shadow catalog this run"},
      {true, "ThumbnailCacheDirectory", theirs,
       "Folder '" + theirs + isTheirs + ": no thumbnail cache this run"},
      {true, "ShadowCatalog", theirs + "/Lumerin.qdb",
       "Folder '" + theirs + isTheirs + ": no shadow catalog this run"},
  };
  for (const auto& c : cases) {
    if (c.theirs && !other) continue;
    SCOPED_TRACE(std::string(c.name) + " = " + c.value);
    ASSERT_TRUE(WritePreferences(h, {{c.name, c.value}}));
    AlertsAnswered alerts;
    EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ShownAndTold, SetATitle), 0);
    EXPECT_TRUE(StatusShowed(c.told)) << All(StatusShown());
    EXPECT_EQ(All(alerts.texts), "");
    EXPECT_EQ(Contents(open), (std::map<std::string, std::string>{}));
    if (other) {
      EXPECT_EQ(Contents(theirs), (std::map<std::string, std::string>{}));
    }
    EXPECT_EQ(Mode(h + "/gone"), -1);
  }
  if (!other) GTEST_SKIP() << "the folders of another user need root to be made";
}

// A log, a shadow catalogue and a thumbnail cache the preferences put in a folder of the user's
// that others may read (0755, in a home of 0755) are used, and what the program writes there is
// the user's alone (0600), the files an earlier run left open to others too. In a folder a group
// with other members may write (0775), below a home its owner's own group may write (0775), the log
// and the shadow catalogue are refused at start: the status line names the folder and says why, no
// alert is raised, the log goes to the fallback folder for the run, and nothing is written there.
TEST(ProgramFolders, PlacesOthersMayReadAreUsedPrivatelyAndOnesAGroupMayWriteRefused) {
  TempHome home;
  StartUpForgotten forget;
  const std::string h = home.path(), folder = h + "/pictures", mine = h + "/mine";
  static std::string fallback;
  fallback = h + "/tmp";
  ASSERT_TRUE(PutPictures(folder, 3));
  ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
  gLogFallbackFolder = fallback.c_str();
  ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
  for (const std::string& f : {h, mine}) ASSERT_EQ(chmod(f.c_str(), 0755), 0);
  ASSERT_TRUE(WritePreferences(h, {{"ShadowCatalog", mine + "/Lumerin.qdb"},
                                   {"ErrorLog", mine + "/Lumerin.txt"},
                                   {"ThumbnailCacheDirectory", mine + "/thumbs"}}));
  // A shadow catalogue and a log of an earlier run, left open to others.
  {
    PContext earlier;
    ASSERT_TRUE(earlier.ShadowDB((mine + "/Lumerin.qdb").c_str()));
  }
  std::ofstream(mine + "/Lumerin.txt") << "an earlier run's log\n";
  for (const char* f : {"/Lumerin.qdb", "/Lumerin.txt"})
    ASSERT_EQ(chmod((mine + f).c_str(), 0644), 0);
  {
    AlertsAnswered alerts;
    EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ThumbnailsMade, SetATitle), 0);
    EXPECT_EQ(All(alerts.texts), "");
  }
  EXPECT_FALSE(StatusShowed("refusing")) << All(StatusShown());
  for (const char* f :
       {"/Lumerin.qdb", "/Lumerin.txt", "/thumbs/tncache.qdb", "/thumbs/C000000001.jpg"})
    EXPECT_EQ(Mode(mine + f), 0600) << f;
  std::string readable;  // every file the program wrote there is private
  for (const auto& f : Contents(mine))
    if (S_ISREG(std::stoi(f.second)) && (Mode(f.first) & 077) != 0) readable += f.first + "\n";
  EXPECT_EQ(readable, "");
  EXPECT_EQ(Mode(mine), 0755);

  if (!testutil::CanBeOtherUser() || getpwuid(testutil::OtherUid()) == nullptr)
    GTEST_SKIP() << "a folder of a group with other members needs root and the user "
                 << testutil::OtherUid();
  const struct group* g = getgrgid(testutil::OtherGid());
  ASSERT_NE(g, nullptr);
  const std::string group = h + "/group", name = g->gr_name;
  ASSERT_EQ(mkdir(group.c_str(), 0700), 0);
  ASSERT_EQ(chown(group.c_str(), geteuid(), testutil::OtherGid()), 0);
  ASSERT_EQ(chmod(group.c_str(), 0775), 0);
  // The home's group is its owner's alone: it may write there.
  struct stat st;
  ASSERT_EQ(stat(h.c_str(), &st), 0);
  if (FolderUsers::System().GroupMembers(st.st_gid) == FolderUsers::kUserAlone) {
    ASSERT_EQ(chmod(h.c_str(), 0775), 0);
  }
  const std::string why = "Folder '" + group + "' can be written by the group '" + name +
                          "', which has other members; refusing to use it";
  const struct {
    const char* name;
    std::string value, told;
  } cases[] = {
      {"ShadowCatalog", group + "/Lumerin.qdb", why + ": no shadow catalog this run"},
      {"ErrorLog", group + "/Lumerin.txt",
       "Cannot open log file '" + group + "/Lumerin.txt': " + why + "; this run logs to '" +
           fallback + "/Lumerin.txt'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WritePreferences(h, {{c.name, c.value}}));
    AlertsAnswered alerts;
    EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ShownAndTold, SetATitle), 0);
    EXPECT_TRUE(StatusShowed(c.told)) << All(StatusShown());
    EXPECT_EQ(All(alerts.texts), "");
    EXPECT_EQ(Contents(group), (std::map<std::string, std::string>{}));
  }
}

// The thumbnail cache's folder is held from its check and looked at again before every folder
// load, not trusted by the name of its database: reached through the user's own link that the
// user points at another cache folder while the program runs, it is closed without writing
// anything more into the folder it was opened in, and the cache where the link now leads is
// taken up whole.
TEST(ProgramFolders, ACacheFolderWhoseLinkNowLeadsElsewhereGetsNothingMoreWritten) {
  TempHome home;
  StartUpForgotten forget;
  static std::string h, folder, link, before;
  static DBRecord other;  // a picture only the other cache holds
  h = home.path();
  folder = h + "/pictures";
  link = h + "/link";
  ASSERT_TRUE(PutPictures(folder, 3));
  for (const char* f : {"/a", "/b", "/b/thumbs", "/other"})
    ASSERT_EQ(mkdir((h + f).c_str(), 0700), 0);
  QImage im(80, 60, QImage::Format_RGB32);
  im.fill(QColor(200, 30, 90));
  ASSERT_TRUE(im.save(QString::fromStdString(h + "/other/x.jpg"), "JPEG"));
  PloadStandardReaders();
  PgrokFile(&other, (h + "/other/x.jpg").c_str());
  {
    PThumbnailer b((h + "/b/thumbs").c_str());
    _ImgStruct t{};
    t.xres = t.yres = 160;
    t.csp = &ICS_sRGB;
    ASSERT_TRUE(b.GetThumbnail(&t, other));
    PfreeImage(&t);
  }
  ASSERT_EQ(symlink((h + "/a").c_str(), link.c_str()), 0);
  ASSERT_TRUE(WritePreferences(h, {{"ThumbnailCacheDirectory", link + "/thumbs"}}));
  EXPECT_EQ(RunProgramUntil({"lumerin", folder}, ThumbnailsMade,
                            [] {
                              for (const auto& f : Contents(h + "/a")) before += f.first + f.second;
                              unlink(link.c_str());
                              EXPECT_EQ(symlink((h + "/b").c_str(), link.c_str()), 0);
                              EXPECT_EQ(loadFolder(folder.c_str(), false, nullptr), 3);
                              EXPECT_TRUE(PthumbManager().FindThumbnail(nullptr, other));
                            }),
            0);
  std::string after;
  for (const auto& f : Contents(h + "/a")) after += f.first + f.second;
  EXPECT_EQ(after, before);
  other = DBRecord();
}

// The run the test below starts in a process of its own, in this process's home, whose state
// folder cannot be made and whose log fallback folder holds a FIFO at the log's name: the program
// starts, tells whether a log is open and what its status line showed, and quits.
TEST(ProgramFolders, DISABLED_StartWithAFifoAtTheLogsName) {
  static const std::string fallback = std::string(getenv("HOME")) + "/tmp";
  gLogFallbackFolder = fallback.c_str();
  const int status = RunProgramUntil({"lumerin"}, [] { return StatusShowed("Cannot open log"); });
  printf("\nSTATUS %d\nLOG %s\n", status, dmessage_logfp != nullptr ? "open" : "none");
  for (const std::string& s : StatusShown()) printf("SHOWN %s\n", s.c_str());
}

// A FIFO anyone made at the log's fallback name (the state folder cannot be made) would hold the
// start in its open until someone read it. The start goes on: the log is refused, and the status
// line tells why. The start runs in a child process, given a minute, so that a start held there
// fails the test instead of hanging it.
TEST(ProgramFolders, AFifoAtTheLogsNameHoldsNoStart) {
  TempHome home;
  const std::string h = home.path(), fifo = h + "/tmp/Lumerin.txt";
  ASSERT_EQ(mkdir((h + "/tmp").c_str(), 0700), 0);
  ASSERT_EQ(chmod((h + "/tmp").c_str(), 01777), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  std::ofstream(h + "/state") << "a file where the state folder would go";
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  QProcess child;
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QString::fromLocal8Bit(self),
              {"--gtest_also_run_disabled_tests",
               "--gtest_filter=ProgramFolders.DISABLED_StartWithAFifoAtTheLogsName"});
  ASSERT_TRUE(child.waitForStarted());
  if (!child.waitForFinished(60000)) {
    child.kill();
    child.waitForFinished();
    FAIL() << "the start was held for a minute:\n" << child.readAll().toStdString();
  }
  const std::string out = child.readAll().toStdString();
  EXPECT_NE(out.find("\nSTATUS 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nLOG none\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nSHOWN Cannot open log file '" + fifo + "': it is not a regular file\n"),
            std::string::npos)
      << out;
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// The statistics written at quit go into the log the program has open, checked when it was
// opened, not into whatever bears its name by then: a file another user put in its place is left
// as it was.
TEST(ProgramFolders, TheStatisticsAtQuitGoIntoTheLogOpenNotAFileNowBearingItsName) {
  if (!testutil::CanBeOtherUser()) GTEST_SKIP() << "a file of another user needs root to be made";
  TempHome home;
  StartUpForgotten forget;
  static std::string log, kept;
  log = home.path() + "/state/lumerin/Lumerin.txt";
  kept = home.path() + "/state/lumerin/kept.txt";
  const std::string catalogue = home.path() + "/photos.qdb";
  {
    PContext c;
    ASSERT_TRUE(c.OpenDB(catalogue.c_str()));
  }
  EXPECT_EQ(RunProgramUntil(
                {"lumerin", catalogue}, [] { return gMain->bc.Ready() && !PisBusy(); },
                [] {
                  rename(log.c_str(), kept.c_str());
                  std::ofstream(log) << "theirs";
                  EXPECT_TRUE(testutil::GiveToOtherUser(log));
                }),
            0);
  std::stringstream theirs, ours;
  theirs << std::ifstream(log).rdbuf();
  ours << std::ifstream(kept).rdbuf();
  EXPECT_EQ(theirs.str(), "theirs");
  EXPECT_NE(ours.str().find("Database statistics:"), std::string::npos) << ours.str();
}

namespace {

// A FIFO at the log's name never holds the start nor is opened: one put there after the program
// looked at the name and before its open is not waited on, and one another process reads is not
// opened at all (that process would see a writer come and go). The log is refused there, the
// status line says why, and the run logs to the fallback.
TEST(ProgramFolders, AFifoAtTheLogsNameIsNeitherWaitedOnNorOpened) {
  for (const bool swapped : {true, false}) {
    SCOPED_TRACE(swapped ? "put there before the open" : "read by another process");
    TempHome home;
    StartUpForgotten forget;
    const std::string h = home.path(), log = h + "/state/lumerin/Lumerin.txt";
    static std::string fallback;
    fallback = h + "/tmp";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(h + "/state/lumerin")));
    ASSERT_EQ(chmod((h + "/state").c_str(), 0700) | chmod((h + "/state/lumerin").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
    gLogFallbackFolder = fallback.c_str();
    int reader = -1;
    fifo_at_open::planted = fifo_at_open::waited = false;
    if (swapped) {
      std::ofstream(log) << "the last run's log\n";
      fifo_at_open::armed = log.c_str();
    } else {
      ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
      reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    }
    const int status =
        RunProgramUntil({"lumerin"}, [] { return StatusShowed("Cannot open log file"); });
    fifo_at_open::armed = nullptr;
    gLogFallbackFolder = "/tmp";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(StatusShowed("Cannot open log file '" + log +
                             "': it is not a regular file; this run logs to '" + fallback +
                             "/Lumerin.txt'"));
    if (swapped) {
      EXPECT_TRUE(fifo_at_open::planted);
      EXPECT_FALSE(fifo_at_open::waited) << "the log's open waited on a FIFO";
    } else {
      pollfd p{reader, POLLIN, 0};
      EXPECT_EQ(poll(&p, 1, 0), 0) << "the FIFO was opened: its reader saw a writer come and go";
      close(reader);
    }
    struct stat st;
    ASSERT_EQ(lstat(log.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
  }
}

}  // namespace
