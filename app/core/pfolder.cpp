// Folder scanning, loading and opened documents.
#include "app/core/pfolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pprefs.h"
#include "app/core/pprogfolders.h"
#include "app/core/pseam.h"
#include "catalog/pfileinfo.h"
#include "image/pireader.h"
#include "platform/pdocuments.h"
#include "platform/pfolders.h"
#include "platform/pwindow.h"
#include "support/cnumber.h"
#include "support/dmessage.h"

PFolderReader gFolderReader = {opendir, readdir, closedir};

namespace {

constexpr int kBatch = 64;       // entries fetched at a time
constexpr size_t kMaxDir = 900;  // longest folder path scanned

struct Entry {
  char name[256];
  unsigned char type;
  ino_t ino;
};

bool Hidden(const char* name) {
  return name[0] == '\0' || name[0] == '.';
}

void SetRef(FSRef* ref, const char* path, const struct stat& st) {
  snprintf(ref->path, sizeof ref->path, "%s", path);
  ref->dev = st.st_dev;
  ref->ino = st.st_ino;
}

// Fills fs for one listed entry of the folder dpath (its reference dref); false when the entry
// is to be skipped. An entry whose path is too long for fs is counted in *tooLong.
bool Describe(PFileSpec* fs, const char* dpath, const FSRef* dref, const Entry& e, int* tooLong) {
  memcpy(fs->fname, e.name, sizeof fs->fname);
  fs->isFolder = false;
  fs->isAlias = false;
  const size_t dlen = strlen(dpath);
  const bool slash = dlen > 0 && dpath[dlen - 1] == '/';
  const int n = snprintf(fs->fpath, sizeof fs->fpath, "%s%s%s", dpath, slash ? "" : "/", e.name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof fs->fpath) {
    // A cut path could name another file: the entry is left out.
    DMESSAGE(DMCwarning, "Path too long for '%s' in folder '%s'", e.name, dpath);
    if (tooLong != nullptr) ++*tooLong;
    return false;
  }
  if (e.type == DT_REG) {
    // A plain file of this folder's file system: its reference needs no look-up.
    snprintf(fs->fref.path, sizeof fs->fref.path, "%s", fs->fpath);
    fs->fref.dev = dref->dev;
    fs->fref.ino = e.ino;
    return true;
  }
  struct stat st;
  if (lstat(fs->fpath, &st) != 0) return false;  // gone meanwhile
  if (S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    struct stat ts;
    if (realpath(fs->fpath, target) == nullptr || stat(target, &ts) != 0) {
      // A link that leads nowhere counts as a plain file (no reader opens it).
      SetRef(&fs->fref, fs->fpath, st);
      return true;
    }
    const size_t tlen = strlen(target);
    if (tlen >= sizeof fs->fpath) return false;
    fs->isAlias = true;
    fs->isFolder = S_ISDIR(ts.st_mode);
    memcpy(fs->fpath, target, tlen + 1);
    SetRef(&fs->fref, target, ts);
    return true;
  }
  fs->isFolder = S_ISDIR(st.st_mode);
  SetRef(&fs->fref, fs->fpath, st);
  return true;
}

// A reader that opened path cleanly, or NULL; for a link, the readers named by the link's own
// suffix are tried as well.
_ImgReader* OpenImage(const PFileSpec* fs) {
  _ImgReader* ir = PopenImageF(fs->fpath, 1, nullptr);
  if (ir != nullptr && ir->errCode != IREnone) {
    ir->ri->Close(ir);
    ir = nullptr;
  }
  if (ir != nullptr || !fs->isAlias) return ir;
  const char* suffix = PgetSuffix(fs->fname);
  if (suffix == nullptr) return nullptr;
  const _ImgReaderInterface* list[IR_MAXREADERS + 1];
  for (int i = PtargetReader(list, suffix); i-- > 0;) {
    ir = PopenImageF(fs->fpath, 1, list[i]);
    if (ir == nullptr) continue;
    if (ir->errCode == IREnone) return ir;
    ir->ri->Close(ir);
  }
  return nullptr;
}

// What loadFolder keeps while it scans.
struct LoadState {
  const char* path;
  IBrowser* browser;
  int slots;      // cells of the browser's first screen; 0: no grid
  bool drawn;     // the first screen has been drawn during the load
  double start;   // platform clock at the start
  int total;      // entries of the folder, counted once progress is shown; -1 before
  int seen;       // entries handed to the callback
  bool progress;  // the progress window is up
  bool stopped;   // stopped part way: by its Stop, a quit or a signal
};

constexpr double kProgressAfter = 1.0;  // seconds before a long load shows its progress

bool LoadFile(const PFileSpec* fs, void* p) {
  LoadState* st = static_cast<LoadState*>(p);
  grokImageRecord(fs, nullptr);
  ++st->seen;
  if (gMain == nullptr) return false;
  if (PquitDeferred() || PquitRequested()) {
    st->stopped = true;
    return false;
  }
  // A screenful of thumbnails before the rest of the folder.
  if (!st->drawn && st->slots > 0 && gMain->bc.rdisp.GetSize() >= st->slots) {
    st->drawn = true;
    if (st->browser && st->browser->IsShown()) {
      st->browser->Redraw();
      DMESSAGE(DMCtrace, "First %d images of '%s' shown after %.3f s", st->slots, st->path,
               GetCurrentEventTime() - st->start);
    }
  }
  if (!st->progress && GetCurrentEventTime() - st->start > kProgressAfter) {
    st->total = scanFolder(st->path, nullptr, nullptr, nullptr, nullptr);
    st->progress = st->total > 0;
    if (st->progress) reportProgress("Loading folder...", 0);
  }
  if (st->progress) {
    int pct = st->total > 0 ? static_cast<int>(100LL * st->seen / st->total) : 0;
    pct = pct < 1 ? 1 : pct > 99 ? 99 : pct;
    if (!reportProgress("Loading folder...", pct)) {
      st->stopped = true;
      return false;
    }
  }
  return true;
}

}  // namespace

