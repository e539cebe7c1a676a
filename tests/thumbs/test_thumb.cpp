// The thumbnail cache: contact sheets, the thumbnail database, loading at reductions,
// deleting, missing sheets, crop bands, placeholders, sync and purge, and cells of pictures
// with other primaries.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "catalog/catalog_test_util.h"
#include "catalog/pfieldset.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "thumbs/pthumb.h"
#include "catalog/photo_test_util.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/run_program.h"

using phototest::ScratchDir;

namespace {

const char* const kSources[] = {"landscape_1.jpg",
                                "landscape_2.jpg",
                                "landscape_3.jpg",
                                "landscape_4.jpg",
                                "landscape_5.jpg",
                                "landscape_6.jpg",
                                "landscape_7.jpg",
                                "landscape_8.jpg",
                                "desk_baseline_420.jpg",
                                "desk_baseline_422.jpg",
                                "desk_baseline_444.jpg",
                                "desk_grey.jpg",
                                "desk_odd_301x409_420.jpg",
                                "desk_progressive_420.jpg",
                                "desk_restart7mcu_420.jpg",
                                "DSCN0010.jpg",
                                "image00971.jpg",
                                "no_exif.jpg",
                                "Nikon_D70.jpg",
                                "Canon_40D.jpg"};

// Copies of the test pictures made distinct by a tail after the end of the JPEG data.
std::vector<std::string> MakePhotos(const ScratchDir& dir, int n) {
  std::vector<std::string> paths;
  for (int i = 0; i < n; i++) {
    const std::string src = phototest::TestData(std::string("jpeg/") + kSources[i % 20]);
    const std::string dst = dir.Path("photo" + std::to_string(i) + ".jpg");
    FILE* in = fopen(src.c_str(), "rb");
    if (in == nullptr) return {};
    std::string bytes;
    char buf[65536];
    size_t k;
    while ((k = fread(buf, 1, sizeof(buf), in)) > 0) bytes.append(buf, k);
    fclose(in);
    bytes += "tail" + std::to_string(i);
    if (!phototest::WriteFile(dst, bytes)) return {};
    paths.push_back(dst);
  }
  return paths;
}

DBRecord Photo(const std::string& path) {
  DBRecord r;
  PgrokFile(&r, path.c_str());
  return r;
}

_ImgStruct Thumb(int w, int h) {
  _ImgStruct t = {};
  t.xres = w;
  t.yres = h;
  t.csp = &ICS_sRGB;
  return t;
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string Identify(const std::string& path) {
  std::string out;
  testutil::RunProgram({"identify", "-format", "%wx%h", path}, &out);
  return out.substr(0, out.find('\n'));
}

// Every record of a thumbnail database.
std::vector<DBRecord> ReadRecords(const std::string& dir) {
  std::vector<DBRecord> out;
  std::fstream fs(dir + "/tncache.qdb", std::ios::in | std::ios::out | std::ios::binary);
  PTDBHeader head;
  DBAccess db(&head, &fs, true);
  DBRecordList list(&PTDBFInfo, 1024);
  for (int start = 0;;) {
    const int n = db.GetRecords(list.Array(), 1024, start);
    if (n < 1) break;
    for (int i = 0; i < n; i++) out.push_back(list[i]);
    start += n;
  }
  db.Close();
  return out;
}

// A thumbnail database of given records written directly (no sheets).
void WriteRecords(const std::string& dir, const std::vector<std::vector<long>>& recs) {
  const std::string path = dir + "/tncache.qdb";
  phototest::WriteFile(path, "");
  std::fstream fs(path, std::ios::in | std::ios::out | std::ios::binary);
  PTDBHeader head;
  DBAccess db(&head, &fs, false);
  for (const auto& v : recs) {
    DBRecord r(&PTDBFInfo);
    r.SetField(PTDBFnbytes, v[0]);
    r.SetField(PTDBFhashval, v[1]);
    r.SetField(PTDBFimageid, v[2]);
    r.SetField(PTDBFimagebytes, v[3]);
    const long rect[4] = {0, 0, 320, 240};
    r.SetField(PTDBFrectangle, rect, 4);
    r.SetField(PTDBFlastuse, v[4]);
    db.AddRecord(r);
  }
  db.Close();
}

// The messages that reach the log (those above the trace class).
int Logged(const MessageLog& log) {
  int n = 0;
  for (const auto& e : log.entries) n += e.first < DMCtrace;
  return n;
}

}  // namespace

TEST(ThumbnailCache, TwoHundredPhotosFillThirtyFourSheetsThatReloadWithoutTheirSources) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  MessageLog log;
  ScratchDir photos, cache;
  const std::vector<std::string> paths = MakePhotos(photos, 200);
  ASSERT_EQ(paths.size(), 200u);
  std::vector<DBRecord> recs;
  std::vector<_ImgStruct> direct;
  std::vector<std::pair<int, int>> made;  // the sizes of the thumbnails made from the files
  {
    PThumbnailer tn(cache.Dir().c_str());
    ASSERT_TRUE(tn.IsOpen());
    EXPECT_EQ(tn.NextImageID(), 1);
    for (const std::string& p : paths) {
      recs.push_back(Photo(p));
      _ImgStruct t = Thumb(160, 160);
      ASSERT_TRUE(tn.GetThumbnail(&t, recs.back(), nullptr)) << p << "\n" << log.All();
      made.emplace_back(t.xres, t.yres);
      PfreeImage(&t);
      // The same thumbnail rendered straight from the file.
      _ImgReader* ir = PopenImageD(recs.back(), true);
      ASSERT_NE(ir, nullptr);
      _ImgStruct d = Thumb(320, 320);
      ASSERT_TRUE(PrenderImageR(&d, ir, 1));
      ir->ri->Close(ir);
      direct.push_back(d);
    }
    EXPECT_EQ(tn.NextImageID(), 34);
    PThumbnailerStats st;
    ASSERT_TRUE(tn.GetCacheStats(&st));
    EXPECT_EQ(st.nThumbs, 200);
  }
  for (int id = 1; id <= 34; id++) {
    char name[32];
    snprintf(name, sizeof(name), "C%09d.jpg", id);
    const std::string sheet = cache.Path(name);
    ASSERT_GT(FileSize(sheet), 0) << name;
    const std::string dims = Identify(sheet);
    if (!dims.empty()) {
      EXPECT_EQ(dims, "960x640") << name;
    }
  }
  EXPECT_LT(FileSize(cache.Path("C000000035.jpg")), 0);

