// Copies of the program sharing one thumbnail cache: two processes making and reading thumbnails
// at once, one of them killed in the middle of a change, and sheets whose files hold other
// pictures than their records name. Each photo is one flat colour, so every thumbnail shown
// tells whose it is.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalog_test_util.h"
#include "catalog/photo_test_util.h"
#include "db/test_nowaitfs.h"
#include "testutil/message_log.h"
#include "testutil/rgb_jpeg.h"
#include "testutil/run_program.h"
#include "testutil/wait_until.h"
#include "thumbs/pthumb.h"

extern char** environ;

using phototest::ScratchDir;

namespace {

// Photo i: a flat picture of the i-th of 125 well-separated colours, named after i.
std::string Shot(const std::string& dir, int i) {
  return dir + "/shot" + std::to_string(i) + ".jpg";
}

void Colour(int i, uint8_t* c) {
  static const uint8_t kLevel[5] = {20, 75, 130, 185, 240};
  c[0] = kLevel[i % 5];
  c[1] = kLevel[i / 5 % 5];
  c[2] = kLevel[i / 25 % 5];
}

// The number a photo's name carries.
int Index(const std::string& path) {
  return atoi(path.c_str() + path.rfind("shot") + 4);
}

// Makes photos from .. to - 1 in dir; their paths.
std::vector<std::string> MakeShots(const std::string& dir, int from, int to) {
  std::vector<uint8_t> px(64 * 48 * 3);
  std::vector<std::string> paths;
  for (int i = from; i < to; i++) {
    uint8_t c[3];
    Colour(i, c);
    for (size_t k = 0; k < px.size(); k++) px[k] = c[k % 3];
    paths.push_back(Shot(dir, i));
    WriteRgbJpeg(paths.back(), 64, 48, px.data(), 90);
  }
  return paths;
}

DBRecord Photo(const std::string& path) {
  DBRecord r;
  PgrokFile(&r, path.c_str());
  return r;
}

_ImgStruct Thumb() {
  _ImgStruct t = {};
  t.xres = t.yres = 80;
  t.csp = &ICS_sRGB;
  return t;
}

// Whether the thumbnail shows photo i's colour (its middle, within 12 of each value).
bool Shows(const _ImgStruct& t, int i) {
  uint8_t c[3];
  Colour(i, c);
  if (t.img == nullptr || t.xres < 4 || t.yres < 4) return false;
  for (int y = t.yres / 4; y < t.yres * 3 / 4; y++)
    for (int x = t.xres / 4; x < t.xres * 3 / 4; x++)
      for (int k = 0; k < 3; k++)
        if (abs(t.img[static_cast<ptrdiff_t>(y) * t.rowsize + 3 * x + k] - c[k]) > 12) return false;
  return true;
}

// Asks again while another copy holds the cache and turns the request away, as the program's
// idle time does (within a bound); whether ask got what it asked for.
template <class Ask>
bool Patiently(PThumbnailer* tn, Ask ask) {
  const auto end = std::chrono::steady_clock::now() + testutil::kStateWait;
  for (;;) {
    const uint64_t away = tn->TurnedAway();
    if (ask()) return true;
    if (tn->TurnedAway() == away || std::chrono::steady_clock::now() > end) return false;
    usleep(20000);
  }
}

// Whether tn gives the photo's own thumbnail (made or from the cache), asking again while the
// cache is held.
bool Gives(PThumbnailer* tn, const std::string& path) {
  return Patiently(tn, [&] {
    _ImgStruct t = Thumb();
    const bool ok = tn->GetThumbnail(&t, Photo(path)) && Shows(t, Index(path));
    PfreeImage(&t);
    return ok;
  });
}

// Loads the photos' thumbnails from the cache alone: how many were found, and how many of
// those show another picture.
std::pair<int, int> Check(PThumbnailer* tn, const std::vector<std::string>& paths) {
  int found = 0, wrong = 0;
  for (const std::string& p : paths) {
    bool shows = false;
    const bool loaded = Patiently(tn, [&] {
      _ImgStruct t = Thumb();
      const bool ok = tn->LoadThumbnail(&t, Photo(p));
      shows = ok && Shows(t, Index(p));
      PfreeImage(&t);
      return ok;
    });
    found += loaded;
    wrong += loaded && !shows;
  }
  return {found, wrong};
}

std::vector<std::string> Lines(const std::string& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

void WriteLines(const std::string& file, const std::vector<std::string>& lines) {
  std::ofstream out(file);
  for (const std::string& l : lines) out << l << '\n';
}

// A copy of this program using the cache (the test ThumbnailShareChild.DISABLED_Copy), driven
// one command letter at a time; each command's answer is one line. Every wait on it is bounded:
// a copy that does not answer or end in time fails the test, and is killed.
class Copy {
 public:
  Copy(const std::string& cache, const std::string& mine, const std::string& all) {
    int cmd[2], rep[2];
    if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(rep, O_CLOEXEC) != 0) return;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::vector<std::string> args = {self, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=ThumbnailShareChild.DISABLED_Copy"};
    pid = testutil::StartChild(args,
                               {"LUMERIN_TNSHARE_CACHE=" + cache, "LUMERIN_TNSHARE_MINE=" + mine,
                                "LUMERIN_TNSHARE_ALL=" + all},
                               "LUMERIN_TNSHARE_", cmd[0], rep[1]);
    close(cmd[0]);
    close(rep[1]);
    to = cmd[1];
    from = rep[0];
  }
  ~Copy() {
    End();
    if (from >= 0) close(from);
  }
  void Send(char c) {
    if (to >= 0 && write(to, &c, 1) != 1) End();
  }
  // The next line the copy tells ("" when it ended, or told nothing within the bound).
  std::string Answer() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
      const size_t nl = buf.find('\n');
      if (nl != std::string::npos) {
        const std::string line = buf.substr(0, nl + 1);
        buf.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (from < 0 || left.count() <= 0) return "";
      pollfd p = {from, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      char chunk[256];
      const ssize_t got = r > 0 ? read(from, chunk, sizeof chunk) : -1;
      if (got <= 0) return "";
      buf.append(chunk, static_cast<size_t>(got));
    }
  }
  std::string Ask(char c) {
    Send(c);
    return Answer();
  }
  // Lets the copy quit, killing it when it has not ended within the bound (it is stopped, or in
  // a loop without end); true when it ended well by itself.
  bool End() {
    if (to >= 0) close(to);
    to = -1;
    if (pid <= 0) return false;
    int status = 0;
    pid_t r = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
      usleep(10000);
    const bool ended = r == pid;
    if (r == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  pid_t pid = -1;

 private:
  int to = -1;
  int from = -1;
  std::string buf;
};

// The generation the cache's lock file tells (odd while a copy is changing the folder); -1
// when it tells none.
long long Generation(const std::string& cache) {
  std::ifstream in(cache + "/" + PThumbnailer::kShareName);
  std::string word;
  long long gen = -1;
  if (!(in >> word >> gen) || word != "gen") return -1;
  return gen;
}

// Whether a process other than this one holds the cache's lock file's lock (as its copies take
// it: on its first byte, by the open file).
bool LockHeld(const std::string& cache) {
  const int fd = open((cache + "/" + PThumbnailer::kShareName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  const bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

// Stops the copy k, which changes the folder without end, until it is caught in a change (the
// lock file's generation odd, the lock held): true, k left stopped there. Within a bound.
bool CatchInChange(Copy* k, const std::string& cache) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end) {
    usleep(2000);
    if (kill(k->pid, SIGSTOP) != 0) return false;
    int st;
    if (waitpid(k->pid, &st, WUNTRACED) != k->pid) return false;
    if (Generation(cache) % 2 == 1 && LockHeld(cache)) return true;
    kill(k->pid, SIGCONT);
  }
  return false;
}

// Writes next as the next free sheet number the lock file tells, keeping the rest of its line.
void TellNext(const std::string& cache, int next) {
  const std::string path = cache + "/" + PThumbnailer::kShareName;
  std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 1u);
  char digits[16];
  snprintf(digits, sizeof digits, "%010d", next);
  ASSERT_EQ(lines[0].compare(18 + 4, 6, " next "), 0) << lines[0];
  lines[0].replace(28, 10, digits);
  WriteLines(path, lines);
}

// The sheet files in a cache folder.
int Sheets(const std::string& cache) {
  int n = 0;
  if (DIR* d = opendir(cache.c_str())) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] == 'C' && strstr(e->d_name, ".jpg");
    closedir(d);
  }
  return n;
}

// The thumbnail records a cache holds, as a copy opening it counts them.
int Records(const std::string& cache) {
  PThumbnailer tn(cache.c_str());
  PThumbnailerStats st = {};
  return tn.GetCacheStats(&st) ? st.nThumbs : -1;
}

// Writes the generation g into the lock file open at fd, keeping the rest of its line.
bool TellGeneration(int fd, long long g) {
  char text[24];
  snprintf(text, sizeof text, "%018lld", g % 1000000000000000000LL);
  return pwrite(fd, text, 18, 4) == 18;
}

// Writes the cache's records as edit leaves them, in the database itself (as earlier runs, or
// another program, left it).
void Rewrite(const std::string& cache, const std::function<void(std::vector<DBRecord>*)>& edit) {
  std::fstream fs(cache + "/tncache.qdb", std::ios::in | std::ios::out | std::ios::binary);
  PTDBHeader head;
  DBAccess acc(&head, &fs, false);
  DBRecordList list(&PTDBFInfo, 256);
  const int n = acc.GetRecords(list.Array(), 256, 0);
  ASSERT_GT(n, 0);
  std::vector<DBRecord> records(list.GetArray(), list.GetArray() + n);
  edit(&records);
  ASSERT_EQ(acc.DeleteRecords(list.GetArray(), n), n);
  acc.AddRecords(records.data(), static_cast<int>(records.size()));
  ASSERT_TRUE(acc.Close());
}

// Every record's last use an hour ago, so that a load now is a use to write down.
void Age(std::vector<DBRecord>* records) {
  for (DBRecord& r : *records) r.SetField(PTDBFlastuse, PTnowMinutes() - 60);
}

// Every use an hour old, and the records of sheet 1 again under sheet 3.
void DoubleSheetOne(std::vector<DBRecord>* records) {
  Age(records);
  const size_t n = records->size();
  for (size_t i = 0; i < n; i++) {
    if ((*records)[i][PTDBFimageid].GetInt(0) != 1) continue;
    DBRecord r = (*records)[i];
    r.SetField(PTDBFimageid, 3L);
    records->push_back(r);
  }
}

// The number of the sheet holding the photo's thumbnail record that tn finds; 0 for none.
long SheetOf(PThumbnailer* tn, const std::string& path) {
  DBRecord rec;
  if (!tn->FindThumbnail(&rec, Photo(path))) return 0;
  const DBField& id = PTDBgetField(rec, PTDBFimageid);
  return id.GetDT() == DBDTint && id.GetNV() == 1 ? id.GetInt(0) : 0;
}

// The messages of a log the program would show in an alert.
int Alerts(const MessageLog& log) {
  int n = 0;
  for (const auto& e : log.entries) n += (dmessage_class_flags[e.first] & DMAalert) != 0;
  return n;
}

}  // namespace

// The copy the tests below start: opens the cache ("o"), then on 'm' makes its photos'
// thumbnails and syncs ("made <wrong>"), on 'n' makes them without a sync ("made <wrong>"), on
// 'a' makes every photo's and syncs ("made <wrong>"), on 'd' deletes its photos' thumbnails,
// makes them again and syncs ("made <wrong>"), on 's' syncs ("synced <ok>"), on 'c' loads every
// photo's from the cache ("check <found> <wrong>"), on 'l' deletes and makes its photos'
// thumbnails again and again until it is killed, on 'r' holds the cache's lock as a copy reading
// the cache does, shared ("held"), on 'w' holds it as a copy in the middle of a change does,
// exclusive with the lock file's generation odd ("held"), on 'u' lets go of it, ending the
// change ("free"), and quits at the end of its input. What the other copy's hold of the cache
// turns away it asks again, as the program does.
TEST(ThumbnailShareChild, DISABLED_Copy) {
  const char* cache = getenv("LUMERIN_TNSHARE_CACHE");
  if (cache == nullptr) GTEST_SKIP();
  phototest::LoadReaders();
  const std::vector<std::string> mine = Lines(getenv("LUMERIN_TNSHARE_MINE"));
  const std::vector<std::string> all = Lines(getenv("LUMERIN_TNSHARE_ALL"));
  auto tell = [](const std::string& s) {
    ASSERT_EQ(write(101, s.data(), s.size()), (ssize_t)s.size());
  };
  PThumbnailer tn(cache);
  tell(tn.IsOpen() ? "o\n" : "x\n");
  const std::string lockFile = std::string(cache) + "/" + PThumbnailer::kShareName;
  int held = -1;  // the open of the lock file whose lock this copy holds
  for (char c; read(100, &c, 1) == 1;) {
    if (c == 'm' || c == 'n' || c == 'a' || c == 'd') {
      int wrong = 0;
      for (const std::string& p : c == 'a' ? all : mine) {
        if (c == 'd') tn.DeleteThumbnail(Photo(p));
        wrong += !Gives(&tn, p);
      }
      if (c != 'n') wrong += !Patiently(&tn, [&] { return tn.SyncCache(); });
      tell("made " + std::to_string(wrong) + "\n");
    } else if (c == 's') {
      tell("synced " + std::to_string(Patiently(&tn, [&] { return tn.SyncCache(); })) + "\n");
    } else if (c == 'c') {
      const auto got = Check(&tn, all);
      tell("check " + std::to_string(got.first) + " " + std::to_string(got.second) + "\n");
    } else if (c == 'l') {
      for (;;)
        for (const std::string& p : mine) {
          tn.DeleteThumbnail(Photo(p));
          _ImgStruct t = Thumb();
          tn.GetThumbnail(&t, Photo(p));
          PfreeImage(&t);
        }
    } else if ((c == 'r' || c == 'w') && held < 0) {
      held = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
      const DBFileSystem::LockKind kind =
          c == 'r' ? DBFileSystem::kShared : DBFileSystem::kExclusive;
      bool ok = held >= 0 && DBFileSystem::System()->Lock(held, 0, kind);
      if (ok && c == 'w') ok = TellGeneration(held, Generation(cache) | 1);
      tell(ok ? "held\n" : "not held\n");
    } else if (c == 'u' && held >= 0) {
      const long long g = Generation(cache);
      if (g % 2 == 1) TellGeneration(held, g + 1);
      DBFileSystem::System()->Lock(held, 0, DBFileSystem::kUnlock);
      close(held);
      held = -1;
      tell("free\n");
    }
  }
}

// Two copies with one cache fill it at once and each sees every thumbnail of the other, each its
// own photo's. Then one is killed in the middle of a change of the folder (stopped there, its lock
// file's generation odd): the other and a later start still show only right thumbnails, and the
// database checks sound.
TEST(ThumbnailShare, TwoCopiesFillOneCacheAndAKillInAChangeLeavesNoWrongThumbnail) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  MakeShots(photos.Dir(), 0, 96);
  std::vector<std::string> a, b, aMore, bMore, first;
  for (int i = 0; i < 36; i++) {
    a.push_back(Shot(photos.Dir(), i));
    b.push_back(Shot(photos.Dir(), 48 + i));
  }
  for (int i = 36; i < 48; i++) {
    aMore.push_back(Shot(photos.Dir(), i));
    bMore.push_back(Shot(photos.Dir(), 48 + i));
  }
  first = a;
  first.insert(first.end(), b.begin(), b.end());
  WriteLines(lists.Path("a"), a);
  WriteLines(lists.Path("b"), b);
  WriteLines(lists.Path("aMore"), aMore);
  WriteLines(lists.Path("bMore"), bMore);
  WriteLines(lists.Path("first"), first);
  std::vector<std::string> everything = first;
  everything.insert(everything.end(), aMore.begin(), aMore.end());
  everything.insert(everything.end(), bMore.begin(), bMore.end());
  WriteLines(lists.Path("all"), everything);

