// Builds a thumbnail cache folder whose database records come from the input (sheet number,
// rectangle, byte share, which may be the one its sheet's file fits, and last use of each
// thumbnail) beside two real contact sheets, one of them no multiple of the reductions, and a
// lock file of the bytes after the records, then loads thumbnails at every reduction, deletes
// one, syncs and purges.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "catalog/pixhaven.h"
#include "thumbs/pthumb.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"
#include "testutil/file_bytes.h"
#include "testutil/rgb_jpeg.h"
#include "fuzz_jpegmem.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

std::string gDir;
std::string gSheet1, gSheet2;  // the bytes of the two sheets

// A grey sheet of w x h written by the JPEG writer.
std::string MakeSheet(int w, int h) {
  std::string px(static_cast<size_t>(w) * h * 3, '\0');
  for (size_t i = 0; i < px.size(); i++) px[i] = static_cast<char>(i * 7);
  const std::string path = gDir + "/sheet.jpg";
  WriteRgbJpeg(path, w, h, px.data(), 75);
  std::string bytes = ReadAll(path);
  unlink(path.c_str());
  return bytes;
}

void Setup() {
  char tmpl[] = "/tmp/lumerin_fuzz_tncache_XXXXXX";
  const char* d = mkdtemp(tmpl);
  gDir = d != nullptr ? d : "/tmp";
  PloadStandardReaders();
  gSheet1 = MakeSheet(960, 640);
  gSheet2 = MakeSheet(957, 633);
}

int32_t Get32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

DBRecord Photo(int i) {
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFnbytes, static_cast<long>(1000 + i));
  r.SetField(PDBFhashval, static_cast<long>(77 * i + 1));
  r.SetField(PDBFfile, "none.jpg");
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  static bool ready = (Setup(), true);
  (void)ready;
  const std::string db = gDir + "/tncache.qdb";
  unlink(db.c_str());
  WriteAll(gDir + "/C000000001.jpg", gSheet1);
  WriteAll(gDir + "/C000000002.jpg", gSheet2);
  constexpr size_t kRec = 28;
  const int n = static_cast<int>(size / kRec < 64 ? size / kRec : 64);
  {
    WriteAll(db, "");
    std::fstream fs(db, std::ios::in | std::ios::out | std::ios::binary);
    PTDBHeader head;
    DBAccess acc(&head, &fs, false);
    for (int i = 0; i < n; i++) {
      const uint8_t* p = data + i * kRec;
      DBRecord r(&PTDBFInfo);
      r.SetField(PTDBFnbytes, static_cast<long>(1000 + i));
      r.SetField(PTDBFhashval, static_cast<long>(77 * i + 1));
      r.SetField(PTDBFimageid, static_cast<long>(Get32(p)));
      const long rect[5] = {Get32(p + 4), Get32(p + 8), Get32(p + 12), Get32(p + 16), 0};
      // The count of rectangle values (2 to 5) comes from the input too.
      r.SetField(PTDBFrectangle, rect, (p[20] & 3) + 2);
      // Bit 2 of the rectangle's count byte: the share of a sheet written alone in its file.
      const int32_t id = Get32(p);
      const bool fits = (p[20] & 4) != 0 && (id == 1 || id == 2);
      r.SetField(PTDBFimagebytes, fits ? static_cast<long>((id == 1 ? gSheet1 : gSheet2).size())
                                       : static_cast<long>(Get32(p + 20)));
      r.SetField(PTDBFlastuse, static_cast<long>(Get32(p + 24)));
      acc.AddRecord(r);
    }
    acc.Close();
  }
  const std::string lock = gDir + "/" + PThumbnailer::kShareName;
  if (size > n * kRec)
    WriteAll(lock, std::string(reinterpret_cast<const char*>(data) + n * kRec, size - n * kRec));
  else
    unlink(lock.c_str());
  {
    PThumbnailer tn(gDir.c_str());
    const int sizes[4] = {30, 80, 150, 320};
    for (int i = 0; i < n; i++) {
      _ImgStruct t = {};
      t.xres = sizes[i & 3];
      t.yres = sizes[(i >> 2) & 3];
      t.csp = &ICS_sRGB;
      tn.LoadThumbnail(&t, Photo(i));
      PfreeImage(&t);
    }
    if (n > 0) tn.DeleteThumbnail(Photo(n / 2));
    tn.SyncCache();
    PThumbnailerStats st;
    tn.GetCacheStats(&st);
    tn.SetCacheSize(size & 1 ? 0 : 1);
    tn.SetCacheDirectory(nullptr);
  }
  return 0;
}
