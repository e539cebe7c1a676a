// Saving an image to a file the user chooses.
#include "app/image/psaveimg.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pslice.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "image/pbandread.h"
#include "image/piresamp.h"
#include "platform/pfolders.h"
#include "platform/pqt.h"
#include "support/cache.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/membudget.h"
#include "support/pwork.h"
#include "support/replacefile.h"
#include "support/futil.h"

namespace {

constexpr int kPathLen = 1024;

const _ImgWriterInterface* const kWriters[kImageWriterCount] = {&IWInterfaceTIFF, &IWInterfaceRad,
                                                                &IWInterfaceEXR, &IWInterfaceJPEG};
const OSType kTypes[kImageWriterCount] = {kDocTIFF, kDocPicture, kDocOpenEXR, kDocJPEG};
// The file names each format's list shows in the save dialog.
const char* const kPatterns[kImageWriterCount] = {"*.tif *.tiff *.TIF *.TIFF", "*.hdr *.HDR",
                                                  "*.exr *.EXR", "*.jpg *.jpeg *.JPG *.JPEG"};

bool IsJPEG(const char* desc) {
  return desc != nullptr && strncmp(desc, "JPEG ", 5) == 0;
}

// Closes a reader when it goes.
struct ReaderCloser {
  void operator()(_ImgReader* ir) const {
    if (ir != nullptr && ir->ri != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
  }
};
using ReaderPtr = std::unique_ptr<_ImgReader, ReaderCloser>;

// The colour space of what is saved: the shown image's, else that of the record's file, opened
// into *ir; NULL when neither can be had.
const _ImgColorSpace* SourceSpace(DBRecord& dr, const _ImgStruct* ims, ReaderPtr* ir) {
  if (ims != nullptr) return ims->csp;
  ir->reset(PopenImageD(dr, false));
  return *ir ? &(*ir)->cs : nullptr;
}

// Reads the reader's whole image at full size in its own colour space: a large picture in
// bands, a slice at a time (false, untold, when a Stop ends it).
bool ReadWhole(_ImgReader* ir, _ImgStruct* img) {
  *img = _ImgStruct{};
  if (ir->ri == nullptr || ir->ri->ReadRec == nullptr || ir->xres < 1 || ir->yres < 1) {
    ir->errCode = IREunsupported;
    PreportReaderErr(ir);
    return false;
  }
  _ImgColorSpace cs = ir->cs;
  cs.cstatic = 0;
  if (!PsaveFits(ir->file, ir->xres, ir->yres, static_cast<size_t>(PpixelSize(&cs)))) return false;
  img->xres = ir->xres;
  img->yres = ir->yres;
  img->csp = &cs;
  if (!PnewImage(img, 0)) {
    img->csp = nullptr;
    return false;
  }
  if (PreadInSlices(ir->xres, ir->yres) && PBandReader::Deliverable(cs)) {
    PBandReader br;
    const size_t rb = static_cast<size_t>(ir->xres) * static_cast<size_t>(PpixelSize(&cs));
    bool stopped = false;
    const bool ok = br.Begin(ir, cs, 1, 1, [&](int y, const void* row) {
      if (!PmatchColorSpace(&br.DeliveredCS(), img->csp, 31)) return false;
      memcpy(img->img + static_cast<ptrdiff_t>(y) * img->rowsize, row, rb);
      return true;
    }) && br.ReadSliced(&stopped);
    if (!ok) {
      if (!stopped) {
        if (ir->errCode == IREnone) ir->errCode = IREunsupported;
        PreportReaderErr(ir);
      }
      PfreeImage(img);
    }
    return ok;
  }
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = *img->csp;
  rb.r = _ImgRect{0, ir->xres, 0, ir->yres};
  rb.subsample = 1;
  rb.buf = img->img;
  rb.bufsize = static_cast<size_t>(img->rowsize) * static_cast<size_t>(img->yres);
  const ImgReadErr err = ir->ri->ReadRec(ir, &rb);
  if (err != IREnone || rb.r.xright != ir->xres || rb.r.ybottom != ir->yres ||
      !PmatchColorSpace(&rb.cs, img->csp, 31)) {
    if (ir->errCode == IREnone) ir->errCode = err != IREnone ? err : IREunsupported;
    PreportReaderErr(ir);
    PfreeImage(img);
    return false;
  }
  return true;
}

// Copies n pixels of PS bytes from s, one by one, to d, d + step, d + 2 step ...
template <int PS>
void Scatter(uint8_t* d, ptrdiff_t step, const uint8_t* s, int n) {
  for (int j = 0; j < n; ++j, d += step, s += PS) memcpy(d, s, PS);
}

void ScatterAny(uint8_t* d, ptrdiff_t step, const uint8_t* s, int n, int ps) {
  switch (ps) {
    case 1:
      return Scatter<1>(d, step, s, n);
    case 3:
      return Scatter<3>(d, step, s, n);
    case 6:
      return Scatter<6>(d, step, s, n);
    case 12:
      return Scatter<12>(d, step, s, n);
    default:
      for (int j = 0; j < n; ++j, d += step, s += ps) memcpy(d, s, static_cast<size_t>(ps));
  }
}

// The rows a writer takes one at a time (ImgRowSource), and between them the work gives way
// (PworkSlice): a Stop there abandons the write.
class RowFeed {
 public:
  virtual ~RowFeed() = default;
  static int Row(uint8_t* row, int y, void* data) {
    RowFeed* f = static_cast<RowFeed*>(data);
    if (!f->Fill(row, y)) {
      f->failed_ = true;
      return 0;
    }
    return PworkSlice(static_cast<double>(y + 1) / f->height_) ? 1 : 0;
  }
  // The source itself failed (and told why), rather than the writer or a Stop.
  bool Failed() const { return failed_; }