int scanFolder(const char* dpath, const FSRef* dref, PScanCallback dofile, PScanCallback dofldr,
               void* p) {
  return scanFolder(dpath, dref, dofile, dofldr, p, nullptr);
}

int scanFolder(const char* dpath, const FSRef* dref, PScanCallback dofile, PScanCallback dofldr,
               void* p, int* tooLong) {
  if (dpath == nullptr || *dpath == '\0' || strlen(dpath) >= kMaxDir) return -1;
  FSRef own;
  if (dref == nullptr) {
    if (!getFspecFromPath(&own, dpath)) return -1;
    dref = &own;
  }
  DIR* dir = gFolderReader.open(dpath);
  if (dir == nullptr) {
    // Logged, not alerted: the folder lists look into every folder they show, and one that
    // cannot be read is left out.
    DMESSAGE(DMCwarning, "Cannot open folder '%s': %s", dpath, strerror(errno));
    return -1;
  }
  Entry entries[kBatch];
  int count = 0;
  bool failed = false, stop = false, end = false;
  PFileSpec fs;
  while (!stop && !end) {
    int n = 0;
    while (n < kBatch) {
      errno = 0;
      struct dirent* d = gFolderReader.read(dir);
      if (d == nullptr) {
        failed = errno != 0;
        end = true;
        break;
      }
      Entry& e = entries[n++];
      snprintf(e.name, sizeof e.name, "%s", d->d_name);
      e.type = d->d_type;
      e.ino = d->d_ino;
    }
    count += n;
    if (dofile == nullptr && dofldr == nullptr) continue;
    // Within a batch the entries are taken from the last to the first.
    for (int i = n; i-- > 0 && !stop;) {
      if (Hidden(entries[i].name)) {
        --count;
        continue;
      }
      if (!Describe(&fs, dpath, dref, entries[i], tooLong)) continue;
      PScanCallback cb = fs.isFolder ? dofldr : dofile;
      if (fs.isFolder) --count;
      if (cb == nullptr) continue;
      checkEvents(0);
      if (!cb(&fs, p)) stop = true;
    }
  }
  gFolderReader.close(dir);
  if (failed) {
    DMESSAGE(DMCsystem, "Cannot read folder '%s'", dpath);
    return -1;
  }
  return count;
}

bool grokImageRecord(const PFileSpec* fs, void* p) {
  if (fs == nullptr || !DMASSERT(!fs->isFolder)) return true;
  PContextState* ctx = p ? static_cast<PContextState*>(p) : gMain ? &gMain->bc : nullptr;
  if (ctx == nullptr) return true;
  _ImgReader* ir = OpenImage(fs);
  if (ir == nullptr) return true;  // not an image: skipped without a word
  DBRecord& r = ctx->rdisp.NewRecord();
  PgrokImage(&r, ir);
  ir->ri->Close(ir);
  return true;
}

