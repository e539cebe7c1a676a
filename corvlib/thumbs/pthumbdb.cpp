// The thumbnail database's schema and header, the sheet being filled and sheets read back.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "thumbs/pthumb.h"
#include "formats/jpegio.h"
#include "support/dmessage.h"
#include "image/piresamp.h"
#include "db/dbhlink.h"
#include "support/chain.h"
#include "support/replacefile.h"

const char CorvaneThumbnailDBFile[] = "tncache.qdb";
const char CorvaneThumbnailerName[] = "Corvane Thumbnailer";

namespace {

// The placeholder: a framed landscape (sky, sun, hill) in greys.
struct Icon {
  unsigned char d[PThumbIconWidth * PThumbIconWidth];
  constexpr Icon() : d() {
    const int w = PThumbIconWidth;
    for (int y = 0; y < w; y++)
      for (int x = 0; x < w; x++) {
        unsigned char v = 210;                                        // sky
        if ((x - 56) * (x - 56) + (y - 24) * (y - 24) < 64) v = 245;  // sun
        if (y > 58 - (x < 34 ? x : 68 - x) / 2 && y > 44) v = 140;    // hill
        if (y > 62) v = 120;                                          // ground
        if (x < 4 || y < 4 || x >= w - 4 || y >= w - 4) v = 90;       // frame
        d[y * w + x] = v;
      }
  }
};
constexpr Icon kIcon;

}  // namespace

const unsigned char* const PThumbIconData = kIcon.d;

PTDBFieldInfo::PTDBFieldInfo() {
  const struct {
    const char* name;
    const char* descrip;
    int flags;
  } fields[PTDBFend] = {{"NBytes", "Original image size (bytes)", 0x1800},
                        {"HashVal", "Original hash value", 0x1800},
                        {"ImageID", "Contact image ID", 0x800},
                        {"ImageBytes", "Contact image subsize (bytes)", 0x800},
                        {"Rectangle", "Contact image subregion", 0x801},
                        {"LastUse", "Time at last usage", 0x800}};
  for (int i = 0; i < PTDBFend; i++)
    if (Field(fields[i].name, DBDTint, fields[i].descrip, fields[i].flags) != i)
      DMESSAGE(DMCassert, "Enumeration error in PTDBFieldInfo");
}

const PTDBFieldInfo PTDBFInfo;

int PTDBHeader::CheckValues() const {
  if (strcmp(soft, CorvaneThumbnailerName) != 0) return 0;
  int map[DB_MAXFIELDS];
  MapIDs(map, &PTDBFInfo);
  for (int i = 0; i < PTDBFInfo.GetNFields(); i++)
    if (map[i] < 0) return 0;
  return DBHeader::CheckValues();
}

void PTDBHeader::SetDefaults() {
  DBHeader::SetDefaults();
  DBHeaderLink* sw = hvars->FindVar("Software");
  while (sw != nullptr && sw->NSet() > 0) sw->DeleteSVal(0);
  hvars->SetVal(soft, CorvaneThumbnailerName);
  static_cast<DBFieldInfo&>(*this) = PTDBFInfo;
}

// ---------------------------------------------------------------------------------------------

PThumbImage::PThumbImage()
    : tnCS(ICS_sRGB), ncols(1), nrows(1), colwidth(0), rowheight(0), img(nullptr), nextSlot(0) {
  tnCS.cstatic = 0;
}

PThumbImage::~PThumbImage() {
  std::free(img);
}

void PThumbImage::ClearImage() {
  const size_t oldBytes = static_cast<size_t>(ncols) * colwidth * 3 * nrows * rowheight;
  ncols = PThumbNCols;
  nrows = PThumbNRows;
  colwidth = rowheight = PBigThumbWidth;
  const size_t bytes = static_cast<size_t>(ncols) * colwidth * 3 * nrows * rowheight;
  if (img == nullptr || bytes != oldBytes) {
    std::free(img);
    img = static_cast<unsigned char*>(std::malloc(bytes));
    if (img == nullptr) DMESSAGE(DMCmemory, "Cannot allocate contact sheet");
  }
  if (img != nullptr) memset(img, 127, bytes);
  nextSlot = 0;
}