 protected:
  explicit RowFeed(int height) : height_(height > 0 ? height : 1) {}
  virtual bool Fill(uint8_t* row, int y) = 0;

 private:
  int height_;
  bool failed_ = false;
};

// The rows of a whole image as an orientation turns it, made as the writer asks for them, so
// that the turned picture is never held whole beside the image: a quarter turn gathers a strip
// of the image's columns at a time.
class ImageRows : public RowFeed {
 public:
  ImageRows(const _ImgStruct* im, const POrient& turn)
      : RowFeed(turn.xyswap ? im->xres : im->yres), im_(im), o_(turn), ps_(PpixelSize(im->csp)) {
    o_.SetOrigSize(im->xres, im->yres);
    rowBytes_ = static_cast<size_t>(o_.GetWidth()) * static_cast<size_t>(ps_);
  }

 protected:
  bool Fill(uint8_t* row, int y) override {
    if (!o_.xyswap) {
      const int sy = o_.vflip ? im_->yres - 1 - y : y;
      const uint8_t* s = im_->img + static_cast<ptrdiff_t>(sy) * im_->rowsize;
      if (!o_.hflip)
        memcpy(row, s, rowBytes_);
      else
        ScatterAny(row + rowBytes_ - ps_, -ps_, s, im_->xres, ps_);
      return true;
    }
    if (y < top_ || y >= top_ + rows_) {
      if (!Gather(y)) return false;
    }
    memcpy(row, strip_.data() + static_cast<size_t>(y - top_) * rowBytes_, rowBytes_);
    return true;
  }

 private:
  // Rows y0 on of the turned picture: columns of the image, each row of the image giving one
  // pixel to each of them.
  bool Gather(int y0) {
    constexpr size_t kStripBytes = size_t{16} << 20;
    const int most =
        static_cast<int>(std::max<size_t>(1, std::min<size_t>(64, kStripBytes / rowBytes_)));
    const int n = std::min(most, o_.GetHeight() - y0);
    if (strip_.size() < static_cast<size_t>(n) * rowBytes_) {
      try {
        strip_.resize(static_cast<size_t>(most) * rowBytes_);
      } catch (const std::bad_alloc&) {
        DMESSAGE(DMCmemory, "Cannot allocate %zu bytes", static_cast<size_t>(most) * rowBytes_);
        return false;
      }
    }
    // Turned row y is image column x = y (hflip: xres - 1 - y); image row sy lands at column
    // sy of the turned rows (vflip: yres - 1 - sy).
    const int lo = o_.hflip ? im_->xres - y0 - n : y0;
    const ptrdiff_t step =
        o_.hflip ? -static_cast<ptrdiff_t>(rowBytes_) : static_cast<ptrdiff_t>(rowBytes_);
    uint8_t* first = strip_.data() + (o_.hflip ? static_cast<size_t>(n - 1) * rowBytes_ : 0);
    for (int sy = 0; sy < im_->yres; ++sy) {
      const int cx = o_.vflip ? im_->yres - 1 - sy : sy;
      ScatterAny(
          first + static_cast<ptrdiff_t>(cx) * ps_, step,
          im_->img + static_cast<ptrdiff_t>(sy) * im_->rowsize + static_cast<ptrdiff_t>(lo) * ps_,
          n, ps_);
    }
    top_ = y0;
    rows_ = n;
    return true;
  }