  {
    Copy s(cache.Dir(), lists.Path("a"), lists.Path("first"));
    Copy k(cache.Dir(), lists.Path("b"), lists.Path("first"));
    // Both open the cache before either adds to it.
    ASSERT_EQ(s.Answer(), "o\n");
    ASSERT_EQ(k.Answer(), "o\n");
    s.Send('m');
    k.Send('m');
    ASSERT_EQ(s.Answer(), "made 0\n");
    ASSERT_EQ(k.Answer(), "made 0\n");
    ASSERT_EQ(s.Ask('c'), "check 72 0\n");
    ASSERT_EQ(k.Ask('c'), "check 72 0\n");
  }
  // The kill: a copy that changes the folder without end is stopped until it is caught in a
  // change, then killed there.
  Copy s(cache.Dir(), lists.Path("aMore"), lists.Path("all"));
  Copy k(cache.Dir(), lists.Path("bMore"), lists.Path("all"));
  ASSERT_EQ(s.Answer(), "o\n");
  ASSERT_EQ(k.Answer(), "o\n");
  k.Send('l');
  ASSERT_TRUE(CatchInChange(&k, cache.Dir())) << "the copy was never caught changing the folder";
  ASSERT_EQ(kill(k.pid, SIGKILL), 0);
  k.End();
  EXPECT_EQ(Generation(cache.Dir()) % 2, 1) << "the kill landed in a change";
  // The other copy goes on: everything it finds is right, the thumbnails written before the kill
  // are all there, and it adds its own.
  const std::string check = s.Ask('c');
  int found = 0, wrong = -1;
  ASSERT_EQ(sscanf(check.c_str(), "check %d %d", &found, &wrong), 2) << check;
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(found, 72);
  EXPECT_EQ(s.Ask('m'), "made 0\n");
  EXPECT_TRUE(s.End());
  EXPECT_NE(Generation(cache.Dir()) % 2, 1);