  // Each sheet's shares add up to its file's size, the first record taking the remainder.
  std::map<long, long long> sums;
  std::map<long, int> counts;
  for (const DBRecord& r : ReadRecords(cache.Dir())) {
    sums[r[PTDBFimageid].GetInt()] += r[PTDBFimagebytes].GetInt();
    counts[r[PTDBFimageid].GetInt()]++;
  }
  ASSERT_EQ(sums.size(), 34u);
  for (const auto& s : sums) {
    char name[32];
    snprintf(name, sizeof(name), "C%09d.jpg", static_cast<int>(s.first));
    EXPECT_EQ(s.second, FileSize(cache.Path(name))) << name;
    EXPECT_EQ(counts[s.first], s.first < 34 ? 6 : 2);
  }
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(cache.Path("tncache.qdb"), &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
  }

  for (const std::string& p : paths) unlink(p.c_str());
  PThumbnailer again(cache.Dir().c_str());
  EXPECT_EQ(again.NextImageID(), 35);  // a partial sheet stays partial
  for (size_t i = 0; i < recs.size(); i++) {
    _ImgStruct t = Thumb(160, 160);
    ASSERT_TRUE(again.GetThumbnail(&t, recs[i], nullptr)) << i;
    // The source rendered at the cell's size, brought to the thumbnail's.
    _ImgStruct d = phototest::NewRGB(t.xres, t.yres);
    ASSERT_TRUE(PsizeImage(&d, &direct[i], 1));
    // A 160-pixel thumbnail is read from the sheet at half size. A cell of odd width or height
    // (the poster's 221 columns) ends inside a half-size pixel: the reload still spans the
    // whole cell, at the size the thumbnail had when it was made, so no picture is cut or
    // shifted against the source and even the poster's sharp lettering holds 30 dB.
    EXPECT_EQ(std::make_pair(t.xres, t.yres), made[i]) << paths[i];
    EXPECT_GE(phototest::Psnr(t, d), 30.0) << paths[i];
    PfreeImage(&d);
    PfreeImage(&t);
    PfreeImage(&direct[i]);
  }
  EXPECT_EQ(log.CountClass(DMCwarning), 0) << log.All();
}

TEST(ThumbnailCache, MissingSheetIsReportedOnceThenRemadeAndDeletingEmptiesTheFillingSheet) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  MessageLog log;
  ScratchDir photos, cache;
  const std::vector<std::string> paths = MakePhotos(photos, 8);
  ASSERT_EQ(paths.size(), 8u);
  std::vector<DBRecord> recs;
  for (const auto& p : paths) recs.push_back(Photo(p));
  PThumbnailer tn(cache.Dir().c_str());
  for (const DBRecord& r : recs) {
    _ImgStruct t = Thumb(80, 80);
    ASSERT_TRUE(tn.GetThumbnail(&t, r));
    PfreeImage(&t);
  }
  ASSERT_EQ(tn.NextImageID(), 2);  // sheet 1 written when the seventh came
  ASSERT_EQ(unlink(cache.Path("C000000001.jpg").c_str()), 0);
  _ImgStruct t = Thumb(80, 80);
  EXPECT_FALSE(tn.LoadThumbnail(&t, recs[0]));
  EXPECT_TRUE(log.Has(DMCwarning, "Missing contact sheet (1)"));
  EXPECT_FALSE(tn.FindThumbnail(nullptr, recs[1]));  // the sheet's records went with it
  log.Clear();
  EXPECT_TRUE(tn.GetThumbnail(&t, recs[0]));  // remade in the filling sheet
  EXPECT_EQ(log.CountClass(DMCwarning), 0);
  DBRecord found;
  ASSERT_TRUE(tn.FindThumbnail(&found, recs[0]));
  EXPECT_EQ(found[PTDBFimageid].GetInt(), 2);
  PfreeImage(&t);

  // Deleting a thumbnail of the filling sheet empties it; the next one takes cell 0.
  tn.DeleteThumbnail(recs[6]);
  EXPECT_FALSE(tn.FindThumbnail(nullptr, recs[0]));
  t = Thumb(80, 80);
  ASSERT_TRUE(tn.GetThumbnail(&t, recs[7]));
  ASSERT_TRUE(tn.FindThumbnail(&found, recs[7]));
  EXPECT_EQ(found[PTDBFimageid].GetInt(), 2);
  EXPECT_EQ(found[PTDBFrectangle].GetInt(0), 0);
  EXPECT_EQ(found[PTDBFrectangle].GetInt(1), 0);
  PfreeImage(&t);

  // A photo without length or hash is never looked up or cached; it is drawn from its file.
  DBRecord anon = recs[2];
  anon.ClearField(PDBid(anon, PDBFhashval));
  EXPECT_FALSE(tn.FindThumbnail(nullptr, anon));
  t = Thumb(80, 80);
  EXPECT_TRUE(tn.GetThumbnail(&t, anon));
  DBRecord still;
  ASSERT_TRUE(tn.FindThumbnail(&still, recs[7]));
  EXPECT_EQ(still[PTDBFrectangle].GetInt(0), 0);
  PfreeImage(&t);
}

TEST(ThumbnailCache, ReductionsCropBandsAndPlaceholders) {
  _ImgStruct t = Thumb(80, 80);
  EXPECT_EQ(PThumbnailer::DenomShift(&t), 2);
  t = Thumb(81, 60);
  EXPECT_EQ(PThumbnailer::DenomShift(&t), 1);
  t = Thumb(200, 150);
  EXPECT_EQ(PThumbnailer::DenomShift(&t), 0);
  t = Thumb(40, 12);
  EXPECT_EQ(PThumbnailer::DenomShift(&t), 3);

  PThumbnailer tn(nullptr);
  DBRecord r(&PDBFInfo);
  const long crop[4] = {100, 50, 900, 650};
  PDBsetInts(&r, PDBFcrop, crop, 4);
  PDBsetInt(&r, PDBFxsize, 1000);
  PDBsetInt(&r, PDBFysize, 700);
  _ImgStruct im = phototest::NewRGB(100, 70);
  PclearImage(&im, nullptr);
  tn.ApplyCrop(&im, r);
  auto grey = [&](int x, int y) { return im.img[y * im.rowsize + x * 3] == 200; };
  EXPECT_TRUE(grey(50, 4));
  EXPECT_FALSE(grey(50, 5));
  EXPECT_TRUE(grey(50, 65));
  EXPECT_FALSE(grey(50, 64));
  EXPECT_TRUE(grey(9, 30));
  EXPECT_FALSE(grey(10, 30));
  EXPECT_TRUE(grey(90, 30));
  EXPECT_FALSE(grey(89, 30));
  // No size to scale by: nothing happens.
  PDBsetInt(&r, PDBFxsize, 0);
  PclearImage(&im, nullptr);
  tn.ApplyCrop(&im, r);
  EXPECT_FALSE(grey(0, 0));
  PfreeImage(&im);

  _ImgStruct big = phototest::NewRGB(320, 320);
  EXPECT_TRUE(PgenericThumbnail(&big, r, PTSnofile));
  EXPECT_EQ(big.xres, 80);
  EXPECT_EQ(big.yres, 80);
  const uint8_t* mid = big.img + 40 * big.rowsize + 40 * 3;
  EXPECT_EQ(mid[1], mid[0] >> 1);
  EXPECT_EQ(mid[2], mid[0] >> 2);
  PfreeImage(&big);
  _ImgStruct small = Thumb(20, 20);
  EXPECT_TRUE(PgenericThumbnail(&small, r, PTSfailed));
  EXPECT_EQ(small.xres, 20);
  PfreeImage(&small);
  _ImgStruct g = Thumb(80, 80);
  g.csp = &ICS_Y8;
  EXPECT_FALSE(PgenericThumbnail(&g, r, PTSpending));

  // No cache: nothing loads and thumb is left alone.
  _ImgStruct none = Thumb(80, 80);
  EXPECT_FALSE(tn.GetThumbnail(&none, r));
  EXPECT_EQ(none.img, nullptr);
  EXPECT_FALSE(tn.GetCacheStats(nullptr));
}