  const _ImgStruct* im_;
  POrient o_;
  int ps_;
  size_t rowBytes_;
  std::vector<uint8_t> strip_;
  int top_ = 0, rows_ = 0;
};

// The rows of a reader's picture at full size in its own colour space, read a band at a time
// as the writer asks for them: the picture is never held whole.
class ReaderRows : public RowFeed {
 public:
  explicit ReaderRows(_ImgReader* ir) : RowFeed(ir->yres), ir_(ir) {
    want_ = ir->cs;
    want_.cstatic = 0;
    rowBytes_ = static_cast<size_t>(ir->xres) * static_cast<size_t>(PpixelSize(&want_));
  }
  bool Begin() {
    return br_.Begin(ir_, want_, 1, 1, [this](int, const void* row) {
      if (!PmatchColorSpace(&br_.DeliveredCS(), &want_, 31)) return false;
      const uint8_t* p = static_cast<const uint8_t*>(row);
      band_.insert(band_.end(), p, p + rowBytes_);
      ++have_;
      return true;
    });
  }

 protected:
  bool Fill(uint8_t* row, int y) override {
    while (y >= first_ + have_) {
      first_ += have_;
      have_ = 0;
      band_.clear();
      const int r = br_.Step(0);
      if (r < 0 || have_ == 0) {
        if (ir_->errCode == IREnone) ir_->errCode = IREunsupported;
        PreportReaderErr(ir_);
        return false;
      }
    }
    memcpy(row, band_.data() + static_cast<size_t>(y - first_) * rowBytes_, rowBytes_);
    return true;
  }