bool countImage(const PFileSpec* fs, void* p) {
  if (fs == nullptr || p == nullptr || !DMASSERT(!fs->isFolder)) return true;
  if (_ImgReader* ir = OpenImage(fs)) {
    ++static_cast<FileCount*>(p)->nimages;
    ir->ri->Close(ir);
  }
  return true;
}

bool countFolder(const PFileSpec* fs, void* p) {
  if (fs == nullptr || p == nullptr || !DMASSERT(fs->isFolder)) return true;
  ++static_cast<FileCount*>(p)->nfolders;
  return true;
}

int sniffFolder(const char* dpath, const FSRef* dref, int* nimg, int* ndir) {
  FileCount fc;
  int r;
  if (nimg != nullptr)
    r = scanFolder(dpath, dref, countImage, ndir ? countFolder : nullptr, &fc);
  else if (ndir != nullptr)
    r = scanFolder(dpath, dref, nullptr, countFolder, &fc);
  else
    return scanFolder(dpath, dref, nullptr, nullptr, nullptr);
  if (nimg) *nimg += fc.nimages;
  if (ndir) *ndir += fc.nfolders;
  return r;
}

int loadFolder(const char* dpath, bool openIt, const FSRef* dref) {
  if (gMain == nullptr || dpath == nullptr) return -1;
  PBusyGuard busy;
  // The folders the load's thumbnails and records go to, made again if the user removed them.
  PcheckProgramFolders();
  if (!gMain->LoadingRecords(nullptr)) return -1;
  IBrowser* b = gMain->GetBrowser();
  LoadState st{dpath, b,    b ? b->ThumbSlots() : 0, false, GetCurrentEventTime(), -1, 0,
               false, false};
  const std::string path = dpath;  // the caller's text may live in what the load replaces
  st.path = path.c_str();
  if (path.size() >= kMaxDir) {
    const std::string name = path.substr(path.find_last_of('/', path.size() - 2) + 1);
    DMESSAGE(DMCinput,
             "Cannot show folder '%.300s': its path is %zu bytes long, and folders whose paths "
             "are %zu bytes or more cannot be shown",
             name.c_str(), path.size(), kMaxDir);
  }
  int tooLong = 0;
  const int count = scanFolder(path.c_str(), dref, LoadFile, nullptr, &st, &tooLong);
  if (tooLong > 0)
    DMESSAGE(DMCinput, "%d %s left out of folder '%s': a path must be shorter than %zu bytes",
             tooLong, tooLong == 1 ? "file was" : "files were", path.c_str(),
             sizeof(PFileSpec::fpath));
  if (st.progress) reportProgress(nullptr, 100);
  if (gMain == nullptr) return count;
  snprintf(gMain->bc.rsrc, sizeof gMain->bc.rsrc, "%s", path.c_str());
  gMain->bc.album[0] = '\0';
  gMain->LoadedRecords(count);
  if (openIt) gMain->SelectFolder(path.c_str(), true);
  const int shown = gMain->bc.rdisp.GetSize();
  if (st.stopped) {
    char text[64];
    snprintf(text, sizeof text, "Stopped: %d files loaded", shown);
    gMain->ShowMessage(text, false);
    DMESSAGE(DMCinfo, "Stopped loading folder '%s': %d files loaded", path.c_str(), shown);
  } else if (count >= 1) {
    DMESSAGE(DMCinfo, "Loaded folder '%s' (%d images)", path.c_str(), shown);
  }
  return count;
}

namespace {

enum DocKind { kDocFolder, kDocCatalogFile, kDocRecords, kDocImage };

DocKind KindOf(const char* path, bool folder) {
  if (folder) return kDocFolder;
  const char* s = PgetSuffix(path);
  if (s != nullptr && Cstrcasecmp(s, "qdb") == 0) return kDocCatalogFile;
  if (s != nullptr && Cstrcasecmp(s, "txt") == 0) return kDocRecords;
  return kDocImage;
}

constexpr OSStatus errAEWrongDataType = -1708;

// Resolves a document's path into path (PATH_MAX bytes) with its facts in st; why it names
// nothing that can be opened, or NULL.
const char* ResolveDocument(const char* given, char* path, struct stat* st) {
  if (realpath(given, path) == nullptr || stat(path, st) != 0) return strerror(errno);
  if (strlen(path) >= 1024) return "path too long";
  return nullptr;
}

// ResolveDocument, saying why when it fails; false then.
bool FindDocument(const char* given, char* path, struct stat* st) {
  const char* why = ResolveDocument(given, path, st);
  if (why != nullptr)
    DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot open '%s': %s", given, why);
  return why == nullptr;
}

}  // namespace