bool PThumbImage::AddThumb(_ImgStruct* thumb, long* rect, _ImgReader* ir) {
  if (IsFull() || rect == nullptr || ir == nullptr) return false;
  if (img == nullptr || colwidth < 1) ClearImage();
  if (img == nullptr) return false;
  const int column = nextSlot % ncols, row = nextSlot / ncols;
  const int left = column * colwidth, top = row * rowheight;
  const int32_t rowbytes = ncols * colwidth * 3;
  // The cell viewed as an image over the sheet's rows. The sheet stays sRGB: a reader's
  // other primaries are converted into it, so no cell recolours another and the sheet's
  // label holds for every cell. The label is the static sRGB, which a conversion may put on
  // the cell's own pixels (a transient copy could not outlive them, and the picture would be
  // converted into new ones).
  _ImgStruct cell = {};
  cell.xres = colwidth;
  cell.yres = rowheight;
  cell.csp = &ICS_sRGB;
  cell.rowsize = rowbytes;
  cell.img = img + static_cast<ptrdiff_t>(top) * rowbytes + static_cast<ptrdiff_t>(left) * 3;
  uint8_t* const start = cell.img;
  if (!PrenderImageR(&cell, ir, 1)) return false;
  if (cell.img != start) {  // rendered into pixels of its own: never left behind
    PfreeImage(&cell);
    DMESSAGE(DMCwarning, "%s: thumbnail not rendered into its sheet", ir->file);
    return false;
  }
  rect[0] = left;
  rect[1] = top;
  rect[2] = left + cell.xres;
  rect[3] = top + cell.yres;
  nextSlot++;
  return thumb == nullptr || PrenderImageI(thumb, &cell) != 0;
}

bool PThumbImage::GetThumb(_ImgStruct* thumb, const long* rect) const {
  if (img == nullptr || rect == nullptr || thumb == nullptr) return false;
  const long w = static_cast<long>(ncols) * colwidth, h = static_cast<long>(nrows) * rowheight;
  if (!(0 <= rect[0] && rect[0] < rect[2] && rect[2] <= w && 0 <= rect[1] && rect[1] < rect[3] &&
        rect[3] <= h))
    return false;
  _ImgStruct view = {};
  view.xres = static_cast<int32_t>(rect[2] - rect[0]);
  view.yres = static_cast<int32_t>(rect[3] - rect[1]);
  view.csp = &tnCS;
  view.rowsize = static_cast<int32_t>(w * 3);
  view.img = img + rect[1] * w * 3 + rect[0] * 3;
  return PrenderImageI(thumb, &view) != 0;
}

void PThumbImage::KeepCells(const std::vector<int>& cells) {
  if (img == nullptr) return;
  const size_t rowbytes = static_cast<size_t>(ncols) * colwidth * 3;
  const size_t cellbytes = static_cast<size_t>(colwidth) * 3;
  auto corner = [&](int n) {
    return img + static_cast<size_t>(n / ncols) * rowheight * rowbytes +
           static_cast<size_t>(n % ncols) * cellbytes;
  };
  int slot = 0;
  for (const int from : cells) {
    if (from < slot || from >= nextSlot) continue;  // not a filled cell at or after its place
    if (from != slot)
      for (int y = 0; y < rowheight; y++)
        memcpy(corner(slot) + y * rowbytes, corner(from) + y * rowbytes, cellbytes);
    slot++;
  }
  for (int n = slot; n < nextSlot; n++)
    for (int y = 0; y < rowheight; y++) memset(corner(n) + y * rowbytes, 127, cellbytes);
  nextSlot = slot;
}