 private:
  _ImgReader* ir_;
  _ImgColorSpace want_;
  size_t rowBytes_;
  PBandReader br_;
  std::vector<uint8_t> band_;
  int first_ = 0, have_ = 0;
};

// Writes a file with w through write(temporary path) beside path, syncs it and renames it
// over path; the file's length, 0 on failure (path as it was, the temporary file removed).
template <typename Write>
long WriteSafely(const char* path, Write write) {
  if (path == nullptr || *path == '\0') return 0;
  const mode_t mode = PnewFileMode(path);
  std::string tmp;
  int fd = PtempBeside(path, &tmp, mode);
  if (fd < 0) return 0;
  // Whose the files made here are: this user, or on a disk without owners its mount's.
  struct stat made;
  const bool known = fstat(fd, &made) == 0;
  close(fd);
  // The writer replaces the empty temporary file with the whole image.
  long n = write(tmp.c_str());
  bool ok = known && n > 0;
  struct stat st;  // the file taken back, which alone is renamed into place
  if (ok) {
    // In a folder others may write, another user may have left anything at the name since:
    // it is opened without following a link or waiting on a FIFO, and taken only as a regular
    // file of the owner files made here have, with no other name.
    fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    ok = fd >= 0 && fstat(fd, &st) == 0 && NotOwnEntry(st, false, made.st_uid, true).empty() &&
         PsetFileMode(fd, mode) && fsync(fd) == 0;
    if (ok) n = static_cast<long>(st.st_size);
    if (fd >= 0 && close(fd) != 0) ok = false;
  }
  if (!ok) {
    // What another user left at the name is theirs to remove.
    struct stat now;
    if (!known || (lstat(tmp.c_str(), &now) == 0 && NotOwnEntry(now, false, made.st_uid).empty()))
      PdiscardTemp(tmp);
    return 0;
  }
  return PrenameTemp(tmp, path, &st) ? n : 0;
}

// Whether a writer's files keep a pixel shape: JPEG files have no place for one that
// readers heed (ours take their pixels as square), so pixels of another shape are written
// square.
bool KeepsPixelShape(const _ImgWriterInterface* w) {
  return w != &IWInterfaceJPEG;
}

// Pixels more than a percent from square.
bool NonSquare(float aspect) {
  return std::isfinite(aspect) && aspect > 0 && std::fabs(aspect - 1.0f) > 0.01f;
}

// Frees a picture made for a save, its memory given back a band at a time and the work giving
// way between bands: a large picture given back at once holds the window for a moment. Only
// for a picture no one else holds (its block has one reference).
void GiveBack(_ImgStruct* im) {
  constexpr uintptr_t kBand = uintptr_t{64} << 20;
  if (im->img != nullptr && im->mbase != nullptr && im->mbase->RetainCount() == 1 &&
      im->rowsize > 0) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t at = reinterpret_cast<uintptr_t>(im->img);
    const uintptr_t end =
        at + static_cast<uintptr_t>(im->rowsize) * static_cast<uintptr_t>(im->yres);
    for (uintptr_t lo = (at + page - 1) & ~(page - 1); lo + kBand <= (end & ~(page - 1));
         lo += kBand) {
      madvise(reinterpret_cast<void*>(lo), kBand, MADV_DONTNEED);
      // A Stop pressed here is seen by the work's next slice, or comes when the file is whole.
      PworkSlice(1.0);
    }
  }
  PfreeImage(im);
}

// Resamples src, whose pixels have the shape aspect (height over width), to square pixels in
// *sq: the longer side of its pixels shrinks, as the picture is shown. A band of rows at a
// time, giving way between them; false when a Stop ended it or it failed (told).
bool Squared(const char* path, const _ImgStruct* src, float aspect, _ImgStruct* sq) {
  int x = src->xres, y = src->yres;
  PaspectToView(aspect, &x, &y);
  *sq = _ImgStruct{std::max(x, 1), std::max(y, 1), src->csp, 0, nullptr, nullptr};
  if (!PsaveFits(path, sq->xres, sq->yres, static_cast<size_t>(PpixelSize(src->csp))) ||
      !PnewImage(sq, 0)) {
    *sq = _ImgStruct{};
    return false;
  }
  const double sy = static_cast<double>(src->yres) / sq->yres;
  const int band = static_cast<int>(std::max<int64_t>(1, (int64_t{1} << 20) / sq->xres));
  for (int y0 = 0; y0 < sq->yres; y0 += band) {
    const int n = std::min(band, sq->yres - y0);
    _ImgStruct rows = *sq;
    rows.mbase = nullptr;
    rows.yres = n;
    rows.img = sq->img + static_cast<ptrdiff_t>(y0) * sq->rowsize;
    const _ImgSpan span{0, y0 * sy, static_cast<double>(src->xres), n * sy};
    if (!PsizeImageSpan(&rows, src, span, 1) ||
        !PworkSlice(static_cast<double>(y0 + n) / sq->yres)) {
      PfreeImage(sq);
      return false;
    }
  }
  return true;
}

// While it lives, the slices of one stage of a save tell their fraction as the part from .. to
// of the whole save, so that the Progress window's bar runs once over stages that each count
// from 0 to 1 (a read, a resampling, an encoding).
class SliceShare {
 public:
  SliceShare(double from, double to) : outer_(PsetSliceHook(Hook)), from_(from), to_(to) {
    prev_ = current_;
    current_ = this;
  }
  ~SliceShare() {
    current_ = prev_;
    PsetSliceHook(outer_);
  }
  SliceShare(const SliceShare&) = delete;
  SliceShare& operator=(const SliceShare&) = delete;

