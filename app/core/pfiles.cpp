// File helpers and the file dialogs.
#include "app/core/pfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "image/pireader.h"
#include "platform/pqt.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "support/pwork.h"
#include "support/replacefile.h"

namespace {

constexpr int kPathLen = 1024;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The absolute form of a path (relative to the working folder).
std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[kPathLen];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// The writer of an image document type, NULL for another type.
const _ImgWriterInterface* WriterOf(OSType typ) {
  switch (typ) {
    case kDocTIFF:
      return &IWInterfaceTIFF;
    case kDocJPEG:
      return &IWInterfaceJPEG;
    case kDocOpenEXR:
      return &IWInterfaceEXR;
    case kDocPicture:
      return &IWInterfaceRad;
    default:
      return nullptr;
  }
}

// The suffixes (lower case) a document type's files carry; empty for any.
std::vector<std::string> SuffixesOf(OSType typ) {
  switch (typ) {
    case kDocCatalog:
      return {"qdb"};
    case kDocText:
      return {"txt"};
    case kDocHTML:
      return {"html", "htm"};
    case kDocTIFF:
      return {"tif", "tiff"};
    case kDocJPEG:
      return {"jpg", "jpeg"};
    case kDocOpenEXR:
      return {"exr"};
    case kDocPicture:
      return {"hdr", "pic"};
    default:
      return {};
  }
}

bool HasSuffix(const std::string& path, const std::vector<std::string>& suffixes) {
  const char* s = PgetSuffix(path.c_str());
  if (s == nullptr) return false;
  for (const std::string& want : suffixes)
    if (Cstrcasecmp(s, want.c_str()) == 0) return true;
  return false;
}

// A cancelled dialog: 'not!' and a trace message.
void Cancelled(const char* what) {
  gConfirmResponse = kResponseCancel;
  DMESSAGE(DMCtrace, "%s cancelled", what);
}

// The reply of a platform dialog.
NavReplyRecord Reply(int result, std::vector<std::string> chosen) {
  NavReplyRecord nr;
  nr.validRecord = result == kFileDialogChosen;
  nr.selection = std::move(chosen);
  return nr;
}

// Why the file at path cannot stand for the record's picture when locating it: another name,
// and another size or content than recorded (what the locating refuses); empty when it can.
std::string NotThePicture(const char* path, const DBRecord& dr) {
  const std::string name = PgetFilename(path);
  const char* file = PDBgetString(dr, PDBFfile);
  if (file != nullptr && name == file) return std::string();  // the name sought
  long rlen = 0, rhash = 0;
  if (!PDBgetInt(dr, PDBFnbytes, &rlen) || !PDBgetInt(dr, PDBFhashval, &rhash))
    return std::string();  // nothing to tell another picture by
  long hash = 0, nbytes = 0;
  errno = 0;
  if (!PhashFile(&hash, &nbytes, path)) {
    const int err = errno;
    return "'" + name + "' cannot be read" + (err != 0 ? std::string(": ") + strerror(err) : "");
  }
  if (nbytes == rlen && hash == rhash) return std::string();
  std::vector<std::string> differ;
  if (nbytes != rlen)
    differ.push_back("size (" + std::to_string(nbytes) + " bytes, not " + std::to_string(rlen) +
                     ")");
  long rtime = 0;
  struct stat st;
  if (PDBgetInt(dr, PDBFmodtime, &rtime) && rtime != 0 && stat(path, &st) == 0 &&
      static_cast<long>(st.st_mtime) != rtime)
    differ.push_back("date");
  if (nbytes == rlen) differ.push_back("content");
  std::string which = differ[0];
  for (size_t i = 1; i < differ.size(); ++i)
    which += (i + 1 == differ.size() ? " and " : ", ") + differ[i];
  return "'" + name + "' is not the same picture: its " + which +
         (differ.size() == 1 ? " differs" : " differ");
}

}  // namespace