TEST(ThumbnailSheet, CellsFitTheirPicturesAndTheSheetHoldsSix) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_6.jpg");
  ScratchDir dir;
  PThumbImage sheet;
  long rect[4];
  for (int i = 0; i < 6; i++) {
    _ImgReader* ir = PopenImageF(
        phototest::TestData(i == 1 ? "jpeg/desk_odd_301x409_420.jpg" : "jpeg/landscape_1.jpg")
            .c_str(),
        1, nullptr);
    ASSERT_NE(ir, nullptr);
    _ImgStruct t = Thumb(80, 80);
    ASSERT_TRUE(sheet.AddThumb(&t, rect, ir));
    if (i == 0) {  // landscape: the full cell width
      EXPECT_EQ(rect[2] - rect[0], 320);
      EXPECT_EQ(rect[3] - rect[1], 240);
    } else if (i == 1) {  // portrait: the full height, at the second cell's corner
      EXPECT_EQ(rect[0], 320);
      EXPECT_EQ(rect[3] - rect[1], 320);
      EXPECT_LT(rect[2] - rect[0], 320);
    }
    ir->ri->Close(ir);
    PfreeImage(&t);
  }
  EXPECT_EQ(rect[0], 640);
  EXPECT_EQ(rect[1], 320);
  _ImgReader* ir = PopenImageF(phototest::TestData("jpeg/landscape_1.jpg").c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgStruct t = Thumb(80, 80);
  EXPECT_FALSE(sheet.AddThumb(&t, rect, ir));  // a seventh does not fit
  ir->ri->Close(ir);
  const long wide[4] = {0, 0, 960, 640}, empty[4] = {5, 0, 5, 10}, out[4] = {0, 0, 961, 10};
  EXPECT_TRUE(sheet.GetThumb(&t, wide));
  EXPECT_FALSE(sheet.GetThumb(&t, empty));
  EXPECT_FALSE(sheet.GetThumb(&t, out));
  PfreeImage(&t);

  // A sheet of two written whole: 960 x 640 with grey empty cells.
  PThumbImage two;
  for (int i = 0; i < 2; i++) {
    ir = PopenImageF(phototest::TestData("jpeg/landscape_1.jpg").c_str(), 1, nullptr);
    _ImgStruct c = Thumb(40, 40);
    ASSERT_TRUE(two.AddThumb(&c, rect, ir));
    ir->ri->Close(ir);
    PfreeImage(&c);
  }
  const std::string path = dir.Path("C000000001.jpg");
  ASSERT_GT(two.WriteImage(path.c_str()), 0);
  PThumbList list(1, dir.Dir().c_str(), 8);
  const long cell[4] = {960 - 5, 640 - 5, 960, 640};  // narrower than the reduction
  _ImgStruct s = Thumb(4, 4);
  ASSERT_TRUE(list.GetThumb(&s, cell));
  EXPECT_EQ(list.oWidth, 960);
  EXPECT_EQ(list.oHeight, 640);
  EXPECT_NEAR(s.img[0], 127, 3);
  PfreeImage(&s);
  PThumbImage nothing;
  EXPECT_EQ(nothing.WriteImage(path.c_str()), 0);
}

TEST(ThumbnailSheet, ReducedReadsOfCellsWithOddEdgesSpanTheWholeCell) {
  phototest::LoadReaders();
  ScratchDir dir;
  // A white sheet with a 221 x 320 cell of fine vertical bars over a ramp: any cut, shift or
  // stretch of the cell shows against the cell rendered whole.
  _ImgStruct sheet = phototest::NewRGB(960, 640);
  for (int y = 0; y < 640; y++)
    for (int x = 0; x < 960; x++) {
      uint8_t* p = sheet.img + static_cast<ptrdiff_t>(y) * sheet.rowsize + x * 3;
      const bool in = x < 221 && y < 320;
      p[0] = in ? static_cast<uint8_t>(x * 255 / 220) : 255;
      p[1] = in ? static_cast<uint8_t>((x / 6) % 2 ? 200 : 40) : 255;
      p[2] = in ? static_cast<uint8_t>(y * 255 / 319) : 255;
    }
  _ImgWriteBuf wb = {};
  ASSERT_TRUE(PsetWriteBuf(&wb, &sheet));
  wb.info.flags = IIFquality;
  wb.info.quality = 95;
  ASSERT_GT(IWInterfaceJPEG.WriteImage(dir.Path("C000000001.jpg").c_str(), &wb), 0);
  _ImgStruct cell = sheet;
  cell.xres = 221;
  cell.yres = 320;
  cell.mbase = nullptr;
  PThumbList half(1, dir.Dir().c_str(), 2);
  const long rect[4] = {0, 0, 221, 320};
  _ImgStruct t = Thumb(160, 160), d = Thumb(160, 160);
  ASSERT_TRUE(half.GetThumb(&t, rect));
  ASSERT_TRUE(PrenderImageI(&d, &cell));  // the size a thumbnail made from the cell has
  ASSERT_EQ(t.xres, d.xres);
  ASSERT_EQ(t.yres, d.yres);
  EXPECT_GE(phototest::Psnr(t, d), 30.0);
  // The last column is the cell's, not the white beyond it.
  const uint8_t* last = t.img + static_cast<ptrdiff_t>(t.yres / 2) * t.rowsize + (t.xres - 1) * 3;
  EXPECT_LT(last[0] + last[1] + last[2], 3 * 255 - 60);
  PfreeImage(&t);
  PfreeImage(&d);
  // Odd edges against the sheet's far corner, and a cell thinner than a reduced pixel: the
  // reads stay inside the sheet.
  PThumbList quarter(1, dir.Dir().c_str(), 4);
  const long corner[4] = {739, 321, 960, 640}, sliver[4] = {957, 3, 958, 640};
  _ImgStruct c = Thumb(80, 80);
  ASSERT_TRUE(quarter.GetThumb(&c, corner));
  EXPECT_EQ(c.xres, 55);
  EXPECT_EQ(c.yres, 80);
  EXPECT_NEAR(c.img[0], 255, 3);
  PfreeImage(&c);
  _ImgStruct e = Thumb(80, 80);
  EXPECT_TRUE(quarter.GetThumb(&e, sliver));
  PfreeImage(&e);
  PfreeImage(&sheet);
}

