// Saving an image to a file the user chooses.
#include "app/image/psaveimg.h"

#include <fcntl.h>
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
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "platform/pqt.h"
#include "support/cache.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/replacefile.h"

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

// The folder part of path ("/" for a file at the root, "." without a folder).
std::string FolderOf(const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, static_cast<size_t>(slash - path));
}

// Reads the reader's whole image at full size in its own colour space.
bool ReadWhole(_ImgReader* ir, _ImgStruct* img) {
  *img = _ImgStruct{};
  if (ir->ri == nullptr || ir->ri->ReadRec == nullptr || ir->xres < 1 || ir->yres < 1) {
    ir->errCode = IREunsupported;
    PreportReaderErr(ir);
    return false;
  }
  _ImgColorSpace cs = ir->cs;
  cs.cstatic = 0;
  img->xres = ir->xres;
  img->yres = ir->yres;
  img->csp = &cs;
  if (!PnewImage(img, 0)) {
    img->csp = nullptr;
    return false;
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
  const mode_t mode = PnewFileMode(path);
  std::string tmp;
  int fd = PtempBeside(path, &tmp, mode);
  if (fd < 0) return 0;
  close(fd);
  // The writer replaces the empty temporary file with the whole image.
  long n = w->WriteImage(tmp.c_str(), wb);
  bool ok = n > 0;
  if (ok) {
    fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd, mode) == 0 &&
         fsync(fd) == 0;
    if (ok) n = static_cast<long>(st.st_size);
    if (fd >= 0 && close(fd) != 0) ok = false;
  }
  if (!ok) {
    PdiscardTemp(tmp);
    return 0;
  }
  return PrenameTemp(tmp, path) ? n : 0;
}

bool PsaveImageFile(DBRecord* dr, const _ImgStruct* ims, const char* path,
                    const _ImgWriterInterface* w) {
  if (dr == nullptr || path == nullptr || *path == '\0' || w == nullptr) return false;
  if (strlen(path) >= kPathLen) {
    DMESSAGE(DMCparameter, "Pathname too long");
    return false;
  }
  ReaderPtr ir;
  const _ImgColorSpace* cs = SourceSpace(*dr, ims, &ir);
  if (cs == nullptr) return false;
  std::unique_ptr<_ImgWriteBuf> wb(new _ImgWriteBuf());
  if (ims != nullptr) {
    PsetWriteBuf(wb.get(), ims);
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
  PremoveStaleTemps(FolderOf(path).c_str());
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
  bool wrote = false;
  if (copy) {
    if (!copyFile(path, ir->file)) return false;
  } else {
    _ImgStruct whole = {};
    if (ims == nullptr) {
      if (!ReadWhole(ir.get(), &whole)) return false;
      wb->rowsize = whole.rowsize;
      wb->img = whole.img;
      wb->csp = whole.csp;
    }
    if (jpeg) PDBsetInt(&rec, PDBFquality, wb->info.quality);
    const long n = PwriteImageSafely(path, w, wb.get());
    PfreeImage(&whole);
    if (n <= 0) {
      DMESSAGE(DMCdata, "Error writing image '%s'", path);
      return false;
    }
    wrote = true;
  }
  DMESSAGE(DMCinfo, "Image written to '%s'", path);
  long v;
  if (wrote || !PDBgetInt(rec, PDBFhashval, &v) || !PDBgetInt(rec, PDBFnbytes, &v)) {
    long hash = 0, nbytes = 0;
    if (PhashFile(&hash, &nbytes, path)) {
      PDBsetInt(&rec, PDBFhashval, hash);
      PDBsetInt(&rec, PDBFnbytes, nbytes);
    }
  }
  PDBsetString(&rec, PDBFfile, PgetFilename(path));
  PDBsetString(&rec, PDBFlocation, FolderOf(path).c_str());
  PDBsetString(&rec, PDBFformat, desc);
  struct stat st;
  if (stat(path, &st) == 0) PDBsetInt(&rec, PDBFmodtime, static_cast<long>(st.st_mtime));
  *dr = rec;
  return true;
}

bool saveImage(DBRecord* dr, const _ImgStruct* ims) {
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
  PFileDialogSpec dlg;
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
  return PsaveImageFile(dr, ims, final.c_str(), w);
}
