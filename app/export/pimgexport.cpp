// Image export: the chosen records' pictures as JPEG files in a folder, rendered at their crop,
// orientation and exposure, bounded to a standard size and optionally trimmed to an aspect.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pfiles.h"
#include "app/core/pdialogs.h"
#include "app/core/pslice.h"
#include "app/export/pexpriv.h"
#include "app/export/pforms.h"
#include "app/export/psafefile.h"
#include "app/export/ptrader.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "display/pdispimg.h"
#include "formats/jpegio.h"
#include "platform/pcontrol.h"
#include "support/cnumber.h"
#include "support/futil.h"
#include "support/pstrings.h"
#include "support/replacefile.h"
#include "toolkit/pctltext.h"

const int sizeTab[] = {256, 320, 512, 640, 720, 1024, 1280, 1920, 0};
int MaxISize = 0;

namespace {

bool Exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// The record's File without its suffix (at most 255 bytes), and never a path.
bool BaseName(char* out, size_t len, const DBRecord& rec) {
  const char* file = PDBgetField(rec, PDBFfile).GetString(0);
  if (file == nullptr || *file == '\0') return false;
  file = PgetFilename(file);
  size_t n = std::strlen(file);
  if (const char* dot = PgetSuffix(file)) n = static_cast<size_t>(dot - 1 - file);
  if (n == 0) return false;
  n = std::min(n, std::min<size_t>(255, len - 1));
  std::memcpy(out, file, n);
  out[n] = '\0';
  return true;
}

}  // namespace

ImgExporter::ImgExporter(const char* folder)
    : nextimage(0),
      maxwidth(0),
      maxheight(0),
      aspect(0),
      overwrite(false),
      saveHDR(false),
      pem(PEMDefault),
      qual(90) {
  imgdir[0] = '\0';
  SetFolder(folder);
}

bool ImgExporter::SetFolder(const char* folder) {
  if (folder == nullptr || *folder == '\0') return false;
  if (std::strlen(folder) >= sizeof imgdir - 16 || isdirectory(folder) != 1 ||
      access(folder, W_OK) != 0) {
    DMESSAGE(DMCresource, "Cannot write to directory '%s'", folder);
    return false;
  }
  std::snprintf(imgdir, sizeof imgdir, "%s", folder);
  // No trailing '/' (the names add their own), unless the folder is the root.
  for (size_t n = std::strlen(imgdir); n > 1 && imgdir[n - 1] == '/';) imgdir[--n] = '\0';
  PremoveStaleTemps(imgdir);
  // The first free number, when the numbers in use run unbroken from 1.
  char buf[1024];
  int n = 1;
  auto taken = [&](int k) {
    const char* p = mkFilename(buf, k);
    return p != nullptr && Exists(p);
  };
  while (n < (1 << 29) && taken(n)) n *= 2;
  int lo = n / 2;
  for (;;) {
    const int mid = lo + (n - lo) / 2;
    if (mid <= lo) break;
    if (!taken(mid))
      n = mid;
    else
      lo = mid;
  }
  nextimage = n;
  return true;
}

char* ImgExporter::mkFilename(char* buf, int n) const {
  if (buf == nullptr || imgdir[0] == '\0') return nullptr;
  const bool root = std::strcmp(imgdir, "/") == 0;
  const int len = std::snprintf(buf, 1024, "%s/img%04d.jpg", root ? "" : imgdir, n);
  return len > 0 && len < 1024 ? buf : nullptr;
}

