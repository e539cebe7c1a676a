// What both end-to-end programs look at while they drive the program's own entry: its controls,
// the main window's status line and its browser.
#pragma once

#include <functional>
#include <string>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "toolkit/pctltext.h"
#include "testutil/control_text.h"

// A step waits until its condition holds (looked at every 10 ms), then acts.
struct Step {
  std::string name;
  std::function<bool()> ready;
  std::function<void()> act;
};

inline QWidget* Widget(WindowRef w, const char* sig, int id) {
  ControlID cid{FourCC({sig[0], sig[1], sig[2], sig[3], 0}), id};
  ControlRef c = nullptr;
  return GetControlByID(w, &cid, &c) == noErr ? PlatformControlWidget(c) : nullptr;
}

// The main window's status line.
inline std::string Status() {
  ControlID cid{FourCC("pict"), 132};
  ControlRef c = nullptr;
  return GetControlByID(gMain->GetWindow(), &cid, &c) == noErr ? WholeControlText(c) : "";
}

inline PBrowser* Browser() {
  return static_cast<PBrowser*>(gMain->GetBrowser());
}