 private:
  // The fraction mapped through the shares in force, inner to outer, to the hook outside them.
  static bool Hook(double done) {
    for (const SliceShare* s = current_; s != nullptr; s = s->prev_) {
      if (done >= 0) done = s->from_ + (s->to_ - s->from_) * std::min(done, 1.0);
      if (s->outer_ != Hook) return s->outer_ == nullptr || s->outer_(done);
    }
    return true;
  }
  PSliceHook outer_;
  double from_, to_;
  SliceShare* prev_ = nullptr;
  static inline SliceShare* current_ = nullptr;
};

// Writes the pixels of a save: ims (turned by turn, when given) or the reader's picture, a row
// at a time where the writer takes rows, else whole. Pixels that are not square go square to
// a writer whose files keep no pixel shape; wb then tells the size written. The file's
// length, 0 on failure; *sourceFailed tells a failure already told by the source of the
// pixels (or the resampling, or a Stop).
long WritePixels(const char* path, const _ImgWriterInterface* w, _ImgWriteBuf* wb,
                 const _ImgStruct* ims, const POrient* turn, _ImgReader* ir, bool* sourceFailed) {
  *sourceFailed = false;
  const bool turned = ims != nullptr && turn != nullptr && !turn->IsNoop();
  const bool square = !KeepsPixelShape(w) && NonSquare(wb->pixAspect);
  // JPEG-HDR encodes the whole picture at once; every other encoding takes rows.
  const bool takesRows =
      w->WriteRows != nullptr && !(w == &IWInterfaceJPEG && wb->csp->dtype == IDTfloat);
  // The rows written: made as the writer asks for them, from ims (turned as they go) or the
  // reader, or from a whole picture made first.
  auto writeRows = [&](RowFeed* f) {
    // The rows come packed, at the size written.
    _ImgWriteBuf rwb = *wb;
    rwb.rowsize = wb->xres * PpixelSize(wb->csp);
    rwb.img = nullptr;
    const long n = WriteSafely(
        path, [&](const char* tmp) { return w->WriteRows(tmp, &rwb, RowFeed::Row, f); });
    *sourceFailed = f->Failed();
    return n;
  };
  if (takesRows && !square) {
    if (ims != nullptr) {
      ImageRows feed(ims, turned ? *turn : POrient());
      return writeRows(&feed);
    }
    if (PBandReader::Deliverable(ir->cs)) {
      ReaderRows feed(ir);
      if (feed.Begin()) return writeRows(&feed);
    }
  }
  // The whole picture: read, turned or made square first, each stage a share of the progress.
  const int stages = (turned || ims == nullptr ? 1 : 0) + (square ? 1 : 0);
  const double written = stages == 0 ? 0.0 : stages == 1 ? 0.5 : 0.6;
  _ImgStruct whole = {};
  const _ImgStruct* px = ims;
  if (turned) {
    // Turned a row at a time, giving way between rows as a writer that takes rows does.
    const SliceShare share(0, square ? 0.3 : written);
    POrient o = *turn;
    o.SetOrigSize(ims->xres, ims->yres);
    whole = _ImgStruct{o.GetWidth(), o.GetHeight(), ims->csp, 0, nullptr, nullptr};
    if (!PsaveFits(path, whole.xres, whole.yres, static_cast<size_t>(PpixelSize(ims->csp))) ||
        !PnewImage(&whole, 0)) {
      *sourceFailed = true;
      return 0;
    }
    ImageRows feed(ims, *turn);
    for (int y = 0; y < whole.yres; ++y)
      if (!RowFeed::Row(whole.img + static_cast<ptrdiff_t>(y) * whole.rowsize, y, &feed)) {
        PfreeImage(&whole);
        *sourceFailed = true;
        return 0;
      }
    px = &whole;
  } else if (ims == nullptr) {
    const SliceShare share(0, square ? 0.3 : written);
    if (!ReadWhole(ir, &whole)) {
      *sourceFailed = true;
      return 0;
    }
    px = &whole;
  }
  _ImgWriteBuf whb = *wb;
  _ImgStruct sq = {};
  if (square) {
    const SliceShare share(stages == 2 ? 0.3 : 0, written);
    const bool ok = Squared(path, px, wb->pixAspect, &sq);
    GiveBack(&whole);
    if (!ok) {
      *sourceFailed = true;
      return 0;
    }
    px = &sq;
    wb->xres = whb.xres = sq.xres;
    wb->yres = whb.yres = sq.yres;
    wb->pixAspect = whb.pixAspect = 1.0f;
  }
  const SliceShare share(written, 1);
  long n = 0;
  if (takesRows) {
    ImageRows feed(px, POrient());
    n = writeRows(&feed);
  } else {
    whb.rowsize = px->rowsize;
    whb.img = px->img;
    whb.csp = px->csp;
    n = WriteSafely(path, [&](const char* tmp) { return w->WriteImage(tmp, &whb); });
  }
  GiveBack(&whole);
  GiveBack(&sq);
  return n;
}

// path with its suffix replaced by suffix (a '.' added when it has none).
std::string WithSuffix(const std::string& path, const char* suffix) {
  const char* s = PgetSuffix(path.c_str());
  std::string out = path;
  if (s == nullptr) {
    if (out.empty() || out.back() != '.') out += '.';
  } else {
    out.resize(static_cast<size_t>(s - path.c_str()));
  }
  return out + suffix;
}

}  // namespace