int PThumbImage::CellOf(const long* rect) const {
  if (rect == nullptr || colwidth < 1 || rowheight < 1 || rect[0] < 0 || rect[1] < 0 ||
      rect[0] % colwidth != 0 || rect[1] % rowheight != 0)
    return -1;
  const long column = rect[0] / colwidth, row = rect[1] / rowheight;
  if (column >= ncols || row >= nrows) return -1;
  const int n = static_cast<int>(row * ncols + column);
  return n < nextSlot ? n : -1;
}

long PThumbImage::WriteImage(const char* path) const {
  if (img == nullptr || path == nullptr) return 0;
  _ImgWriteBuf wb = {};
  wb.xres = ncols * colwidth;
  wb.yres = nrows * rowheight;
  wb.rowsize = wb.xres * 3;
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_sRGB;
  wb.info.flags = IIFquality;
  wb.info.quality = 75;
  wb.img = img;
  // A sheet shows the user's pictures: private, whatever the umask.
  const PprivateFiles mine;
  return IWInterfaceJPEG.WriteImage(path, &wb);
}

// ---------------------------------------------------------------------------------------------

uint64_t PThumbList::reads = 0;

PThumbList::PThumbList(int32_t sheet, const char* dir, int reduction)
    : imgID(sheet), cdir(dir), denom(reduction), oWidth(0), oHeight(0), next(nullptr) {}

PThumbList::~PThumbList() {
  DeleteChain(next, &PThumbList::next);
  if (objCache != nullptr && !InUse()) {
    std::free(objCache);
    objCache = nullptr;
  }
}

bool PThumbList::RestoreMemory() {
  if (objCache != nullptr) return true;
  char path[1100];
  snprintf(path, sizeof(path), "%s%cC%09d.jpg", cdir != nullptr ? cdir : "", '/',
           static_cast<int>(imgID));
  reads++;
  struct stat st;
  fileBytes = stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  _ImgReader* ir = PopenImageF(path, 1, &IRInterfaceJPEG);
  if (ir == nullptr) return false;
  if (ir->pixAspect < 0.98f || ir->pixAspect > 1.02f || ir->xres / denom < 1 ||
      ir->yres / denom < 1) {
    ir->ri->Close(ir);
    return false;
  }
  oWidth = ir->xres;
  oHeight = ir->yres;
  _ImgStruct im = {};
  im.xres = oWidth / denom;
  im.yres = oHeight / denom;
  im.csp = &ICS_sRGB;
  im.rowsize = im.xres * 3;
  const size_t bytes = static_cast<size_t>(im.rowsize) * static_cast<size_t>(im.yres);
  void* block = CacheMalloc(bytes, __FILE__, __LINE__);
  if (block == nullptr) {
    objSize = 0;
    ir->ri->Close(ir);
    return false;
  }
  im.img = static_cast<uint8_t*>(block);
  const bool ok = PrenderImageR(&im, ir, 1) != 0 && im.img == block && im.xres == oWidth / denom &&
                  im.yres == oHeight / denom;
  ir->ri->Close(ir);
  if (!ok) {
    std::free(block);
    objSize = 0;
    return false;
  }
  objSize = bytes;
  objCache = block;
  return true;
}

void PThumbList::FreeMemory() {
  if (objCache == nullptr || InUse()) return;
  std::free(objCache);
  objCache = nullptr;
}

bool PThumbShareFits(int64_t share, int64_t n) {
  if (share < 1 || n < 1) return false;
  for (int64_t k = 1; k <= PThumbNCols * PThumbNRows; k++)
    if (share == n / k || share == n / k + n % k) return true;
  return false;
}