bool ImgExporter::Export(const DBRecord& rec) {
  if (imgdir[0] == '\0' || !PnamesFile(rec)) return false;
  char path[1024];
  if (nextimage > 0) {
    if (mkFilename(path, nextimage++) == nullptr) return false;
  } else {
    char base[256];
    if (!BaseName(base, sizeof base, rec)) return false;
    const bool root = std::strcmp(imgdir, "/") == 0;
    if (std::snprintf(path, sizeof path, "%s%c%s.jpg", root ? "" : imgdir, '/', base) >=
        static_cast<int>(sizeof path))
      return false;
  }
  // Never over a file unasked, and never over the record's own file.
  if (Exists(path) && (!overwrite || isSelf(path, rec))) {
    DMESSAGE(DMCresource, "Destination file '%s' exists", path);
    return false;
  }
  PImageRing ring(rec, nullptr);
  if (!ring.Ready()) return false;
  ring.SetDisplaySpace(&ICS_sRGB, 32, 100);
  ring.SetExposureMode(pem);

  const int W = std::max(1, ring.ior.GetWidth()), H = std::max(1, ring.ior.GetHeight());
  double r = static_cast<double>(H) / W;
  if (aspect > 0.01f) r = r < 1 ? aspect : 1.0 / aspect;
  int w = maxwidth >= 1 && maxwidth < W ? maxwidth : W;
  int h = maxheight >= 1 && maxheight < H ? maxheight : H;
  if (h < w * r)
    w = static_cast<int>(h / r + 0.5);
  else
    h = static_cast<int>(w * r + 0.5);
  w = std::max(w, 1);
  h = std::max(h, 1);
  // The zoom that covers the whole output; the excess is cut evenly about the centre.
  if (static_cast<int64_t>(h) * W < static_cast<int64_t>(w) * H)
    ring.SetZoomRatio(w, W);
  else
    ring.SetZoomRatio(h, H);

  const DBField& qf = PDBgetField(rec, PDBFquality);
  const int srcQual = qf.GetNV() > 0 ? static_cast<int>(qf.GetInt(0)) : qual;
  const char* format = PDBgetField(rec, PDBFformat).GetString(0);
  if (format == nullptr || *format == '\0') format = "NO FORMAT";

  // An unedited JPEG at full size and no better quality than asked goes over as it is.
  const bool asItIs = srcQual <= qual && std::strncmp(format, "JPEG ", 5) == 0 &&
                      w == ring.GetOWidth() && h == ring.GetOHeight() && ring.MapIsNoop(saveHDR);
  // A picture whose pixels cannot be read (its load told why) is not exported, not even as a
  // copy of its file.
  if (ring.FirstFrameFailed()) return false;
  if (asItIs) {
    char src[1024];
    ring.CloseImage(false);
    if (PcurrentFile(src, sizeof src, rec) == nullptr || !PcopyReplace(path, src)) {
      DMESSAGE(DMCresource, "Error writing image '%s'", path);
      return false;
    }
    DMESSAGE(DMCinfo, "Image written to '%s'", path);
    return true;
  }

  // A large picture is read at about the size written, a slice at a time.
  PSliceRead slices(nullptr);
  _ImgStruct img = {};
  _ImgWriteBuf wb = {};
  if (!(saveHDR && (formatIsHDR(format) || ring.IsHDR()) &&
        loadHDRImage(ring, &img, maxwidth, maxheight, &wb, aspect))) {
    img = _ImgStruct{};
    img.xres = w;
    img.yres = h;
    img.csp = &ICS_sRGB;
    if (!ring.MapImage(&img, nullptr, nullptr)) {
      PfreeImage(&img);
      return false;
    }
    PsetWriteBuf(&wb, &img);
  }
  ring.CloseImage(false);
  wb.info.quality = qual;
  wb.info.flags |= IIFquality;
  const long size = IWInterfaceJPEG.WriteImage(path, &wb);
  PfreeImage(&img);
  if (size > 0) {
    DMESSAGE(DMCinfo, "Image written to '%s'", path);
    return true;
  }
  DMESSAGE(DMCresource, "Error writing image '%s'", path);
  return false;
}

ControlRef imgExportControl(int id) {
  return PcontrolOf(gImgExpWindow, kCmdExportImages, id);
}

int snap2size(int v) {
  const int* s = sizeTab;
  while (*s != 0 && *s + (*s >> 4) < v) s++;
  if (*s == 0 || *s - (*s >> 4) > v) return v;
  return *s;
}