  // A later start.
  PThumbnailer later(cache.Dir().c_str());
  ASSERT_TRUE(later.IsOpen());
  std::vector<std::string> sure = first;
  sure.insert(sure.end(), aMore.begin(), aMore.end());
  EXPECT_EQ(Check(&later, sure), std::make_pair(84, 0));
  EXPECT_EQ(Check(&later, bMore).second, 0);
  later.SetCacheDirectory(nullptr);
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(cache.Path("tncache.qdb"), &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
  }
}

// A sheet whose number another copy wrote anew with other pictures (it emptied the cache, and
// numbers started again at 1), and a sheet file written over behind the cache's back: the
// pictures they hold are never shown for the records that name them; the thumbnails are made
// again, each its own photo's.
TEST(ThumbnailShare, SheetsHoldingOtherPicturesAreMadeAgainNotShown) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, other;
  MakeShots(photos.Dir(), 0, 14);
  std::vector<DBRecord> p, q;
  for (int i = 0; i < 7; i++) {
    p.push_back(Photo(Shot(photos.Dir(), i)));
    q.push_back(Photo(Shot(photos.Dir(), 7 + i)));
  }
  auto shows = [](PThumbnailer* tn, const DBRecord& photo, int i) {
    _ImgStruct t = Thumb();
    const bool ok = tn->GetThumbnail(&t, photo) && Shows(t, i);
    PfreeImage(&t);
    return ok;
  };
  {
    PThumbnailer one(cache.Dir().c_str());
    for (int i = 0; i < 7; i++) ASSERT_TRUE(shows(&one, p[i], i));  // sheet 1 written
    {
      PThumbnailer two(cache.Dir().c_str());
      two.SetCacheSize(0);  // the clear-cache action
      two.PurgeCache();
      two.SetCacheSize(-1);
      for (int i = 0; i < 7; i++) ASSERT_TRUE(shows(&two, q[i], 7 + i));  // sheet 1 anew
      EXPECT_EQ(two.NextImageID(), 2);
    }
    for (int i = 0; i < 7; i++) EXPECT_TRUE(shows(&one, p[i], i)) << i;
  }
  {
    PThumbnailer later(cache.Dir().c_str());
    for (int i = 0; i < 7; i++) {
      EXPECT_TRUE(shows(&later, p[i], i)) << i;
      EXPECT_TRUE(shows(&later, q[i], 7 + i)) << i;
    }
  }

  // Sheet 1 of another cache, of other photos, copied over this cache's sheet 1.
  {
    PThumbnailer tn(other.Dir().c_str());
    for (int i = 0; i < 6; i++) ASSERT_TRUE(shows(&tn, q[i], 7 + i));
  }
  ScratchDir again;
  {
    PThumbnailer tn(again.Dir().c_str());
    for (int i = 0; i < 6; i++) ASSERT_TRUE(shows(&tn, p[i], i));
  }
  // (Sheets of other pictures whose files have the same size would be beyond telling.)
  struct stat mine, theirs;
  ASSERT_EQ(stat(again.Path("C000000001.jpg").c_str(), &mine), 0);
  ASSERT_EQ(stat(other.Path("C000000001.jpg").c_str(), &theirs), 0);
  ASSERT_NE(mine.st_size, theirs.st_size);
  ASSERT_TRUE(phototest::CopyFile(other.Path("C000000001.jpg"), again.Path("C000000001.jpg")));
  {
    PThumbnailer tn(again.Dir().c_str());
    for (int i = 0; i < 6; i++) EXPECT_TRUE(shows(&tn, p[i], i)) << i;
  }
  PThumbnailer tn(again.Dir().c_str());
  for (int i = 0; i < 6; i++) EXPECT_TRUE(shows(&tn, p[i], i)) << i;
}