const _ImgWriterInterface* PimageWriter(int i) {
  return i >= 0 && i < kImageWriterCount ? kWriters[i] : nullptr;
}

OSType PimageWriterType(int i) {
  return i >= 0 && i < kImageWriterCount ? kTypes[i] : 0;
}

std::string PsaveProposedName(const char* file, const char* suffix) {
  std::string name = file != nullptr && *file != '\0' ? file : "Untitled.";
  const char* s = PgetSuffix(name.c_str());
  if (s == nullptr) {
    if (name.back() != '.') name += '.';
    return name + suffix;
  }
  if (Cstrcasecmp(s, suffix) == 0) return name;
  name.resize(static_cast<size_t>(s - name.c_str()));
  return name + suffix;
}

long PwriteImageSafely(const char* path, const _ImgWriterInterface* w, const _ImgWriteBuf* wb) {
  if (path == nullptr || *path == '\0' || w == nullptr || wb == nullptr) return 0;
  return WriteSafely(path, [&](const char* tmp) { return w->WriteImage(tmp, wb); });
}

bool PsaveFits(const char* path, int64_t w, int64_t h, size_t bytesPerPixel) {
  char msg[300];
  if (PpictureFits(path, w, h, bytesPerPixel, msg, sizeof msg)) return true;
  DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "%s", msg);
  return false;
}