TEST(ThumbnailCache, ForeignAndDamagedDatabasesAreRefusedAndKept) {
  MessageLog log;
  ScratchDir dir;
  const std::string db = dir.Path("tncache.qdb");
  phototest::WriteFile(db, "this is no database at all");
  PThumbnailer tn(dir.Dir().c_str());
  EXPECT_FALSE(tn.IsOpen());
  EXPECT_TRUE(log.Has(DMCdata, "Corrupt thumbnail database " + db));
  EXPECT_EQ(FileSize(db), 26);

  // A catalogue is not a thumbnail database.
  unlink(db.c_str());
  {
    phototest::WriteFile(db, "");
    std::fstream fs(db, std::ios::in | std::ios::out | std::ios::binary);
    PDBHeader head;
    DBAccess acc(&head, &fs, false);
    acc.Close();
  }
  const long long size = FileSize(db);
  log.Clear();
  EXPECT_FALSE(tn.SetCacheDirectory(dir.Dir().c_str()));
  EXPECT_TRUE(log.Has(DMCdata, "Corrupt thumbnail database " + db));
  EXPECT_EQ(FileSize(db), size);

  // No database yet: one is made with a fresh header.
  ScratchDir fresh;
  ASSERT_TRUE(tn.SetCacheDirectory(fresh.Dir().c_str()));
  EXPECT_EQ(tn.NextImageID(), 1);
  EXPECT_TRUE(tn.SetCacheDirectory(fresh.Dir().c_str()));  // the current one: nothing to do
  PThumbnailerStats st;
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 0);
  EXPECT_EQ(st.kAlloc, -1);
}

TEST(ThumbnailCache, PurgeFreesTheMarginOldestFirstAndEmptyingRestartsNumbering) {
  MessageLog log;
  ScratchDir dir;
  // 100 sheets of 100 KB each, sheet k last used at minute 1000 + k; sheets 50 and 51 share
  // a minute and 51 is larger.
  std::vector<std::vector<long>> recs;
  for (long k = 1; k <= 100; k++) {
    long bytes = 102400, use = 1000 + k;
    if (k == 2) use = 1000;          // used at the same minute as sheet 1 ...
    if (k == 2) bytes = 102400 + 1;  // ... and larger: it goes first
    if (k == 1) use = 1000;
    if (k == 1) bytes = 102400 - 1;
    recs.push_back({k, k * 7, k, bytes, use});
  }
  WriteRecords(dir.Dir(), recs);
  PThumbnailer tn(dir.Dir().c_str());
  ASSERT_TRUE(tn.IsOpen());
  PThumbnailerStats st;
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 10000);
  EXPECT_EQ(tn.NextImageID(), 101);
  tn.SetCacheSize(20000);  // from unlimited: no purge
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 10000);
  tn.SetCacheSize(9900);  // 100 KB over, but a purge frees 1,324 KB: 14 sheets of 100 KB
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 10000 - 1401);
  EXPECT_TRUE(log.Has(DMCinfo, "Purged 1401 Kbytes from thumbnail cache")) << log.All();
  EXPECT_TRUE(log.Has(DMCwarning, "Sheet '" + dir.Path("C000000002.jpg") + "' missing"));
  std::vector<DBRecord> left = ReadRecords(dir.Dir());
  EXPECT_EQ(left.size(), 86u);
  for (const DBRecord& r : left) EXPECT_GT(r[PTDBFimageid].GetInt(), 14);

  tn.SetCacheSize(-1);
  EXPECT_EQ(tn.PurgeCache(), 0);
  tn.SetCacheSize(9900);  // from unlimited: waits for the next sync
  log.Clear();
  tn.SetCacheSize(0);  // empties every written sheet
  // Counted per sheet now: 86 sheets of 100 KB.
  EXPECT_TRUE(log.Has(DMCinfo, "Emptied 8600 Kbytes from thumbnail cache")) << log.All();
  EXPECT_EQ(tn.NextImageID(), 1);
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 0);
  EXPECT_TRUE(ReadRecords(dir.Dir()).empty());

  PTNpurgeEntry a = {3, 10, 5}, b = {4, 10, 9}, none = {0, 0, 0};
  EXPECT_GT(PTNpurgeCmp(&a, &b), 0);
  EXPECT_LT(PTNpurgeCmp(&b, &a), 0);
  EXPECT_LT(PTNpurgeCmp(&a, &none), 0);
  EXPECT_GT(PTNpurgeCmp(&none, &a), 0);
  EXPECT_EQ(PTNpurgeCmp(&none, &none), 0);
}

TEST(ThumbnailCache, TheSheetBeingFilledIsCountedOnceAndEmptiedWithTheRest) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  MessageLog log;
  ScratchDir photos, cache;
  const std::vector<std::string> paths = MakePhotos(photos, 3);
  ASSERT_EQ(paths.size(), 3u);
  PThumbnailer tn(cache.Dir().c_str());
  for (const std::string& p : paths) {
    _ImgStruct t = Thumb(160, 160);
    ASSERT_TRUE(tn.GetThumbnail(&t, Photo(p)));
    PfreeImage(&t);
  }
  PThumbnailerStats st;
  ASSERT_TRUE(tn.SyncCache());
  ASSERT_TRUE(tn.GetCacheStats(&st));
  const long once = st.kUsed;
  EXPECT_EQ(once, FileSize(cache.Path("C000000001.jpg")) / 1024 + 1);
  ASSERT_TRUE(tn.SyncCache());  // the same sheet written again
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, once);
  // Emptying takes the sheet being filled too, from an unlimited cache as well.
  tn.SetCacheSize(0);
  tn.PurgeCache();
  ASSERT_TRUE(tn.SyncCache());
  ASSERT_TRUE(tn.GetCacheStats(&st));
  EXPECT_EQ(st.kUsed, 0);
  EXPECT_EQ(st.nThumbs, 0);
  EXPECT_TRUE(ReadRecords(cache.Dir()).empty());
  EXPECT_EQ(FileSize(cache.Path("C000000001.jpg")), -1);
  _ImgStruct t = Thumb(160, 160);
  EXPECT_FALSE(tn.LoadThumbnail(&t, Photo(paths[0])));
  ASSERT_TRUE(tn.GetThumbnail(&t, Photo(paths[0])));  // made again, in sheet 1
  EXPECT_EQ(tn.NextImageID(), 1);
  PfreeImage(&t);
}