// Another copy holds the cache, stopped in the middle of a change. A copy that had the cache
// open and one started meanwhile get no thumbnail, at once (the caller shows its placeholder),
// and make none; once the holder lets go, both give every thumbnail, cached or new, each its own
// photo's.
TEST(ThumbnailShare, ACacheAnotherCopyHoldsTurnsRequestsAwayAtOnceAndServesThemOnceLetGo) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  MakeShots(photos.Dir(), 0, 25);
  std::vector<std::string> cached, theirs, asked;
  for (int i = 0; i < 6; i++) cached.push_back(Shot(photos.Dir(), i));
  for (int i = 12; i < 24; i++) theirs.push_back(Shot(photos.Dir(), i));
  asked = cached;
  asked.push_back(Shot(photos.Dir(), 24));  // in no cache yet
  {
    PThumbnailer first(cache.Dir().c_str());
    for (int i = 0; i < 12; i++) ASSERT_TRUE(Gives(&first, Shot(photos.Dir(), i)));
  }
  WriteLines(lists.Path("theirs"), theirs);
  PThumbnailer open(cache.Dir().c_str());
  ASSERT_TRUE(open.IsOpen());
  Copy k(cache.Dir(), lists.Path("theirs"), lists.Path("theirs"));
  ASSERT_EQ(k.Answer(), "o\n");
  k.Send('l');
  ASSERT_TRUE(CatchInChange(&k, cache.Dir())) << "the copy was never caught changing the folder";

  // Each request returns well within the five seconds one took before.
  const auto quick = [](auto ask) {
    const auto t0 = std::chrono::steady_clock::now();
    ask();
    return std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2);
  };
  const int files = Sheets(cache.Dir());
  for (const std::string& p : asked) {
    _ImgStruct t = Thumb();
    bool got = true;
    EXPECT_TRUE(quick([&] { got = open.GetThumbnail(&t, Photo(p)); })) << p;
    EXPECT_FALSE(got) << p;
    EXPECT_EQ(t.img, nullptr) << p;
    PfreeImage(&t);
  }
  EXPECT_TRUE(open.Busy());
  std::unique_ptr<PThumbnailer> late;
  EXPECT_TRUE(quick([&] { late = std::make_unique<PThumbnailer>(cache.Dir().c_str()); }));
  EXPECT_FALSE(late->IsOpen());
  EXPECT_TRUE(late->Busy());
  _ImgStruct t = Thumb();
  EXPECT_TRUE(quick([&] { EXPECT_FALSE(late->GetThumbnail(&t, Photo(asked[0]))); }));
  EXPECT_EQ(t.img, nullptr);
  EXPECT_TRUE(quick([&] { EXPECT_TRUE(open.SyncCache() || open.Busy()); }));
  EXPECT_EQ(Sheets(cache.Dir()), files);
  EXPECT_TRUE(LockHeld(cache.Dir())) << "the holder let go during the requests";

  // The holder lets go (killed where it stood).
  ASSERT_EQ(kill(k.pid, SIGKILL), 0);
  k.End();
  for (const std::string& p : asked) {
    EXPECT_TRUE(Gives(&open, p)) << p;
    EXPECT_TRUE(Gives(late.get(), p)) << p;
  }
  EXPECT_TRUE(late->IsOpen());
  EXPECT_FALSE(late->Busy());
  EXPECT_FALSE(open.Busy());
}

