// Copies of the program sharing one thumbnail cache: two processes making and reading thumbnails
// at once, one of them killed in the middle of a change, and sheets whose files hold other
// pictures than their records name. Each photo is one flat colour, so every thumbnail shown
// tells whose it is.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "catalog/catalog_test_util.h"
#include "catalog/photo_test_util.h"
#include "testutil/message_log.h"
#include "testutil/rgb_jpeg.h"
#include "testutil/run_program.h"
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

void MakeShots(const std::string& dir, int from, int to) {
  std::vector<uint8_t> px(64 * 48 * 3);
  for (int i = from; i < to; i++) {
    uint8_t c[3];
    Colour(i, c);
    for (size_t k = 0; k < px.size(); k++) px[k] = c[k % 3];
    WriteRgbJpeg(Shot(dir, i), 64, 48, px.data(), 90);
  }
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

// Loads the photos' thumbnails from the cache alone: how many were found, and how many of
// those show another picture.
std::pair<int, int> Check(PThumbnailer* tn, const std::vector<std::string>& paths) {
  int found = 0, wrong = 0;
  for (const std::string& p : paths) {
    _ImgStruct t = Thumb();
    if (tn->LoadThumbnail(&t, Photo(p))) {
      found++;
      wrong += !Shows(t, Index(p));
    }
    PfreeImage(&t);
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
// one command letter at a time; each command's answer is one line.
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
    from = fdopen(rep[0], "r");
  }
  ~Copy() {
    End();
    if (from != nullptr) fclose(from);
  }
  void Send(char c) {
    if (to >= 0 && write(to, &c, 1) != 1) End();
  }
  // The next line the copy tells ("" when it ended).
  std::string Answer() {
    char line[256];
    if (from == nullptr || fgets(line, sizeof line, from) == nullptr) return "";
    return line;
  }
  std::string Ask(char c) {
    Send(c);
    return Answer();
  }
  // Lets the copy quit; true when it ended well.
  bool End() {
    if (to >= 0) close(to);
    to = -1;
    int status = -1;
    if (pid > 0 && waitpid(pid, &status, 0) != pid) status = -1;
    pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  pid_t pid = -1;

 private:
  int to = -1;
  FILE* from = nullptr;
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

}  // namespace

// The copy the test below starts: opens the cache ("o"), then on 'm' makes its photos'
// thumbnails and syncs ("made <wrong>"), on 'c' loads every photo's from the cache ("check
// <found> <wrong>"), on 'l' deletes and makes its photos' thumbnails again and again until it is
// killed, and quits at the end of its input.
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
  for (char c; read(100, &c, 1) == 1;) {
    if (c == 'm') {
      int wrong = 0;
      for (const std::string& p : mine) {
        _ImgStruct t = Thumb();
        wrong += !tn.GetThumbnail(&t, Photo(p)) || !Shows(t, Index(p));
        PfreeImage(&t);
      }
      wrong += !tn.SyncCache();
      tell("made " + std::to_string(wrong) + "\n");
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
  bool caught = false;
  const time_t until = time(nullptr) + 120;
  while (!caught && time(nullptr) < until) {
    usleep(2000);
    ASSERT_EQ(kill(k.pid, SIGSTOP), 0);
    int st;
    ASSERT_EQ(waitpid(k.pid, &st, WUNTRACED), k.pid);
    caught = Generation(cache.Dir()) % 2 == 1;
    ASSERT_EQ(kill(k.pid, caught ? SIGKILL : SIGCONT), 0);
  }
  ASSERT_TRUE(caught) << "the copy was never caught changing the folder";
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