bool PsaveImageFile(DBRecord* dr, const _ImgStruct* ims, const char* path,
                    const _ImgWriterInterface* w, const POrient* turn) {
  if (dr == nullptr || path == nullptr || *path == '\0' || w == nullptr) return false;
  if (strlen(path) >= kPathLen) {
    DMESSAGE(DMCparameter, "Pathname too long");
    return false;
  }
  if (ims != nullptr && ims->img == nullptr) return false;
  ReaderPtr ir;
  const _ImgColorSpace* cs = SourceSpace(*dr, ims, &ir);
  if (cs == nullptr) return false;
  std::unique_ptr<_ImgWriteBuf> wb(new _ImgWriteBuf());
  if (ims != nullptr) {
    PsetWriteBuf(wb.get(), ims);
    if (turn != nullptr && !turn->IsNoop()) {
      POrient o = *turn;
      o.SetOrigSize(ims->xres, ims->yres);
      wb->xres = o.GetWidth();
      wb->yres = o.GetHeight();
    }
  } else {
    wb->xres = ir->xres;
    wb->yres = ir->yres;
    wb->pixAspect = ir->pixAspect;
    wb->csp = cs;
  }
  const float aspect = PsetInfo(&wb->info, *dr);
  // Pixels made in memory have the shape the record's densities give (a quarter turn swaps
  // them); within a percent of square they are square.
  if (ims != nullptr && std::isfinite(aspect) && aspect > 0 && std::fabs(aspect - 1.0f) > 0.01f)
    wb->pixAspect = aspect;
  if (!(wb->info.flags & IIFquality)) {
    wb->info.quality = 90;
    wb->info.flags |= IIFquality;
  }
  const char* desc = w->SupportedCS(cs, wb->info.quality);
  if (desc == nullptr) {
    DMESSAGE(DMCparameter, "Unsupported image format");
    return false;
  }
  // What a save killed in this folder before left behind goes before this one adds its own.
  PremoveStaleTemps(PfolderOf(path).c_str());
  DBRecord rec = *dr;  // the record changes only after a complete save
  const bool jpeg = IsJPEG(desc);
  bool copy = false;
  if (ims == nullptr) {
    const char* fmt = PDBgetString(rec, PDBFformat);
    if (fmt != nullptr && strcmp(fmt, desc) == 0) {
      if (!jpeg) {
        copy = true;
      } else if (ir->ri->GetInfo != nullptr) {
        // A JPEG is copied when re-encoding at the quality asked for cannot improve on it.
        std::unique_ptr<_ImgInfo> fi(new _ImgInfo());
        if (ir->ri->GetInfo(ir.get(), fi.get()) == IREnone && (fi->flags & IIFquality) &&
            wb->info.quality <= fi->quality) {
          copy = true;
          PDBsetInt(&rec, PDBFquality, fi->quality);
        }
      }
    }
  }
  // The writing gives way a slice at a time, under progress with its Stop once it takes a while.
  bool done = false, wrote = false, stopped = false, told = false;
  const int32_t xres = wb->xres, yres = wb->yres;  // as the pixels are given
  {
    PBusyGuard busy;
    char msg[300];
    snprintf(msg, sizeof msg, "Saving '%.250s'...", PgetFilename(path));
    PSliceRead slices(msg);
    if (copy) {
      done = copyFile(path, ir->file);
      told = true;  // copyFile tells its own failures
    } else {
      if (jpeg) PDBsetInt(&rec, PDBFquality, wb->info.quality);
      done = wrote = WritePixels(path, w, wb.get(), ims, turn, ir.get(), &told) > 0;
    }
    stopped = slices.Stopped();
  }
  // A Stop that came once the file was whole (as its memory was given back) is too late.
  if (stopped && !done) {
    gConfirmResponse = kResponseCancel;
    DMESSAGE(DMCtrace, "Save image cancelled");
    return false;
  }
  if (!done) {
    if (!told) DMESSAGE(DMCdata, "Error writing image '%s'", path);
    return false;
  }
  DMESSAGE(DMCinfo, "Image written to '%s'", path);
  if (wrote && (wb->xres != xres || wb->yres != yres)) {
    // Written with square pixels: the record describes them.
    float d;
    if (PDBgetFloat(rec, PDBFxdensity, &d) && xres > 0)
      PDBsetFloat(&rec, PDBFxdensity, static_cast<double>(d) * wb->xres / xres);
    if (PDBgetFloat(rec, PDBFydensity, &d) && yres > 0)
      PDBsetFloat(&rec, PDBFydensity, static_cast<double>(d) * wb->yres / yres);
    PDBsetInt(&rec, PDBFxsize, wb->xres);
    PDBsetInt(&rec, PDBFysize, wb->yres);
  }
  long v;
  if (wrote || !PDBgetInt(rec, PDBFhashval, &v) || !PDBgetInt(rec, PDBFnbytes, &v)) {
    long hash = 0, nbytes = 0;
    if (PhashFile(&hash, &nbytes, path)) {
      PDBsetInt(&rec, PDBFhashval, hash);
      PDBsetInt(&rec, PDBFnbytes, nbytes);
    }
  }
  PDBsetString(&rec, PDBFfile, PgetFilename(path));
  PDBsetString(&rec, PDBFlocation, PfolderOf(path).c_str());
  PDBsetString(&rec, PDBFformat, desc);
  struct stat st;
  if (stat(path, &st) == 0) PDBsetInt(&rec, PDBFmodtime, static_cast<long>(st.st_mtime));
  *dr = rec;
  return true;
}