bool isSelf(const char* path, const DBRecord& rec) {
  if (path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return false;
  const char* file = PDBgetField(rec, PDBFfile).GetString(0);
  if (file == nullptr || *file == '\0') return false;
  std::string folder(path, static_cast<size_t>(slash - path));
  if (folder.empty()) folder = "/";
  const DBField& loc = PDBgetField(rec, PDBFlocation);
  char own[1024];
  for (int i = 0; i < loc.GetNV(); i++) {
    const char* l = loc.GetString(i);
    if (l == nullptr) continue;
    // The record's name in one of its folders, byte for byte ...
    if (std::strcmp(slash + 1, file) == 0 && folder == l) return true;
    // ... or the same file under any name: through a link, the plain copy would truncate it.
    const bool root = std::strcmp(l, "/") == 0;
    if (std::snprintf(own, sizeof own, "%s/%s", root ? "" : l, file) <
            static_cast<int>(sizeof own) &&
        PsameFile(path, own))
      return true;
  }
  return false;
}

int exportImages() {
  PContext* pc = PexchangeContext(nullptr);
  if (pc == nullptr || pc->rdisp.GetSize() == 0) return 0;
  ABitMap chosen;
  PchooseRecords(pc, &chosen, nullptr, nullptr);
  const int total = PcountChosen(chosen);
  if (total == 1 && PconfirmAgain("Export 1 image?", nullptr, kResponseOK) == kResponseCancel)
    return 0;
  PBusyGuard busy;
  checkRecords(false, nullptr);
  char folder[1024];
  if (chooseFolder(folder, sizeof folder, nullptr) == nullptr) return 0;
  ImgExporter exp(folder);
  if (exp.GetFolder() == nullptr) return 0;

  static bool first = true;
  int setM = 0, clrM = 0;
  if (first) {
    PexposureOptionMasks(&setM, &clrM);
    MaxISize = GetControl32BitMaximum(imgExportControl(130));
    first = false;
  }
  const int ans = optionsDialog(gImgExpWindow, setM, clrM, true);
  if (ans < 0) {
    DMESSAGE(DMCtrace, "User cancelled image export");
    return 0;
  }
  exp.pem = (ans & 16 ? PEMauto : 0) | (ans & 32 ? PEMhuman : 0);
  exp.overwrite = (ans & 256) != 0;
  if (ans & 512) {
    if (exp.overwrite) exp.nextimage = 1;
  } else {
    exp.nextimage = 0;
  }
  exp.saveHDR = (ans & 1024) != 0;
  exp.qual = GetControlValue(imgExportControl(129));
  const int S = GetControlValue(imgExportControl(130));
  exp.maxwidth = exp.maxheight = S < MaxISize ? snap2size(S) : 0;
  // The typed aspect is checked before anything is written: a decimal comma would give
  // another shape than the one meant.
  exp.aspect = 0;
  char text[256] = "";
  ControlRef ac = imgExportControl(139);
  if (ac != nullptr && GetControlText(ac, text, sizeof text, false) != nullptr &&
      !PaspectOf(text, &exp.aspect)) {
    DMESSAGE(DMCinput,
             "The aspect is two numbers such as 4:3 or 1.85:1 with a point for decimals, not a "
             "comma: '%.60s'",
             text);
    return 0;
  }

  int done = 0, count = 0;
  bool stopped = false;
  char msg[300];
  // Each picture not exported is named in one alert at the end, a record whose File names no
  // file among them.
  PGatheredRefusals refused;
  for (int i = 0; i < pc->rdisp.GetSize() && !stopped; i++) {
    if (!chosen.Check(static_cast<unsigned long>(i))) continue;
    const DBRecord& rec = pc->rdisp.Get(i);
    const char* file = PDBgetString(rec, PDBFfile);
    if (!PnamesFile(rec)) {
      const std::string left = PleftText("Export Images", 1, file);
      refused.Item(
          [&] {
            DMESSAGE(DMCinput, "%s", left.c_str());
            return false;
          },
          left, left);
      done++;
      continue;
    }
    const std::string name = file;
    std::snprintf(msg, sizeof msg, "Exporting '%s'...", name.c_str());
    if (!reportProgress(msg, static_cast<int>(100LL * done / total))) {
      stopped = true;
      break;
    }
    {
      const PSliceSpan span(static_cast<int>(100LL * done / total),
                            static_cast<int>(100LL * (done + 1) / total));
      if (refused.Item([&] { return exp.Export(rec); }, name, "Cannot export '" + name + "'"))
        count++;
    }
    done++;
  }
  if (!stopped) reportProgress(nullptr, 100);
  PechoExported(count, total, stopped);
  refused.Tell(std::to_string(refused.Count()) + " of " + std::to_string(done) +
               " pictures were not exported:");
  return count;
}

void PexposureOptionMasks(int* setM, int* clrM) {
  *(PEMDefault & PEMauto ? setM : clrM) |= 16;
  *(PEMDefault & PEMhuman ? setM : clrM) |= 32;
}