bool PLeftRecords::Named(const DBRecord& rec) {
  if (PnamesFile(rec)) return true;
  if (n_++ == 0) {
    const char* file = PDBgetString(rec, PDBFfile);
    first_ = file != nullptr ? file : "";
  }
  return false;
}

std::string PLeftRecords::Text() const {
  return n_ > 0 ? PleftText(command_, n_, first_.c_str()) : std::string();
}

void PLeftRecords::Tell() const {
  if (n_ > 0) DMESSAGE(DMCinput, "%s", Text().c_str());
}

bool linkFile(const char* dpath, const char* spath) {
  if (!DMASSERT(dpath != NULL) || !DMASSERT(spath != NULL)) return false;
  if (strcmp(dpath, spath) == 0) return true;
  struct stat ss, ds;
  if (stat(spath, &ss) != 0) {
    DMESSAGE(DMCresource, "Cannot link to missing file '%s'", spath);
    return false;
  }
  // Already the same file (also when spath is a link to dpath): nothing to do.
  if (stat(dpath, &ds) == 0 && SameFile(ss, ds)) return true;
  // The new name is made beside dpath and renamed over it, so that dpath stays whole when the
  // link cannot be made.
  const std::string tmp = PfreeNameBeside(dpath);
  if (tmp.empty() ||
      (link(spath, tmp.c_str()) != 0 && symlink(Absolute(spath).c_str(), tmp.c_str()) != 0)) {
    DMESSAGE(DMCsystem, "Cannot link '%s' to '%s'", dpath, spath);
    return false;
  }
  if (!PrenameTemp(tmp, dpath)) {
    DMESSAGE(DMCsystem, "Cannot replace '%s'", dpath);
    return false;
  }
  return true;
}

void tellCannotRead(const char* path, int err) {
  if (err == EISDIR || err == PEnotRegular)
    DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot open file '%s' for reading: %s", path,
                   PopenFailure(err).c_str());
  else
    DMESSAGE_ERRNO(DMCresource, err, "Cannot open file '%s' for reading", path);
}

bool copyFile(const char* dpath, const char* spath) {
  if (!DMASSERT(dpath != NULL) || !DMASSERT(spath != NULL)) return false;
  if (strcmp(dpath, spath) == 0) return true;
  // Only a regular file is read: a FIFO at the name (another user may leave one in a folder
  // others can write) would hold the copy, and the window, until someone wrote to it.
  struct stat ss = {}, ds = {};
  const int in = PopenRead(spath, &ss);
  if (in < 0) {
    tellCannotRead(spath, errno);
    return false;
  }
  if (stat(dpath, &ds) == 0 && SameFile(ss, ds)) {
    close(in);
    return true;  // one file under two names: copying would only destroy it
  }
  PWholeFile out(dpath);
  if (!out.IsOpen()) {
    close(in);
    DMESSAGE(DMCresource, "Cannot open file '%s' for writing", dpath);
    return false;
  }
  bool ok = true;
  static char block[65536];
  // A long copy gives way between blocks; a Stop there ends it, with nothing written.
  const double size = ss.st_size > 0 ? static_cast<double>(ss.st_size) : 0;
  double copied = 0;
  for (;;) {
    if (!PworkSlice(size > 0 ? copied / size : -1.0)) {
      close(in);
      return false;
    }
    const ssize_t n = read(in, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      DMESSAGE(DMCresource, "Read error on file '%s'", spath);
      ok = false;
      break;
    }
    if (!out.Write(block, static_cast<size_t>(n))) {
      DMESSAGE(DMCresource, "Write error on file '%s'", dpath);
      ok = false;
      break;
    }
    copied += static_cast<double>(n);
  }
  close(in);
  if (ok && (!out.Sync() || !out.Close())) {
    DMESSAGE(DMCresource, "Write error on file '%s'", dpath);
    ok = false;
  }
  if (ok && !out.Commit()) {
    DMESSAGE(DMCsystem, "Cannot replace '%s'", dpath);
    ok = false;
  }
  return ok;
}

