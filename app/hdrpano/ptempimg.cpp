// Temporary images written, shown and removed.
#include "app/hdrpano/ptempimg.h"

#include <memory>
#include <string>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/pimginfo.h"
#include "formats/tiffimg.h"
#include "platform/ptempfile.h"
#include "support/dmessage.h"
#include "support/futil.h"

bool PsaveTempImage(DBRecord* rec, const _ImgStruct* img) {
  if (rec == nullptr || img == nullptr || img->csp == nullptr) return false;
  std::unique_ptr<_ImgWriteBuf> wb(new _ImgWriteBuf());
  PsetWriteBuf(wb.get(), img);
  PsetInfo(&wb->info, *rec);
  wb->info.quality = 100;
  wb->info.flags |= IIFquality;
  const char* format = IWInterfaceTIFF.SupportedCS(img->csp, 100);
  if (format == nullptr) {
    DMESSAGE(DMCassert, "TIFF output format failure");
    return false;
  }
  PDBsetString(rec, PDBFformat, format);
  std::string why;
  const std::string path = MakeTempFile(kTempImage, ".tif", &why);
  if (path.empty()) {
    DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "%s", why.c_str());
    return false;
  }
  const long n = IWInterfaceTIFF.WriteImage(path.c_str(), wb.get());
  long hash = 0, nbytes = 0;
  if (n <= 0 || !PhashFile(&hash, &nbytes, path.c_str())) {
    // A write the user stopped is told by the command that stopped it.
    if (!PprogressStopped()) DMESSAGE(DMCdata, "Error writing temporary TIFF '%s'", path.c_str());
    RemoveTempFile(path);
    return false;
  }
  PDBsetInt(rec, PDBFnbytes, nbytes);  // as catalogues keep lengths
  PDBsetInt(rec, PDBFhashval, hash);
  const size_t slash = path.rfind('/');
  PDBsetString(rec, PDBFlocation, PfolderOf(path).c_str());
  PDBsetString(rec, PDBFfile, path.c_str() + slash + 1);
  const int id = PDBid(*rec, PDBFmodtime);
  if (id >= 0) rec->ClearField(id);
  return true;
}

void PremoveTempImage(const DBRecord& rec) {
  char path[1024];
  if (PcurrentFile(path, sizeof path, rec) == nullptr) return;
  if (!RemoveTempFile(path)) DMESSAGE(DMCwarning, "Cannot delete temp image '%s'", path);
}

bool PshowTempImage(const DBRecord& rec, const char* command) {
  if (gImager != nullptr && gImager->AddTempImage(rec)) return true;
  DMESSAGE(DMCdata, "AddImage failed in %s", command);
  PremoveTempImage(rec);
  return false;
}