bool PThumbList::GetThumb(_ImgStruct* thumb, const long* rect) {
  misfit = false;
  if (thumb == nullptr || rect == nullptr) return false;
  void* mem = GetCacheObject();
  if (mem == nullptr) return false;
  // A file that is not the sheet the record was written with holds other pictures.
  if (share != -1 && !PThumbShareFits(share, fileBytes)) {
    misfit = true;
    ReleaseObject(mem);
    return false;
  }
  if (!(0 <= rect[0] && rect[0] < rect[2] && rect[2] <= oWidth && 0 <= rect[1] &&
        rect[1] < rect[3] && rect[3] <= oHeight)) {
    ReleaseObject(mem);
    return false;
  }
  const int rw = oWidth / denom, rh = oHeight / denom;
  if (rect[0] % denom != 0 || rect[1] % denom != 0 || rect[2] % denom != 0 ||
      rect[3] % denom != 0) {
    const bool ok = GetPartialThumb(thumb, rect, static_cast<const uint8_t*>(mem));
    ReleaseObject(mem);
    return ok;
  }
  // The reduced sheet may be short of a pixel where the sheet is no multiple of the
  // reduction: the view is kept inside it.
  int x0 = static_cast<int>(rect[0] / denom), y0 = static_cast<int>(rect[1] / denom);
  int w = static_cast<int>((rect[2] - rect[0]) / denom),
      h = static_cast<int>((rect[3] - rect[1]) / denom);
  if (w < 1) w = 1;
  if (h < 1) h = 1;
  if (x0 > rw - 1) x0 = rw - 1;
  if (y0 > rh - 1) y0 = rh - 1;
  if (x0 + w > rw) w = rw - x0;
  if (y0 + h > rh) h = rh - y0;
  _ImgStruct view = {};
  view.xres = w;
  view.yres = h;
  view.csp = &ICS_sRGB;
  view.rowsize = rw * 3;
  view.img = static_cast<uint8_t*>(mem) + static_cast<ptrdiff_t>(y0) * view.rowsize +
             static_cast<ptrdiff_t>(x0) * 3;
  const bool ok = PrenderImageI(thumb, &view) != 0;
  ReleaseObject(mem);
  return ok;
}

bool PThumbList::GetPartialThumb(_ImgStruct* thumb, const long* rect, const uint8_t* sheet) const {
  // The reduced pixels that touch the cell, the partial ones at its edges included; the cell
  // spans a fractional part of them, which is resampled to the thumbnail's size.
  const int rw = oWidth / denom, rh = oHeight / denom;
  const long d = denom;
  int x0 = static_cast<int>(rect[0] / d), y0 = static_cast<int>(rect[1] / d);
  int x1 = static_cast<int>((rect[2] + d - 1) / d), y1 = static_cast<int>((rect[3] + d - 1) / d);
  if (x0 > rw - 1) x0 = rw - 1;
  if (y0 > rh - 1) y0 = rh - 1;
  if (x1 > rw) x1 = rw;
  if (y1 > rh) y1 = rh;
  if (x1 <= x0) x1 = x0 + 1;
  if (y1 <= y0) y1 = y0 + 1;
  _ImgStruct cover = {};
  cover.xres = x1 - x0;
  cover.yres = y1 - y0;
  cover.csp = &ICS_sRGB;
  cover.rowsize = rw * 3;
  cover.img = const_cast<uint8_t*>(sheet) + static_cast<ptrdiff_t>(y0) * cover.rowsize +
              static_cast<ptrdiff_t>(x0) * 3;
  const double lx = static_cast<double>(rect[2] - rect[0]) / d,
               ly = static_cast<double>(rect[3] - rect[1]) / d;
  if (thumb->csp == nullptr) return false;
  if (thumb->xres < 1 || thumb->yres < 1) {
    DMESSAGE(DMCparameter, "Illegal output resolution");
    return false;
  }
  if (!PnewImage(thumb, ly / lx)) return false;
  const _ImgSpan span = {static_cast<double>(rect[0]) / d - x0,
                         static_cast<double>(rect[1]) / d - y0, lx, ly};
  return PsizeImageSpan(thumb, &cover, span, 1) != 0;
}