bool getFspecFromPath(FSSpec* fs, const char* path) {
  if (fs == nullptr || path == nullptr || path[0] != '/') return false;
  const size_t n = strlen(path);
  struct stat st;
  if (n >= sizeof fs->path || stat(path, &st) != 0) return false;
  memcpy(fs->path, path, n + 1);
  fs->dev = st.st_dev;
  fs->ino = st.st_ino;
  return true;
}

char* getPathFromRef(char* buf, int len, const FSRef* ref) {
  if (buf == nullptr || len <= 0 || ref == nullptr) return nullptr;
  const size_t n = strnlen(ref->path, sizeof ref->path);
  if (n == 0 || n >= sizeof ref->path) return nullptr;
  if (ref->dev != 0 || ref->ino != 0) {
    // The reference names the file it was made for, not whatever lies at its path now.
    struct stat st;
    if (stat(ref->path, &st) != 0 || st.st_dev != ref->dev || st.st_ino != ref->ino) return nullptr;
  }
  if (n >= static_cast<size_t>(len)) return nullptr;
  memcpy(buf, ref->path, n + 1);
  return buf;
}

char* getNavPath(char* buf, int len, const NavReplyRecord& nr, FSRef* retRef, OSType ftype,
                 OSType) {
  if (!nr.validRecord) return nullptr;
  if (nr.selection.size() != 1) {
    DMESSAGE(DMCinput, "Multiple files/folders selected");
    return nullptr;
  }
  const std::string& path = nr.selection[0];
  if (path.empty() || path[0] != '/') {
    DMESSAGE(DMCparameter, "Unrecognized file/folder type");
    return nullptr;
  }
  FSRef ref;
  if (path.size() >= sizeof ref.path) {
    DMESSAGE(DMCparameter, "Pathname too long");
    return nullptr;
  }
  if (!getFspecFromPath(&ref, path.c_str())) {
    if (ftype == 0) {
      DMESSAGE(DMCsystem, "FSpMakeFSRef failed (code %d)", -43);
      return nullptr;
    }
    // A file to be made: it has a path but no identity yet. It is not made here; the caller
    // writes it whole.
    memcpy(ref.path, path.c_str(), path.size() + 1);
    ref.dev = 0;
    ref.ino = 0;
  }
  if (retRef) *retRef = ref;
  return getPathFromRef(buf, len, &ref);
}

char* chooseFolder(char* dpath, int dplen, FSRef* dref) {
  if (dpath == nullptr || dplen <= 0) return nullptr;
  PFileDialogSetup dlg;
  dlg.title = "Choose Folder";
  dlg.button = "Choose";
  std::vector<std::string> chosen;
  const int r = PlatformChooseFolder(dlg, &chosen);
  if (r == kFileDialogCancelled) {
    Cancelled("Choose folder");
    return nullptr;
  }
  if (getNavPath(dpath, dplen, Reply(r, chosen), dref, 0, 0) == nullptr) {
    DMESSAGE(DMCwarning, "getNavPath returned NULL");
    return nullptr;
  }
  return dpath;
}

bool imgFileFilter(const char* path, const DBRecord* dr) {
  if (path == nullptr) return false;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return true;  // folders and everything else are listed
  if (dr != nullptr) {
    const char* name = PgetFilename(path);
    const DBField& file = PDBgetField(*dr, PDBFfile);
    if (file.GetNV() > 0 && strcmp(name, file.GetString(0)) == 0) return true;
    const DBField& nbytes = PDBgetField(*dr, PDBFnbytes);
    const DBField& hashval = PDBgetField(*dr, PDBFhashval);
    if (nbytes.GetNV() < 1 || hashval.GetNV() < 1) return false;
    long hash = 0, size = 0;
    // The length as catalogues keep it: the low 32 bits, signed.
    if (static_cast<int32_t>(st.st_size) != static_cast<int32_t>(nbytes.GetInt(0))) return false;
    return PhashFile(&hash, &size, path) == 1 && hash == hashval.GetInt(0);
  }
  _ImgReader* ir = PopenImageF(path, 1, nullptr);
  if (ir == nullptr) return false;
  const bool ok = ir->errCode == IREnone;
  ir->ri->Close(ir);
  return ok;
}