// A picture without light (every pixel 0) in each HDR format has a black thumbnail, made
// without a word on the way.
TEST(ThumbnailCache, APictureWithoutLightHasABlackThumbnail) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir photos, cache;
  PThumbnailer tn(cache.Dir().c_str());
  ASSERT_TRUE(tn.IsOpen());
  pictest::FloatImage black;
  black.w = 320;
  black.h = 240;
  black.px.assign(static_cast<size_t>(black.w) * black.h * 3, 0.0f);
  const struct {
    const char* name;
    const _ImgWriterInterface& writer;
    int quality;
  } kinds[] = {{"black.hdr", IWInterfaceRad, 90},
               {"black.exr", IWInterfaceEXR, 90},
               {"black.tif", IWInterfaceTIFF, 100},     // 96-bit float
               {"blackluv.tif", IWInterfaceTIFF, 90}};  // LogLuv
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.name);
    const std::string path = photos.Path(k.name);
    _ImgWriteBuf wb = black.WriteBuf();
    wb.info.quality = k.quality;
    wb.info.flags |= IIFquality;
    ASSERT_GT(k.writer.WriteImage(path.c_str(), &wb), 0);
    _ImgStruct t = Thumb(160, 160);
    ASSERT_TRUE(tn.GetThumbnail(&t, Photo(path)));
    EXPECT_EQ(t.xres, 160);
    EXPECT_EQ(t.yres, 120);
    int lit = 0;
    for (int y = 0; y < t.yres; ++y)
      for (int x = 0; x < 3 * t.xres; ++x) lit += t.img[y * t.rowsize + x] != 0;
    EXPECT_EQ(lit, 0);
    PfreeImage(&t);
  }
  for (const auto& e : log.entries) EXPECT_GE(e.first, static_cast<unsigned>(DMCinfo)) << e.second;
}

TEST(ThumbnailSheet, CellsStaySRGBWhateverTheSourcesPrimaries) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("exr/XYZ.exr");
  PThumbImage sheet;
  long rect[4], first[4];
  _ImgReader* ir = PopenImageF(phototest::TestData("jpeg/landscape_1.jpg").c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgStruct before = Thumb(80, 60);
  ASSERT_TRUE(sheet.AddThumb(&before, first, ir));
  ir->ri->Close(ir);
  ir = PopenImageF(phototest::TestData("exr/XYZ.exr").c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgStruct x = Thumb(80, 80);
  ASSERT_TRUE(sheet.AddThumb(&x, rect, ir));
  ir->ri->Close(ir);
  EXPECT_TRUE(PmatchColorSpace(&sheet.tnCS, &ICS_sRGB, 31));
  _ImgStruct after = Thumb(80, 60);
  ASSERT_TRUE(sheet.GetThumb(&after, first));
  EXPECT_GE(phototest::Psnr(before, after), 99.0);
  PfreeImage(&before);
  PfreeImage(&after);
  PfreeImage(&x);
}

TEST(ThumbnailCache, LoadedSheetsAreForgottenWhenTheFolderChanges) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/desk_grey.jpg");
  MessageLog log;
  ScratchDir photos, cacheA, cacheB;
  const std::string pa = photos.Path("a.jpg"), pb = photos.Path("b.jpg");
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/landscape_1.jpg"), pa));
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/desk_grey.jpg"), pb));
  const DBRecord a = Photo(pa), b = Photo(pb);
  _ImgStruct t = Thumb(160, 160);
  {
    PThumbnailer ta(cacheA.Dir().c_str());  // sheet 1 of A holds a
    ASSERT_TRUE(ta.GetThumbnail(&t, a));
    PThumbnailer tb(cacheB.Dir().c_str());  // sheet 1 of B holds b
    ASSERT_TRUE(tb.GetThumbnail(&t, b));
  }
  PfreeImage(&t);
  _ImgStruct fromB = Thumb(160, 160);
  {
    PThumbnailer tb(cacheB.Dir().c_str());
    ASSERT_TRUE(tb.LoadThumbnail(&fromB, b));
  }
  PThumbnailer tn(cacheA.Dir().c_str());
  t = Thumb(160, 160);
  ASSERT_TRUE(tn.LoadThumbnail(&t, a));  // A's sheet 1 now loaded at this reduction
  PfreeImage(&t);
  ASSERT_TRUE(tn.SetCacheDirectory(cacheB.Dir().c_str()));
  t = Thumb(160, 160);
  ASSERT_TRUE(tn.LoadThumbnail(&t, b));
  ASSERT_EQ(t.xres, fromB.xres);
  EXPECT_GE(phototest::Psnr(t, fromB), 99.0);
  PfreeImage(&t);
  PfreeImage(&fromB);
}

namespace {

// Each file of a folder with its size and time of change: a write there shows.
std::string Listing(const std::string& dir) {
  std::string all;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      struct stat st;
      if (lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        all += std::string(e->d_name) + " " + std::to_string(st.st_size) + " " +
               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
    closedir(d);
  }
  return all;
}

}  // namespace

