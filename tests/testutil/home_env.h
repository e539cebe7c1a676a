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

// A path as the preferences file writes it after "Name = ": bare, or quoted when it holds a
// blank or a quote (a home under a TMPDIR with spaces, say), in the quote it does not hold.
inline std::string PrefsPath(const std::string& p) {
  if (p.find_first_of(" \t\v\f\r\n\"'") == std::string::npos) return p;
  const char q = p.find('"') == std::string::npos ? '"' : '\'';
  return q + p + q;
}
