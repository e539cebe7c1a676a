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

// The folders of the shadow catalogue and of the thumbnail cache, held from their checks.
CheckedFolder& ShadowPlace() {
  static CheckedFolder place;
  return place;
}
CheckedFolder& ThumbPlace() {
  static CheckedFolder place;
  return place;
}

}  // namespace

bool PholdShadowFolder(const char* path, std::string* why) {
  if (path == nullptr || path[0] == '\0') {
    ShadowPlace().Drop();
    return true;
  }
  return ShadowPlace().Check(PfolderOf(path), why);
}

bool PholdThumbFolder(const char* dir, std::string* why) {
  if (dir == nullptr || dir[0] == '\0') {
    ThumbPlace().Drop();
    return true;
  }
  return ThumbPlace().Check(dir, why, true);
}

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
  if (gShadowCatalog[0] != '\0') shadowLost = !PholdShadowFolder(gShadowCatalog, &shadowWhy);
  if (thumbCacheDir[0] != '\0') thumbLost = !PholdThumbFolder(thumbCacheDir, &thumbWhy);
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
    f = PopenLog(gErrLogFile, false, &why);
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
  // The thumbnail cache, its database removed (the folder with it) or its folder no longer the
  // one held or no longer safe: closed without writing, then opened anew in its folder made
  // again, when that passes its check.
  PThumbnailer& tn = PthumbManager();
  std::string moved;
  const char* changed = tn.FolderChanged();
  if (tn.IsOpen() && thumbCacheDir[0] != '\0' &&
      (changed != nullptr || (ThumbPlace().Held() && !ThumbPlace().Still(&moved)))) {
    if (changed != nullptr)
      DMESSAGE(DMCinfo, "Thumbnail cache %s %s while in use: nothing more is written there",
               thumbCacheDir, changed);
    else
      DMESSAGE(DMCwarning, "%s: the thumbnail cache there is closed unwritten", moved.c_str());
    tn.CloseUnwritten();
    std::string why;
    if (!PholdThumbFolder(thumbCacheDir, &why))
      DMESSAGE(DMCwarning, "%s: no thumbnail cache until the next start", why.c_str());
    else
      tn.SetCacheDirectory(thumbCacheDir);  // a failure says why
  }
  // The shadow catalogue the same: what it held went with its file; a new one starts.
  moved.clear();
  if (gMain != nullptr && gMain->bc.ShadowReady() && gShadowCatalog[0] != '\0' &&
      (gMain->bc.ShadowFileRemoved() || (ShadowPlace().Held() && !ShadowPlace().Still(&moved)))) {
    const bool removed = moved.empty();
    {
      // Nothing is written to a file that is gone, or in a folder no longer the one checked.
      const DMessageHold quiet(DMessageHold::quiet);
      gMain->bc.ShadowStore().Discard();
      gMain->bc.ShadowDB(nullptr);
    }
    if (!removed)
      DMESSAGE(DMCwarning, "%s: the shadow catalog there is closed unwritten", moved.c_str());
    std::string why;
    if (!PholdShadowFolder(gShadowCatalog, &why))
      DMESSAGE(DMCwarning, "%s: no shadow catalog until the next start", why.c_str());
    else if (gMain->bc.ShadowDB(gShadowCatalog))  // a failure says why
      DMESSAGE(DMCinfo,
               removed ? "Opened shadow catalog '%s' anew: its file was removed"
                       : "Opened shadow catalog '%s' anew",
               gShadowCatalog);
  }
}

void PresetProgramFolders() {
  shadowFolder = true;
  logLost = false;
  ShadowPlace().Drop();
  ThumbPlace().Drop();
}