// A cache whose folder's name comes to lead to another cache folder while it is open (the user's
// link pointed elsewhere), or whose database went, tells so, looked at on what it opened and not
// by its database's name, and writes nothing more when it closes: neither into the folder it
// left nor into the one now at its name.
TEST(ThumbnailCache, AFolderNoLongerAtItsNameGetsNothingMoreWritten) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/desk_grey.jpg");
  MessageLog log;
  ScratchDir photos, cacheA, cacheB, links;
  const std::string pa = photos.Path("a.jpg"), pb = photos.Path("b.jpg");
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/landscape_1.jpg"), pa));
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/desk_grey.jpg"), pb));
  const std::string link = links.Path("cache");
  _ImgStruct t = Thumb(160, 160);
  {
    PThumbnailer tb(cacheB.Dir().c_str());
    ASSERT_TRUE(tb.GetThumbnail(&t, Photo(pb)));
  }
  for (const bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "its database removed" : "its name leading elsewhere");
    unlink(link.c_str());
    ASSERT_EQ(symlink(cacheA.Dir().c_str(), link.c_str()), 0);
    PThumbnailer tn(link.c_str());
    ASSERT_TRUE(tn.GetThumbnail(&t, Photo(pa)));  // in the sheet being filled, not written yet
    EXPECT_EQ(tn.FolderChanged(), nullptr);
    if (removed) {
      ASSERT_EQ(unlink(cacheA.Path(CorvaneThumbnailDBFile).c_str()), 0);
    } else {
      ASSERT_EQ(unlink(link.c_str()), 0);
      ASSERT_EQ(symlink(cacheB.Dir().c_str(), link.c_str()), 0);
    }
    EXPECT_STREQ(tn.FolderChanged(),
                 removed ? "was removed" : "is no longer the folder at its name");
    const std::string a = Listing(cacheA.Dir()), b = Listing(cacheB.Dir());
    tn.SetCacheDirectory(nullptr);
    EXPECT_EQ(Listing(cacheA.Dir()), a);
    EXPECT_EQ(Listing(cacheB.Dir()), b);
  }
  PfreeImage(&t);
}

TEST(ThumbnailCache, HostileSheetNumbersAreIgnored) {
  MessageLog log;
  ScratchDir dir;
  WriteRecords(dir.Dir(),
               {{1, 1, 2147483647, 0, 5}, {2, 2, -5, 0, 5}, {3, 3, 0, 0, 5}, {4, 4, 3, 5000, 5}});
  PThumbnailer tn(dir.Dir().c_str());
  ASSERT_TRUE(tn.IsOpen());
  EXPECT_EQ(tn.NextImageID(), 4);
  DBRecord photo(&PDBFInfo);
  PDBsetInt(&photo, PDBFnbytes, 1);
  PDBsetInt(&photo, PDBFhashval, 1);
  _ImgStruct t = Thumb(80, 80);
  EXPECT_FALSE(tn.LoadThumbnail(&t, photo));
  tn.DeleteThumbnail(photo);
  EXPECT_EQ(ReadRecords(dir.Dir()).size(), 4u);
  tn.SetCacheSize(1000);
  tn.SetCacheSize(0);  // only sheet 3 is a candidate
  EXPECT_EQ(ReadRecords(dir.Dir()).size(), 3u);
  EXPECT_EQ(log.CountClass(DMCassert), 0) << log.All();
}

TEST(ThumbnailCache, QuickThumbIsFinalOnlyFromTheCache) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/Canon_40D.jpg");
  MessageLog log;
  ScratchDir photos, cache;
  const std::string p = photos.Path("c.jpg");
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/Canon_40D.jpg"), p));
  const DBRecord photo = Photo(p);
  PThumbnailer tn(cache.Dir().c_str());
  _ImgStruct t = Thumb(80, 80);
  EXPECT_FALSE(tn.QuickThumb(&t, photo));  // the file's embedded thumbnail: drawn, not final
  EXPECT_NE(t.img, nullptr);
  PfreeImage(&t);
  t = Thumb(80, 80);
  ASSERT_TRUE(tn.GetThumbnail(&t, photo));
  PfreeImage(&t);
  t = Thumb(80, 80);
  EXPECT_TRUE(tn.QuickThumb(&t, photo));
  PfreeImage(&t);
  // A file that is gone and not cached: the tinted placeholder.
  DBRecord gone = photo;
  PDBsetInt(&gone, PDBFhashval, 1);
  unlink(p.c_str());
  t = Thumb(80, 80);
  EXPECT_FALSE(tn.QuickThumb(&t, gone));
  ASSERT_NE(t.img, nullptr);
  const uint8_t* mid = t.img + 40 * t.rowsize + 40 * 3;
  EXPECT_EQ(mid[2], mid[0] >> 2);
  PfreeImage(&t);
}

namespace {

// Runs a program with its arguments, standard output to out when given; true when it ran and
// exited with 0.
bool RunTool(const std::vector<std::string>& args, const std::string& out = "") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.empty() ? "/dev/null" : out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int err = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  return err == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// The pixels of a binary 8-bit PPM file; empty on any other content.
std::vector<uint8_t> ReadPpm(const std::string& path, int* w, int* h) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  int maxv = 0;
  std::vector<uint8_t> px;
  if (fscanf(f, "P6 %d %d %d", w, h, &maxv) == 3 && maxv == 255 && fgetc(f) != EOF && *w > 0 &&
      *h > 0 && *w <= 4096 && *h <= 4096) {
    px.resize(static_cast<size_t>(*w) * *h * 3);
    if (fread(px.data(), 1, px.size(), f) != px.size()) px.clear();
  }
  fclose(f);
  return px;
}

// An Adobe RGB (1998) code as an sRGB code: its 563/256 power curve undone, the primaries
// turned into sRGB's (the same white), clipped, and the sRGB curve applied.
void AdobeToSrgb(const uint8_t* in, double* out) {
  double lin[3];
  for (int c = 0; c < 3; c++) lin[c] = std::pow(in[c] / 255.0, 563.0 / 256.0);
  const double rgb[3] = {1.3982832 * lin[0] - 0.3982831 * lin[1], lin[1],
                         -0.0429383 * lin[1] + 1.0429383 * lin[2]};
  for (int c = 0; c < 3; c++) {
    const double v = std::min(1.0, std::max(0.0, rgb[c]));
    out[c] = 255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
  }
}

}  // namespace