bool chooseImage(char* fpath, int fplen, const DBRecord* dr) {
  if (fpath == nullptr || fplen <= 0) return false;
  PFileDialogSetup dlg;
  if (dr != nullptr) {
    const DBField& loc = PDBgetField(*dr, PDBFlocation);
    const char* folder = loc.GetNV() > 0 ? loc.GetString(0) : "";
    struct stat st;
    if (*folder != '\0' && stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) dlg.directory = folder;
    const DBField& file = PDBgetField(*dr, PDBFfile);
    std::string name = file.GetNV() > 0 ? file.GetString(0) : "";
    // No file has a longer name: a longer value (read from a record table, say) is cut
    // rather than laid out whole in the dialog.
    if (name.size() > 255) name = name.substr(0, 252) + "...";
    dlg.title = "Find Image";
    dlg.message = "Locate image '" + name + "'";
    const std::string seen = " last seen in '" + std::string(folder) + "'";
    if (*folder != '\0' && dlg.message.size() + seen.size() < 200) dlg.message += seen;
    dlg.button = "Choose";
  } else {
    dlg.title = "Open Image";
    dlg.message = "Choose image to open";
    dlg.button = "Open";
  }
  DBRecord copy;
  if (dr != nullptr) copy = *dr;  // the filter looks at a copy, not at the caller's record
  dlg.show = [dr, &copy](const std::string& path) {
    return imgFileFilter(path.c_str(), dr ? &copy : nullptr);
  };
  if (dr != nullptr)
    dlg.refuse = [&copy](const std::string& path) {
      std::string why = NotThePicture(path.c_str(), copy);
      if (!why.empty()) DMESSAGE(DMCinfo, "%s", why.c_str());
      return why;
    };
  std::vector<std::string> chosen;
  const int r = PlatformOpenFile(dlg, &chosen);
  if (r == kFileDialogCancelled) {
    Cancelled("Choose image");
    return false;
  }
  if (getNavPath(fpath, fplen, Reply(r, chosen), nullptr, 0, 0) == nullptr) {
    DMESSAGE(DMCwarning, "getNavPath returned NULL");
    return false;
  }
  return true;
}

int saveDialog(int (*savef)(const char* path, void* p), void* p, const char* cat, OSType typ,
               OSType cre) {
  if (savef == nullptr) return 0;
  if (cat == nullptr || *cat == '\0') cat = "File";
  PFileDialogSetup dlg;
  dlg.title = std::string("Save ") + cat;
  dlg.message = std::string("Save ") + cat + " as";
  dlg.button = "Save";
  dlg.confirmReplace = true;
  switch (typ) {
    case kDocCatalog:
      dlg.fileName = "Untitled.qdb";
      break;
    case kDocText:
      dlg.fileName = "Untitled.txt";
      break;
    case kDocHTML:
      dlg.fileName = "Untitled.html";
      break;
    default:
      if (const _ImgWriterInterface* w = WriterOf(typ))
        dlg.fileName = std::string("Untitled.") + w->suffix;
      else
        dlg.fileName = "Untitled";
      break;
  }
  std::vector<std::string> chosen;
  const int r = PlatformSaveFile(dlg, &chosen, nullptr);
  if (r == kFileDialogCancelled) {
    gConfirmResponse = kResponseCancel;
    DMESSAGE(DMCtrace, "Save %s cancelled", cat);
    return 0;
  }
  char path[kPathLen];
  if (getNavPath(path, sizeof path, Reply(r, chosen), nullptr, typ, cre) == nullptr) {
    DMESSAGE(DMCwarning, "getNavPath returned NULL");
    return 0;
  }
  return savef(path, p);
}

