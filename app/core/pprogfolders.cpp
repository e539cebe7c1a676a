// The program's folders kept in order while it runs.
#include "app/core/pprogfolders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "app/core/papp.h"
#include "app/core/pprefs.h"
#include "platform/pfolders.h"
#include "support/dmessage.h"
#include "support/dmhold.h"
#include "support/futil.h"
#include "thumbs/pthumb.h"

namespace {

// The shadow catalogue's folder is there (made again when it went missing).
bool shadowFolder = true;
// The log was removed while the program ran and could not be made again (told).
bool logLost = false;

bool Gone(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

void PmakeCacheFolders() {
  DBHeaderLink* prefs = PprefLink();
  const bool shadowUnset = prefs->FindVar("ShadowCatalog")->NSet() <= 0;
  const bool thumbUnset = prefs->FindVar("ThumbnailCacheDirectory")->NSet() <= 0;
  std::string cacheWhy;
  if ((shadowUnset || thumbUnset) && !UserFolderPath(kCacheFolder).empty()) {
    const std::string cache = UserFolder(kCacheFolder, &cacheWhy);
    if (!cache.empty()) {
      if (shadowUnset)
        PsetPreference("ShadowCatalog", gShadowCatalog, (cache + "/Lumerin.qdb").c_str());
      if (thumbUnset)
        PsetPreference("ThumbnailCacheDirectory", thumbCacheDir, (cache + "/LumerinCache").c_str());
    }
  }
  // The caches' folders, made again when they went missing (the user cleared the cache folder,
  // say). One that cannot be had is told once, here, and costs nothing more this run: no
  // thumbnail is cached, no shadow record kept; the next start tries again.
  std::string shadowWhy = cacheWhy, thumbWhy = cacheWhy;
  bool shadowLost = shadowUnset && gShadowCatalog[0] == '\0' && !cacheWhy.empty();
  bool thumbLost = thumbUnset && thumbCacheDir[0] == '\0' && !cacheWhy.empty();
  if (gShadowCatalog[0] != '\0')
    shadowLost = !MakeProgramFolder(PfolderOf(gShadowCatalog), &shadowWhy);
  if (thumbCacheDir[0] != '\0') thumbLost = !MakeProgramFolder(thumbCacheDir, &thumbWhy, true);
  shadowFolder = !shadowLost;
  if (shadowLost && thumbLost && shadowWhy == thumbWhy)
    DMESSAGE(DMCwarning, "%s: no thumbnail cache and no shadow catalog this run", thumbWhy.c_str());
  else if (thumbLost)
    DMESSAGE(DMCwarning, "%s: no thumbnail cache this run", thumbWhy.c_str());
  if (shadowLost && !(thumbLost && shadowWhy == thumbWhy))
    DMESSAGE(DMCwarning, "%s: no shadow catalog this run", shadowWhy.c_str());
  if (thumbCacheDir[0] != '\0')
    PthumbManager().SetCacheDirectory(thumbLost ? nullptr : thumbCacheDir);
}

bool PshadowFolderReady() {
  return shadowFolder;
}

void PcheckProgramFolders() {
  // The log first, so that what the others say goes into it: a file removed while written is
  // written anew in its place.
  struct stat st;
  if (dmessage_logfp != nullptr && gErrLogFile[0] != '\0' &&
      fstat(fileno(dmessage_logfp), &st) == 0 && st.st_nlink == 0) {
    std::string why;
    FILE* f = nullptr;
    if (PlogFolderReady(gErrLogFile, &why)) f = PopenLog(gErrLogFile, false, &why);
    if (f != nullptr) {
      fclose(dmessage_logfp);
      dmessage_logfp = f;
      DMESSAGE(DMCinfo, "Log file '%s' was removed: written anew", gErrLogFile);
    } else if (!logLost) {
      // Told once: the log goes on into the removed file, looked at again at each load.
      logLost = true;
      DMESSAGE(DMCwarning, "Log file '%s' was removed and cannot be made again: %s", gErrLogFile,
               why.c_str());
    }
  }
  // The thumbnail cache: closed without writing, then opened anew in its folder made again.
  PThumbnailer& tn = PthumbManager();
  if (tn.IsOpen() && thumbCacheDir[0] != '\0' &&
      Gone(std::string(thumbCacheDir) + "/" + CorvaneThumbnailDBFile)) {
    tn.SetCacheDirectory(nullptr);
    std::string why;
    if (!MakeProgramFolder(thumbCacheDir, &why, true))
      DMESSAGE(DMCwarning, "%s: no thumbnail cache until the next start", why.c_str());
    else
      tn.SetCacheDirectory(thumbCacheDir);  // a failure says why
  }
  // The shadow catalogue: what it held went with its file; a new one starts.
  if (gMain != nullptr && gMain->bc.ShadowReady() && gShadowCatalog[0] != '\0' &&
      Gone(gShadowCatalog)) {
    {
      // Nothing is written to a file that is gone.
      const DMessageHold quiet(DMessageHold::quiet);
      gMain->bc.ShadowStore().Discard();
      gMain->bc.ShadowDB(nullptr);
    }
    std::string why;
    if (!MakeProgramFolder(PfolderOf(gShadowCatalog), &why))
      DMESSAGE(DMCwarning, "%s: no shadow catalog until the next start", why.c_str());
    else if (gMain->bc.ShadowDB(gShadowCatalog))  // a failure says why
      DMESSAGE(DMCinfo, "Opened shadow catalog '%s' anew: its file was removed", gShadowCatalog);
  }
}

void PresetProgramFolders() {
  shadowFolder = true;
  logLost = false;
}
