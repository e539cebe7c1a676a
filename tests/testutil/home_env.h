// The home of a run of the program: HOME and the XDG folders in one folder.
#pragma once

#include <cstdlib>
#include <string>

// Points HOME at h and the XDG configuration, cache, state and runtime folders below it.
inline void UseHomeAt(const std::string& h) {
  setenv("HOME", h.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (h + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (h + "/cache").c_str(), 1);
  setenv("XDG_STATE_HOME", (h + "/state").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (h + "/run").c_str(), 1);
}