TEST(ThumbnailSheet, CameraJpegWithAdobePrimariesIsConvertedToSRGB) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/DSCN0010.jpg");
  if (!RunTool({"exiftool", "-ver"}) || !RunTool({"djpeg", "-version"}) ||
      !RunTool({"jpegtran", "-version"}))
    GTEST_SKIP() << "exiftool, djpeg or jpegtran not installed";
  // A camera file cut losslessly to a size the cell is resampled from, labelled with Adobe RGB
  // primaries (the white stays D65).
  ScratchDir dir;
  const std::string path = dir.Path("adobe.jpg"), ppm = dir.Path("adobe.ppm");
  ASSERT_TRUE(RunTool({"jpegtran", "-copy", "all", "-crop", "592x448+16+16",
                       phototest::TestData("jpeg/DSCN0010.jpg")},
                      path));
  ASSERT_TRUE(RunTool({"exiftool", "-q", "-overwrite_original",
                       "-PrimaryChromaticities=0.64 0.33 0.21 0.71 0.15 0.06", path}));
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  ASSERT_EQ(ir->xres, 592);
  ASSERT_NEAR(ir->cs.chroma[1][0], 0.21f, 1e-4);
  PThumbImage sheet;
  long rect[4];
  _ImgStruct t = Thumb(80, 60);
  MessageLog log;
  ASSERT_TRUE(sheet.AddThumb(&t, rect, ir)) << log.All();
  ir->ri->Close(ir);
  PfreeImage(&t);
  // The reference: libjpeg's decode converted to sRGB. Cells and reference are compared as
  // means over blocks of 8 x 8 cell pixels, so that the resampling kernel does not count.
  ASSERT_TRUE(RunTool({"djpeg", "-ppm", path}, ppm));
  int w = 0, h = 0;
  const std::vector<uint8_t> ref = ReadPpm(ppm, &w, &h);
  ASSERT_EQ(w, 592);
  const int cw = static_cast<int>(rect[2] - rect[0]), ch = static_cast<int>(rect[3] - rect[1]);
  _ImgStruct cell = Thumb(cw, ch);
  ASSERT_TRUE(sheet.GetThumb(&cell, rect));
  const int bw = cw / 8, bh = ch / 8;
  std::vector<double> got(3 * bw * bh), conv(3 * bw * bh), raw(3 * bw * bh), cnt(bw * bh);
  for (int y = 0; y < 8 * bh; y++)
    for (int x = 0; x < 8 * bw; x++) {
      const uint8_t* p = cell.img + static_cast<ptrdiff_t>(y) * cell.rowsize + 3 * x;
      for (int c = 0; c < 3; c++) got[3 * ((y / 8) * bw + x / 8) + c] += p[c] / 64.0;
    }
  PfreeImage(&cell);
  for (int v = 0; v < h; v++)
    for (int u = 0; u < w; u++) {
      const int bx = static_cast<int>((u + 0.5) * cw / w) / 8;
      const int by = static_cast<int>((v + 0.5) * ch / h) / 8;
      if (bx >= bw || by >= bh) continue;
      const uint8_t* r = &ref[3 * (static_cast<size_t>(v) * w + u)];
      double s[3];
      AdobeToSrgb(r, s);
      const int b = by * bw + bx;
      cnt[b]++;
      for (int c = 0; c < 3; c++) {
        conv[3 * b + c] += s[c];
        raw[3 * b + c] += r[c];
      }
    }
  double sum = 0, plain = 0;
  for (int b = 0; b < bw * bh; b++)
    for (int c = 0; c < 3; c++) {
      sum += std::fabs(got[3 * b + c] - conv[3 * b + c] / cnt[b]);
      plain += std::fabs(got[3 * b + c] - raw[3 * b + c] / cnt[b]);
    }
  const double n = 3.0 * bw * bh;
  printf("mean difference from the converted decode %.2f, from the decode as it is %.2f\n", sum / n,
         plain / n);
  EXPECT_LT(sum / n, 3.0);
  EXPECT_GT(plain / n, sum / n + 1);  // the conversion happened
}

// A thumbnail database cut short, with a flipped byte in a block or in its header, or beside a
// journal not its own is set aside (one copy kept, its sheets dropped) and made anew at the next
// start, which adds thumbnails again; the start after that finds nothing to tell.
TEST(ThumbnailCache, DamagedDatabaseIsSetAsideAndMadeAnewOnce) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  ScratchDir photos, dir;
  const std::vector<std::string> paths = MakePhotos(photos, 2);
  ASSERT_EQ(paths.size(), 2u);
  const std::string db = dir.Path("tncache.qdb");
  std::vector<std::vector<long>> recs;
  for (long i = 0; i < 40; i++) recs.push_back({1000 + i, 77 + i, 1 + i / 6, 5000, 100});
  WriteRecords(dir.Dir(), recs);
  const std::string good = [&] {
    std::ifstream in(db, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const int hs = [&] {
    PTDBHeader h;
    std::fstream fs(db, std::ios::in | std::ios::binary);
    return h.Attach(&fs, true);
  }();
  ASSERT_GT(hs, 0);
  auto asideCount = [&] {
    int n = 0;
    if (DIR* d = opendir(dir.Dir().c_str())) {
      while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        n += name.rfind("tncache.qdb.damaged-", 0) == 0 &&
             name.find("-journal") == std::string::npos;
      }
      closedir(d);
    }
    return n;
  };
  auto flip = [&](size_t at, char bit) {
    std::string bytes = good;
    bytes[at] ^= bit;
    return bytes;
  };
  const size_t text = good.find("}\t// QRDB\n") + 10;  // the header's padding follows
  ASSERT_LT(text, static_cast<size_t>(hs));
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"cut", good.substr(0, good.size() - 1000)},
      {"cut in its header", good.substr(0, 100)},
      // Cut within its first lines: too short to show more than that it starts as one.
      {"cut at 1", good.substr(0, 1)},
      {"cut at 10", good.substr(0, 10)},
      {"cut at 20", good.substr(0, 20)},
      {"cut at 41", good.substr(0, 41)},
      {"flip", flip(static_cast<size_t>(hs) + 4, 2)},  // block 0's record count
      {"flip in its header's padding", flip(static_cast<size_t>(hs) - 1, 4)},
      {"flip in its first line", flip(1, 1)},
      {"flip in its header's text", flip(good.find("\"NBytes\"") + 1, 1)},
      {"journal", good}};
  for (const auto& dmg : damages) {
    phototest::WriteFile(db, dmg.second);
    if (dmg.first == "journal") phototest::WriteFile(db + "-journal", "not a journal of it");
    phototest::WriteFile(dir.Path("C000000001.jpg"), "an old sheet");
    {
      MessageLog log;
      PThumbnailer tn(dir.Dir().c_str());
      ASSERT_TRUE(tn.IsOpen()) << dmg.first << "\n" << log.All();
      int told = 0;
      for (const auto& e : log.entries)
        told += e.first == DMCwarning &&
                e.second.rfind("Thumbnail database " + db + " was damaged (", 0) == 0 &&
                e.second.find("): set aside as " + db + ".damaged-") != std::string::npos;
      EXPECT_EQ(told, 1) << dmg.first << "\n" << log.All();
      // That one line alone: what the database's opening found is told in it.
      EXPECT_EQ(log.CountClass(DMCwarning) + log.CountClass(DMCdata) + log.CountClass(DMCsystem), 1)
          << dmg.first << "\n"
          << log.All();
      EXPECT_EQ(asideCount(), 1) << dmg.first;
      EXPECT_EQ(access((db + "-journal").c_str(), F_OK), -1) << dmg.first;
      EXPECT_EQ(access(dir.Path("C000000001.jpg").c_str(), F_OK), -1) << dmg.first;
      EXPECT_EQ(tn.NextImageID(), 1) << dmg.first;
      _ImgStruct t = Thumb(160, 160);
      EXPECT_TRUE(tn.GetThumbnail(&t, Photo(paths[0]))) << dmg.first;
      PfreeImage(&t);
      EXPECT_TRUE(tn.SyncCache()) << dmg.first;
      EXPECT_FALSE(log.Has("AddRecords called on read-only DB")) << log.All();
    }
    MessageLog log;
    {
      PThumbnailer tn(dir.Dir().c_str());
      ASSERT_TRUE(tn.IsOpen());
      _ImgStruct t = Thumb(160, 160);
      EXPECT_TRUE(tn.GetThumbnail(&t, Photo(paths[1]))) << dmg.first;
      PfreeImage(&t);
    }
    EXPECT_EQ(Logged(log), 0) << dmg.first << log.All();
    EXPECT_EQ(ReadRecords(dir.Dir()).size(), 2u) << dmg.first;
    EXPECT_EQ(asideCount(), 1);
  }
}

