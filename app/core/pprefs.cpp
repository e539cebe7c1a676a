// Preferences: the log file at its place among the user's folders and the default paths of the
// shadow catalogue and the thumbnail cache. Reading and writing the preferences file and the
// preferences dialog's settings come with the preferences themselves.
#include "app/core/pprefs.h"

#include <cstdio>
#include <string>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "platform/pfolders.h"
#include "support/dmessage.h"

namespace {
bool initialized = false;
}

void InitPreferences() {
  if (initialized) return;
  initialized = true;
  gRecentCatalogCount = 0;
  std::string message;
  std::string state = UserFolder(kStateFolder, &message);
  if (!state.empty()) snprintf(gErrLogFile, sizeof gErrLogFile, "%s/Lumerin.txt", state.c_str());
  if (gErrLogFile[0] != '\0') {
    if (dmessage_logfp) fclose(dmessage_logfp);
    dmessage_logfp = fopen(gErrLogFile, "w");
  }
  if (!message.empty()) DMESSAGE(DMCwarning, "%s", message.c_str());
  DMESSAGE(DMCinfo, "Initializing preferences");
  std::string cache = UserFolder(kCacheFolder, &message);
  if (gShadowCatalog[0] == '\0' && !cache.empty())
    snprintf(gShadowCatalog, sizeof gShadowCatalog, "%s/Lumerin.qdb", cache.c_str());
}

void SavePreferences() {}

void ChangePreferences() {
  if (gPrefWindow == nullptr) return;
  runDialog(gPrefWindow);
}