// Two copies fill one cache with the same pictures at once: first each a part of a sheet with the
// same five (neither wrote before the other made them), then every picture, both at once. The
// cache holds one record per picture, each showing its own, in no more sheets than they need.
TEST(ThumbnailShare, TwoCopiesFillingOneCacheWithTheSamePicturesLeaveOneRecordEach) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  constexpr int kShots = 65;
  MakeShots(photos.Dir(), 0, kShots);
  std::vector<std::string> five, all;
  for (int i = 0; i < kShots; i++) (i < 5 ? five : all).push_back(Shot(photos.Dir(), i));
  all.insert(all.begin(), five.begin(), five.end());
  WriteLines(lists.Path("five"), five);
  WriteLines(lists.Path("all"), all);
  {
    Copy a(cache.Dir(), lists.Path("five"), lists.Path("all"));
    Copy b(cache.Dir(), lists.Path("five"), lists.Path("all"));
    ASSERT_EQ(a.Answer(), "o\n");
    ASSERT_EQ(b.Answer(), "o\n");
    ASSERT_EQ(a.Ask('n'), "made 0\n");
    ASSERT_EQ(b.Ask('n'), "made 0\n");
    ASSERT_EQ(a.Ask('s'), "synced 1\n");
    ASSERT_EQ(b.Ask('s'), "synced 1\n");
    EXPECT_EQ(Records(cache.Dir()), 5);
    EXPECT_EQ(Sheets(cache.Dir()), 1) << "a sheet of nothing but the other copy's was written";
    a.Send('a');
    b.Send('a');
    EXPECT_EQ(a.Answer(), "made 0\n");
    EXPECT_EQ(b.Answer(), "made 0\n");
    EXPECT_TRUE(a.End());
    EXPECT_TRUE(b.End());
  }
  EXPECT_EQ(Records(cache.Dir()), kShots);
  // Full sheets of six, and the part sheets the copies' last syncs wrote.
  EXPECT_LE(Sheets(cache.Dir()), kShots / 6 + 2);
  PThumbnailer later(cache.Dir().c_str());
  EXPECT_EQ(Check(&later, all), std::make_pair(kShots, 0));
  later.SetCacheDirectory(nullptr);
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(cache.Path("tncache.qdb"), &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
  }
}