bool PdocumentsOpenACatalogue(const std::vector<std::string>& paths) {
  for (const std::string& given : paths) {
    char path[PATH_MAX];
    struct stat st;
    if (ResolveDocument(given.c_str(), path, &st) != nullptr) return false;
    const DocKind kind = KindOf(path, S_ISDIR(st.st_mode));
    if (kind != kDocImage) return kind == kDocCatalogFile;
  }
  return false;
}

OSStatus openDocuments(EventHandlerCallRef, EventRef event, void*) {
  const std::vector<std::string> paths = GetDocumentPaths(event);
  if (paths.empty()) return noErr;
  // Each document that cannot be opened is named in one alert, whatever start-up told before.
  PGatheredRefusals refused;
  const auto tell = [&refused] {
    refused.Tell(std::to_string(refused.Count()) + " documents could not be opened:");
  };
  PImageRing* first = nullptr;
  bool added = false;
  for (const std::string& given : paths) {
    char path[PATH_MAX];
    struct stat st;
    if (!refused.Item([&] { return FindDocument(given.c_str(), path, &st); }, given,
                      "Cannot open '" + given + "'")) {
      tell();
      return errAEWrongDataType;
    }
    const DocKind kind = KindOf(path, S_ISDIR(st.st_mode));
    if (kind != kDocImage) {
      // In the order named: the documents before it first. What it opens tells its own
      // problems, as a command does, whatever was alerted before.
      tell();
      dmessage_last_class = DMCnerr;
      alertLastClass = DMCnerr;
      if (kind == kDocFolder) {
        FSRef ref;
        loadFolder(path, true, getFspecFromPath(&ref, path) ? &ref : nullptr);
      } else if (kind == kDocCatalogFile) {
        if (gMain) gMain->OpenCatalog(path);
      } else {
        PimportRecordFile(path);
      }
      // Start-up left the main window to this document: it shows whatever came of it.
      if (gMain && !IsWindowVisible(gMain->GetWindow())) gMain->Show(1);
      break;
    }
    const std::string opened = path;
    const bool taken = refused.Item([&] { return gImager && gImager->AddImage(path); }, opened,
                                    "Cannot open '" + opened + "'");
    if (taken && !added) {
      added = true;
      first = gImager->GetCurrentIR();
    }
  }
  tell();
  if (added && gImager) {
    gImager->Advance(first);
    gImager->Present();
  }
  return noErr;
}

int openDocuments(int argc, char** argv) {
  int taken = 0;
  PImageRing* first = nullptr;
  bool added = false;
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    char path[PATH_MAX];
    struct stat st;
    if (argv[i] == nullptr || !FindDocument(argv[i], path, &st)) continue;
    const DocKind kind = KindOf(path, S_ISDIR(st.st_mode));
    if (kind == kDocFolder) {
      loadFolder(path, true, nullptr);
      break;
    }
    if (kind == kDocCatalogFile) {
      if (gMain && gMain->OpenCatalog(path)) {
        ++taken;
        break;
      }
      continue;
    }
    if (kind == kDocRecords) {
      PimportRecordFile(path);
      if (gMain && gMain->bc.rdisp.GetSize() > 0) {
        ++taken;
        break;
      }
      continue;
    }
    if (gImager && gImager->AddImage(path)) {
      ++taken;
      if (!added) first = gImager->GetCurrentIR();
      added = true;
    }
  }
  if (added && gImager) {
    gImager->Advance(first);
    gImager->Present();
  }
  return taken;
}

void chooseAndLoadFolder() {
  char path[1024];
  FSRef ref;
  if (chooseFolder(path, sizeof path, &ref) != nullptr) loadFolder(path, true, &ref);
}

void chooseAndOpenImage() {
  char path[1024];
  if (!chooseImage(path, sizeof path, nullptr) || gImager == nullptr) return;
  if (gImager->AddImage(path)) gImager->Present();
}

void loadPicturesFolder() {
  const std::string path = UserPicturesFolder();
  loadFolder(path.c_str(), true, nullptr);
}