namespace {

// The entries of folder dir that a damaged database was set aside as (journals apart).
std::vector<std::string> Asides(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind("tncache.qdb.damaged-", 0) == 0 && name.find("-journal") == std::string::npos)
        out.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string LinkTarget(const std::string& path) {
  char buf[1024];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

// A folder or a symbolic link, dangling or not, in the database's place is renamed out of the
// way (neither followed nor removed) and a new database made, told in one line; the next start
// is quiet.
TEST(ThumbnailCache, AnythingButAFileInTheDatabasesPlaceIsSetAsideOnce) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  ScratchDir photos, dir, elsewhere;
  const std::vector<std::string> paths = MakePhotos(photos, 1);
  ASSERT_EQ(paths.size(), 1u);
  const std::string db = dir.Path("tncache.qdb");
  const std::string target = elsewhere.Path("theirs.txt"), nowhere = elsewhere.Path("none");
  ASSERT_TRUE(phototest::WriteFile(target, "not the cache's"));
  const struct {
    const char* what;
    std::string link;  // the link's target; none for a folder
    std::string told;
  } cases[] = {{"folder", "", "a folder stands in its place"},
               {"dangling link", nowhere, "a symbolic link stands in its place"},
               {"link to a file", target, "a symbolic link stands in its place"}};
  for (const auto& c : cases) {
    unlink(db.c_str());
    if (c.link.empty()) {
      ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
      ASSERT_TRUE(phototest::WriteFile(db + "/inside.txt", "kept"));
    } else {
      ASSERT_EQ(symlink(c.link.c_str(), db.c_str()), 0);
    }
    const std::vector<std::string> before = Asides(dir.Dir());
    {
      MessageLog log;
      PThumbnailer tn(dir.Dir().c_str());
      ASSERT_TRUE(tn.IsOpen()) << c.what << "\n" << log.All();
      ASSERT_EQ(Logged(log), 1) << c.what << "\n" << log.All();
      EXPECT_TRUE(log.Has(DMCwarning, "Thumbnail database " + db + " was damaged (" + c.told +
                                          "): set aside as " + Asides(dir.Dir()).back() +
                                          " and made anew"))
          << log.All();
      _ImgStruct t = Thumb(160, 160);
      EXPECT_TRUE(tn.GetThumbnail(&t, Photo(paths[0]))) << c.what;
      PfreeImage(&t);
      EXPECT_TRUE(tn.SyncCache()) << c.what;
    }
    std::vector<std::string> now = Asides(dir.Dir()), added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u) << c.what;
    if (c.link.empty())
      EXPECT_EQ(Content(added[0] + "/inside.txt"), "kept");
    else
      EXPECT_EQ(LinkTarget(added[0]), c.link) << c.what;
    EXPECT_EQ(access(nowhere.c_str(), F_OK), -1) << "nothing is made through a link";
    EXPECT_EQ(Content(target), "not the cache's");
    MessageLog log;
    {
      PThumbnailer tn(dir.Dir().c_str());
      ASSERT_TRUE(tn.IsOpen());
    }
    EXPECT_EQ(Logged(log), 0) << c.what << log.All();
    EXPECT_EQ(ReadRecords(dir.Dir()).size(), 1u) << c.what;
  }
  // Set-aside folders and links are kept as they are.
  EXPECT_EQ(Asides(dir.Dir()).size(), 3u);
}

// A damaged database in a folder that cannot be written is not set aside: that is told once,
// the file is left as it is and the cache is not used (no failure at each thumbnail).
TEST(ThumbnailCache, DamagedDatabaseThatCannotBeSetAsideIsToldOnceAndLeftAlone) {
  ScratchDir dir;
  const std::string db = dir.Path("tncache.qdb");
  WriteRecords(dir.Dir(), {{1000, 77, 1, 5000, 100}});
  std::string bytes = Content(db);
  const size_t text = bytes.find("}\t// QRDB\n") + 10;
  ASSERT_LT(text, bytes.size());
  bytes[text] ^= 4;  // the first byte of its header's padding
  ASSERT_TRUE(phototest::WriteFile(db, bytes));
  unlink((db + "-index").c_str());
  // Root writes anywhere: the folder is tried by another user then.
  ASSERT_EQ(chmod(db.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.Dir().c_str(), 0555), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (testutil::CanBeOtherUser() && !testutil::BecomeOtherUser()) _exit(3);
    std::string report;
    {
      MessageLog log;
      PThumbnailer tn(dir.Dir().c_str());
      DBRecord photo(&PDBFInfo);
      photo.SetField(PDBFnbytes, 1000L);
      photo.SetField(PDBFhashval, 77L);
      _ImgStruct t = Thumb(160, 160);
      report = (tn.IsOpen() ? "open " : "closed ") +
               (tn.GetThumbnail(&t, photo) ? std::string("made\n") : std::string("none\n"));
      for (const auto& e : log.entries)
        if (e.first < DMCtrace)
          report += std::string(dmessage_class_name[e.first]) + ": " + e.second + "\n";
    }
    if (write(out[1], report.data(), report.size()) != static_cast<ssize_t>(report.size()))
      _exit(2);
    _exit(0);
  }
  close(out[1]);
  std::string report;
  char buf[1024];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    report.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  chmod(dir.Dir().c_str(), 0755);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(report, "closed none\nwarning: Thumbnail database " + db +
                        " is damaged (its header's padding holds bytes other than line feeds) and "
                        "cannot be set aside (" +
                        strerror(EACCES) + "): thumbnails are not cached\n");
  EXPECT_EQ(Content(db), bytes);
  EXPECT_TRUE(Asides(dir.Dir()).empty());
}