// Records of one picture in two sheets, as earlier runs of two copies left them: once a load of
// the picture is written down, one record stays, and a sheet left without records goes with its
// file. Every thumbnail still shows its own photo.
TEST(ThumbnailShare, RecordsOfOnePictureLeftByEarlierRunsAreMergedWhenLoaded) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache;
  const std::vector<std::string> paths = MakeShots(photos.Dir(), 0, 12);
  {
    PThumbnailer tn(cache.Dir().c_str());
    for (const std::string& p : paths) ASSERT_TRUE(Gives(&tn, p));
  }
  // Sheet 1 again as sheet 3, its records copied; every use an hour old.
  ASSERT_TRUE(phototest::CopyFile(cache.Path("C000000001.jpg"), cache.Path("C000000003.jpg")));
  Rewrite(cache.Dir(), DoubleSheetOne);
  ASSERT_EQ(Records(cache.Dir()), 18);
  {
    PThumbnailer tn(cache.Dir().c_str());
    EXPECT_EQ(Check(&tn, paths), std::make_pair(12, 0));
  }
  EXPECT_EQ(Records(cache.Dir()), 12);
  EXPECT_EQ(Sheets(cache.Dir()), 2);
  PThumbnailer tn(cache.Dir().c_str());
  EXPECT_EQ(Check(&tn, paths), std::make_pair(12, 0));
}

// Each copy fills a sheet under a number no other copy uses: copies that open one cache at once
// take numbers one after the other from the lock file, and a copy whose number another took
// writes its sheet under one that no records name, even when the lock file tells it a taken one.
TEST(ThumbnailShare, EachCopyWritesItsSheetUnderANumberNoOtherCopyUses) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, other;
  MakeShots(photos.Dir(), 0, 6);
  {
    PThumbnailer a(cache.Dir().c_str()), b(cache.Dir().c_str());
    EXPECT_EQ(a.NextImageID(), 1);
    EXPECT_EQ(b.NextImageID(), 2);
  }
  // The lock file tells 1, which another copy holds already (as a number given back may leave
  // it), before each opening and each write.
  PThumbnailer c(other.Dir().c_str());
  ASSERT_EQ(c.NextImageID(), 1);
  TellNext(other.Dir(), 1);
  PThumbnailer d(other.Dir().c_str());
  ASSERT_EQ(d.NextImageID(), 1);
  for (int i = 3; i < 6; i++) ASSERT_TRUE(Gives(&d, Shot(photos.Dir(), i)));
  ASSERT_TRUE(d.SyncCache());
  TellNext(other.Dir(), 1);
  for (int i = 0; i < 3; i++) ASSERT_TRUE(Gives(&c, Shot(photos.Dir(), i)));
  ASSERT_TRUE(c.SyncCache());
  EXPECT_NE(c.NextImageID(), 1);
  std::vector<std::string> paths;
  for (int i = 0; i < 6; i++) paths.push_back(Shot(photos.Dir(), i));
  PThumbnailer later(other.Dir().c_str());
  EXPECT_EQ(Check(&later, paths), std::make_pair(6, 0));
}