bool saveImage(DBRecord* dr, const _ImgStruct* ims, const POrient* turn) {
  if (dr == nullptr) return false;
  ReaderPtr ir;
  const _ImgColorSpace* cs = SourceSpace(*dr, ims, &ir);
  if (cs == nullptr) return false;
  long quality = 90;
  PDBgetInt(*dr, PDBFquality, &quality);
  const char* desc[kImageWriterCount];
  int preferred = -1;
  const char* fmt = PDBgetString(*dr, PDBFformat);
  for (int i = 0; i < kImageWriterCount; ++i) {
    desc[i] = kWriters[i]->SupportedCS(cs, static_cast<int>(quality));
    if (desc[i] != nullptr && fmt != nullptr && strcmp(desc[i], fmt) == 0 && preferred < 0)
      preferred = i;
  }
  for (int i = 0; i < kImageWriterCount && preferred < 0; ++i)
    if (desc[i] != nullptr) preferred = i;
  if (preferred < 0) {
    DMESSAGE(DMCparameter, "Unsupported image format");
    return false;
  }
  ir.reset();  // the writing half opens the file again when it needs it

  // The format pop-up: the preferred format first, the others in writer order.
  std::vector<int> popup = {preferred};
  for (int i = 0; i < kImageWriterCount; ++i)
    if (i != preferred && desc[i] != nullptr) popup.push_back(i);
  PFileDialogSetup dlg;
  dlg.title = "Save Image";
  dlg.message = "Save image as";
  dlg.button = "Save";
  dlg.confirmReplace = true;
  for (int i : popup) dlg.formats.push_back(std::string(desc[i]) + " (" + kPatterns[i] + ")");
  dlg.format = 0;
  dlg.fileName = PsaveProposedName(PDBgetString(*dr, PDBFfile), kWriters[preferred]->suffix);
  OSType current = kTypes[preferred];
  dlg.formatChanged = [&popup, &current](int k, const std::string& typed) {
    if (k < 0 || k >= static_cast<int>(popup.size())) return typed;
    // The rewrite works on the suffix alone, so that a name of any length keeps its stem.
    const size_t dot = typed.rfind('.');
    NavCBRec cb;
    cb.format = kTypes[popup[static_cast<size_t>(k)]];
    const std::string tail = dot == std::string::npos ? std::string() : typed.substr(dot);
    if (tail.size() >= sizeof cb.name) return typed;
    snprintf(cb.name, sizeof cb.name, "%s", tail.c_str());
    navEventHandler(kNavCBPopupMenuSelect, &cb, &current);
    return dot == std::string::npos ? typed : typed.substr(0, dot) + cb.name;
  };
  std::vector<std::string> chosen;
  int chosenFormat = 0;
  const int r = PlatformSaveFile(dlg, &chosen, &chosenFormat);
  if (r == kFileDialogCancelled) {
    gConfirmResponse = kResponseCancel;
    DMESSAGE(DMCtrace, "Save image cancelled");
    return false;
  }
  NavReplyRecord nr;
  nr.validRecord = r == kFileDialogChosen;
  nr.selection = chosen;
  if (chosenFormat < 0 || chosenFormat >= static_cast<int>(popup.size())) chosenFormat = 0;
  const int wi = popup[static_cast<size_t>(chosenFormat)];
  char path[kPathLen];
  if (getNavPath(path, sizeof path, nr, nullptr, kTypes[wi], kDocCreator) == nullptr) {
    DMESSAGE(DMCwarning, "getNavPath returned NULL");
    return false;
  }
  const _ImgWriterInterface* w = kWriters[wi];

  // The suffix question, before anything is written.
  std::string final = path;
  const char* have = PgetSuffix(path);
  if (have == nullptr || Cstrcasecmp(have, w->suffix) != 0) {
    char dotted[16] = "";
    if (have != nullptr) snprintf(dotted, sizeof dotted, ".%.12s", have);
    char msg[160], but[32];
    snprintf(msg, sizeof msg, "Suffix '%s' does not match format -- use '.%s' instead?", dotted,
             w->suffix);
    snprintf(but, sizeof but, "Use %s", dotted);
    OSType answer = 0;
    for (int tries = 0; answer == 0 && tries < 100; ++tries)
      answer = confirmDialog(msg, but, kResponseOK);
    if (answer == kResponseOK) {
      final = WithSuffix(path, w->suffix);
      struct stat st;
      if (final.size() >= kPathLen) {
        DMESSAGE(DMCparameter, "Pathname too long");
        return false;
      }
      if (lstat(final.c_str(), &st) == 0) {
        // The corrected name is not the one the dialog asked about.
        std::string q =
            "'" + std::string(PgetFilename(final.c_str())) + "' already exists -- replace it?";
        OSType again = 0;
        for (int tries = 0; again == 0 && tries < 100; ++tries)
          again = confirmDialog(q.c_str(), nullptr, kResponseOK);
        if (again != kResponseOK) {
          gConfirmResponse = kResponseCancel;
          DMESSAGE(DMCtrace, "Save image cancelled");
          return false;
        }
      }
    } else if (answer != kResponseCustom) {
      gConfirmResponse = kResponseCancel;
      DMESSAGE(DMCtrace, "Save image cancelled");
      return false;
    }
  }
  return PsaveImageFile(dr, ims, final.c_str(), w, turn);
}
