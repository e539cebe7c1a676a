// Cached images.
#include "catalog/picache.h"

#include <cstdlib>
#include <cstring>

#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "catalog/pimginfo.h"
#include "support/dmessage.h"
#include "support/membudget.h"

PCacheImage::PCacheImage() : irdr(nullptr), rdrMine(false), isrc(), myCS() {}

PCacheImage::~PCacheImage() {
  CloseImage();
}

void PCacheImage::HolderRelease() {
  CacheObject::HolderRelease();
}

bool PCacheImage::SetImage(_ImgReader* ir) {
  CloseImage();
  if (ir == nullptr) return false;
  irdr = ir;
  rdrMine = false;
  ircd.Init(&PDBFInfo);
  PgrokImage(&ircd, irdr);
  return true;
}

bool PCacheImage::SetImage(const char* path, bool quiet) {
  CloseImage();
  if (path == nullptr) return false;
  _ImgReader* ir = PopenImageF(path, quiet ? 1 : 0, nullptr);
  if (ir == nullptr) return false;
  irdr = ir;
  rdrMine = true;
  ircd.Init(&PDBFInfo);
  PgrokImage(&ircd, irdr);
  return true;
}

bool PCacheImage::SetImage(const DBRecord& r, bool quiet) {
  CloseImage();
  _ImgReader* ir = PopenImageD(r, quiet);
  if (ir == nullptr) return false;
  irdr = ir;
  rdrMine = true;
  ircd = r;
  if (!PDBgetField(ircd, PDBFxsize).IsSet()) PgrokImage(&ircd, irdr);
  return true;
}

bool PCacheImage::GetSubimage(_ImgStruct* dst, const _ImgRect* rect) {
  if (dst == nullptr || dst->csp == nullptr || irdr == nullptr) return false;
  _ImgRect whole = {0, irdr->xres, 0, irdr->yres};
  if (rect == nullptr) rect = &whole;
  if (isrc.csp == nullptr) {
    if (dst->csp->cstatic) {
      isrc.csp = dst->csp;
    } else {
      myCS = *dst->csp;
      myCS.cstatic = 0;
      isrc.csp = &myCS;
    }
  }
  void* mem = GetCacheObject();
  if (mem == nullptr) return false;
  if (dst->img != nullptr && dst->mbase == this) PfreeImage(dst);
  bool ok;
  if (dst->img == nullptr && dst->xres == rect->xright - rect->xleft &&
      dst->yres == rect->ybottom - rect->ytop && PmatchColorSpace(dst->csp, isrc.csp, 31)) {
    ok = PlinkSubimage(dst, &isrc, rect) != 0;
  } else {
    _ImgStruct view = {};
    ok = PlinkSubimage(&view, &isrc, rect) != 0 && PrenderImageI(dst, &view) != 0;
    PfreeImage(&view);
  }
  ReleaseObject(mem);
  return ok;
}

bool PCacheImage::RestoreMemory() {
  if (objCache != nullptr) return true;
  if (!DMASSERT(irdr != NULL) || !DMASSERT(isrc.csp != NULL)) return false;
  isrc.xres = irdr->xres;
  isrc.yres = irdr->yres;
  const int psiz = PpixelSize(isrc.csp);
  if (psiz <= 0 || isrc.xres < 1 || isrc.yres < 1) return false;
  const size_t row = static_cast<size_t>(isrc.xres) * static_cast<size_t>(psiz);
  if (row > static_cast<size_t>(INT32_MAX) || row > SIZE_MAX / static_cast<size_t>(isrc.yres)) {
    objSize = 0;
    return false;
  }
  isrc.rowsize = static_cast<int32_t>(row);
  objSize = row * static_cast<size_t>(isrc.yres);
  void* block = CacheMalloc(objSize, __FILE__, __LINE__);
  if (block == nullptr) {
    // Told by whoever wanted the pixels, in these words.
    irdr->errCode = IREmemory;
    PpictureTooLarge(irdr->file, isrc.xres, isrc.yres, static_cast<size_t>(psiz), irdr->errMsg,
                     sizeof irdr->errMsg);
    objSize = 0;
    return false;
  }
  DMESSAGE(DMCtrace, "Loading image '%s'", irdr->file);
  isrc.img = static_cast<uint8_t*>(block);
  isrc.mbase = nullptr;
  if (!PrenderImageR(&isrc, irdr, 1) || isrc.img != block) {
    if (isrc.img != block) PfreeImage(&isrc);
    std::free(block);
    isrc.img = nullptr;
    objSize = 0;
    return false;
  }
  isrc.mbase = this;
  objCache = block;
  return true;
}

void PCacheImage::FreeMemory() {
  if (objCache == nullptr || InUse()) return;
  if (!DMASSERT(objCache == (void*)isrc.img)) return;
  DMESSAGE(DMCtrace, "Unloading image '%s'", irdr != nullptr ? irdr->file : "");
  isrc.img = nullptr;
  isrc.mbase = nullptr;
  std::free(objCache);
  objCache = nullptr;
}

void PCacheImage::CloseImage() {
  isrc.csp = nullptr;
  if (irdr != nullptr) {
    DMASSERT(!InUse());
    FreeMemory();
    objSize = 0;
    if (rdrMine && irdr->ri != nullptr && irdr->ri->Close != nullptr) irdr->ri->Close(irdr);
    irdr = nullptr;
  }
  ircd.Init();
}