// This copy shows pictures from a sheet; another copy makes them again meanwhile (it read their
// files again, say: their sheet goes, and they are written in another). What this copy writes
// down of its loads keeps the thumbnails made again.
TEST(ThumbnailShare, LoadsWrittenDownKeepTheThumbnailsAnotherCopyMadeAgainMeanwhile) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  const std::vector<std::string> paths = MakeShots(photos.Dir(), 0, 6);
  WriteLines(lists.Path("paths"), paths);
  {
    PThumbnailer first(cache.Dir().c_str());
    for (const std::string& p : paths) ASSERT_TRUE(Gives(&first, p));
  }
  Rewrite(cache.Dir(), Age);
  PThumbnailer tn(cache.Dir().c_str());
  ASSERT_EQ(Check(&tn, paths), std::make_pair(6, 0));
  {
    Copy k(cache.Dir(), lists.Path("paths"), lists.Path("paths"));
    ASSERT_EQ(k.Answer(), "o\n");
    ASSERT_EQ(k.Ask('d'), "made 0\n");
    EXPECT_TRUE(k.End());
  }
  ASSERT_TRUE(tn.SyncCache());
  EXPECT_EQ(Records(cache.Dir()), 6);
  EXPECT_EQ(Sheets(cache.Dir()), 1);
  PThumbnailer later(cache.Dir().c_str());
  EXPECT_EQ(Check(&later, paths), std::make_pair(6, 0));
}

// A picture has two records (as earlier runs of two copies left them), and the sheet of the one
// found first is gone. A load of it while another copy holds the cache finds the sheet bad and is
// turned away before it can drop it: what this copy writes down afterwards keeps the picture's
// other record, which shows it once the bad sheet is dropped.
TEST(ThumbnailShare, ALoadTurnedAwayAtABadSheetKeepsThePicturesOtherRecord) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  const std::vector<std::string> paths = MakeShots(photos.Dir(), 0, 12);
  WriteLines(lists.Path("none"), {});
  {
    PThumbnailer first(cache.Dir().c_str());
    for (const std::string& p : paths) ASSERT_TRUE(Gives(&first, p));
  }
  ASSERT_TRUE(phototest::CopyFile(cache.Path("C000000001.jpg"), cache.Path("C000000003.jpg")));
  Rewrite(cache.Dir(), DoubleSheetOne);
  PThumbnailer tn(cache.Dir().c_str());
  const long bad = SheetOf(&tn, paths[0]);
  ASSERT_TRUE(bad == 1 || bad == 3) << bad;
  char name[32];
  snprintf(name, sizeof name, "C%09ld.jpg", bad);
  ASSERT_EQ(unlink(cache.Path(name).c_str()), 0);

  Copy k(cache.Dir(), lists.Path("none"), lists.Path("none"));
  ASSERT_EQ(k.Answer(), "o\n");
  ASSERT_EQ(k.Ask('r'), "held\n");
  _ImgStruct t = Thumb();
  EXPECT_FALSE(tn.LoadThumbnail(&t, Photo(paths[0])));
  PfreeImage(&t);
  EXPECT_TRUE(tn.Busy());
  EXPECT_TRUE(LockHeld(cache.Dir())) << "the holder let go during the load";
  ASSERT_EQ(k.Ask('u'), "free\n");
  ASSERT_TRUE(tn.SyncCache());
  // The first look at a picture of the bad sheet drops it; then every picture shows from the
  // cache, its own.
  Check(&tn, paths);
  EXPECT_EQ(Check(&tn, paths), std::make_pair(12, 0));
}

// This copy's sheet is full of pictures another copy made too and wrote meanwhile. At the next
// thumbnail those go, making room in the sheet: the pictures take no more sheets than they need.
TEST(ThumbnailShare, AFullSheetMakesRoomByDroppingWhatAnotherCopyWroteMeanwhile) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  const std::vector<std::string> paths = MakeShots(photos.Dir(), 0, 7);
  WriteLines(lists.Path("theirs"), {paths[0], paths[1], paths[2]});
  PThumbnailer tn(cache.Dir().c_str());
  for (int i = 0; i < 6; i++) ASSERT_TRUE(Gives(&tn, paths[i]));  // the sheet full, not written
  {
    Copy k(cache.Dir(), lists.Path("theirs"), lists.Path("theirs"));
    ASSERT_EQ(k.Answer(), "o\n");
    ASSERT_EQ(k.Ask('m'), "made 0\n");
    EXPECT_TRUE(k.End());
  }
  ASSERT_EQ(Sheets(cache.Dir()), 1);
  EXPECT_TRUE(Gives(&tn, paths[6]));
  EXPECT_EQ(Sheets(cache.Dir()), 1) << "the full sheet was written instead of making room";
  ASSERT_TRUE(tn.SyncCache());
  EXPECT_EQ(Sheets(cache.Dir()), 2);
  EXPECT_EQ(Records(cache.Dir()), 7);
  PThumbnailer later(cache.Dir().c_str());
  EXPECT_EQ(Check(&later, paths), std::make_pair(7, 0));
}