char* openDialog(char* fpath, int fplen, const char* cat, OSType typ, OSType cre) {
  if (fpath == nullptr || fplen <= 0) return nullptr;
  if (cat == nullptr || *cat == '\0') cat = "File";
  PFileDialogSetup dlg;
  dlg.title = std::string("Open ") + cat;
  dlg.message = dlg.title;
  dlg.button = "Open";
  if (typ != kDocAny && cre != kDocAny) {
    const std::vector<std::string> suffixes = SuffixesOf(typ);
    if (!suffixes.empty())
      dlg.show = [suffixes](const std::string& path) { return HasSuffix(path, suffixes); };
  }
  std::vector<std::string> chosen;
  const int r = PlatformOpenFile(dlg, &chosen);
  if (r == kFileDialogCancelled) {
    gConfirmResponse = kResponseCancel;
    DMESSAGE(DMCtrace, "Choose %s cancelled", cat);
    return nullptr;
  }
  if (getNavPath(fpath, fplen, Reply(r, chosen), nullptr, 0, 0) == nullptr) {
    DMESSAGE(DMCwarning, "getNavPath returned NULL");
    return nullptr;
  }
  return fpath;
}

int freshCatalog(const char* path, void*) {
  if (path == nullptr || *path == '\0' || gMain == nullptr) return 0;
  if (!gMain->OpenCatalog(path)) return 0;
  // The file is a whole empty catalogue before the question waits for its answer: a program
  // ended meanwhile leaves a catalogue any reader takes, not an empty file.
  if (!gMain->bc.SyncDB()) return 0;
  for (;;) {
    const OSType r =
        confirmDialog("Allow at most one catalog entry for each file?", "Multiple", kResponseOK);
    if (r == kResponseOK) {
      gMain->bc.SetUnique(true);
      break;
    }
    if (r == kResponseCustom) {
      gMain->bc.SetUnique(false);
      break;
    }
    // A cancel keeps the default; a dialog that cannot be shown counts as one.
    if (r == kResponseCancel || gInterfaceReady != 1) break;
  }
  // The new header reaches the disk whole, through the catalogue's journal.
  return gMain->bc.SyncDB() ? 1 : 0;
}

bool chooseCatalog() {
  if (!DMASSERT_AS(gMain != nullptr, "gMainContext != NULL")) return false;
  char path[kPathLen];
  if (openDialog(path, sizeof path, "Catalog", kDocCatalog, kDocCreator) == nullptr) return false;
  return gMain->OpenCatalog(path);
}

void newCatalog() {
  saveDialog(freshCatalog, nullptr, "Catalog", kDocCatalog, kDocCreator);
}

void navEventHandler(int cbSelector, NavCBRec* cbParams, void* od) {
  if (cbSelector != kNavCBPopupMenuSelect || cbParams == nullptr || od == nullptr) return;
  OSType* current = static_cast<OSType*>(od);
  if (cbParams->format == *current) return;
  *current = cbParams->format;
  char* name = cbParams->name;
  name[sizeof cbParams->name - 1] = '\0';
  char* dot = strrchr(name, '.');
  if (dot == nullptr) return;
  const _ImgWriterInterface* w = WriterOf(cbParams->format);
  if (w == nullptr) return;
  bool upper = true;
  for (const char* c = dot + 1; *c; ++c)
    if (Calpha(*c) && Clower(*c) == *c) upper = false;
  char suffix[sizeof w->suffix];
  size_t n = strnlen(w->suffix, sizeof w->suffix);
  for (size_t i = 0; i < n; ++i) {
    suffix[i] = upper ? Cupper(w->suffix[i]) : Clower(w->suffix[i]);
  }
  suffix[n] = '\0';
  const size_t room = sizeof cbParams->name - static_cast<size_t>(dot + 1 - name);
  snprintf(dot + 1, room, "%s", suffix);
}