// Another copy reads the cache (holding its lock, on a slow disk say) when this copy's sheet is
// full and the next new thumbnail needs it written: the request is turned away. The caller keeps
// its own placeholder, no failure is drawn or alerted, and the thumbnail is made once the other
// copy lets go.
TEST(ThumbnailShare, ANewThumbnailTurnedAwayAtAFullSheetKeepsTheCallersPlaceholder) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  const std::vector<std::string> paths = MakeShots(photos.Dir(), 0, 7);
  WriteLines(lists.Path("none"), {});
  PThumbnailer tn(cache.Dir().c_str());
  for (int i = 0; i < 6; i++) ASSERT_TRUE(Gives(&tn, paths[i]));  // the sheet full, not written
  Copy k(cache.Dir(), lists.Path("none"), lists.Path("none"));
  ASSERT_EQ(k.Answer(), "o\n");
  ASSERT_EQ(k.Ask('r'), "held\n");
  _ImgStruct t = Thumb();
  const uint64_t away = tn.TurnedAway();
  EXPECT_FALSE(tn.GetThumbnail(&t, Photo(paths[6])));
  EXPECT_EQ(tn.TurnedAway(), away + 1);
  EXPECT_EQ(t.img, nullptr) << "a failed thumbnail was drawn in the caller's place";
  PfreeImage(&t);
  EXPECT_EQ(Alerts(log), 0) << log.All();
  EXPECT_TRUE(LockHeld(cache.Dir())) << "the holder let go during the request";
  ASSERT_EQ(k.Ask('u'), "free\n");
  EXPECT_TRUE(Gives(&tn, paths[6]));
  ASSERT_TRUE(tn.SyncCache());
  PThumbnailer later(cache.Dir().c_str());
  EXPECT_EQ(Check(&later, paths), std::make_pair(7, 0));
}

// Another copy stopped in the middle of a change holds the cache while this one asks for a run
// of thumbnails (a window's cells): once a request was turned away, the next ones try the lock
// once and do not wait, until a quiet while has passed without one. The run costs a short wait
// now and then, not one a request.
TEST(ThumbnailShare, WhileAnotherCopyHoldsTheCacheARunOfRequestsWaitsOnlyNowAndThen) {
  // Tries for the lock (not lettings go) made through the layer.
  struct CountedLocks : dbtest::NoWaitFS {
    bool Lock(int fd, long long off, LockKind kind) override {
      tries += kind != kUnlock;
      return NoWaitFS::Lock(fd, off, kind);
    }
    long tries = 0;
  } locks;
  constexpr int kAsked = 40;
  constexpr double kQuiet = 0.25;  // the quiet while after a request turned away, in seconds
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache, lists;
  MakeShots(photos.Dir(), 0, 6);
  std::vector<DBRecord> shots;
  for (int i = 0; i < 6; i++) shots.push_back(Photo(Shot(photos.Dir(), i)));
  WriteLines(lists.Path("none"), {});
  PThumbnailer tn(cache.Dir().c_str());
  tn.lockCalls = &locks;
  Copy k(cache.Dir(), lists.Path("none"), lists.Path("none"));
  ASSERT_EQ(k.Answer(), "o\n");
  ASSERT_EQ(k.Ask('w'), "held\n");
  const uint64_t away = tn.TurnedAway();
  int waited = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kAsked; i++) {
    const long before = locks.tries;
    _ImgStruct t = Thumb();
    EXPECT_FALSE(tn.GetThumbnail(&t, shots[i % shots.size()]));
    PfreeImage(&t);
    waited += locks.tries - before > 1;
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(tn.TurnedAway() - away, static_cast<uint64_t>(kAsked));
  EXPECT_GE(locks.tries, kAsked);
  EXPECT_TRUE(LockHeld(cache.Dir())) << "the holder let go during the requests";
  // A wait starts only a quiet while after the last request turned away, so waits are at least
  // that far apart, however slow the machine.
  EXPECT_LE(waited, 2 + static_cast<int>(took / kQuiet))
      << waited << " of " << kAsked << " requests waited, in " << took << " s";
  ASSERT_EQ(k.Ask('u'), "free\n");
  for (int i = 0; i < 6; i++) EXPECT_TRUE(Gives(&tn, Shot(photos.Dir(), i))) << i;
}
