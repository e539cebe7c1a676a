// Registration of the forms of the images made from records: the options of Make HDR and of the
// panorama.
#pragma once

#include "app/core/papp.h"

void PregisterHdrPanoForms(const char* nib, const char* omit = nullptr);

extern WindowRef gHDRWindow, gPanoWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kHdrPanoDialogCount = 2;
extern const PDialogSlot kHdrPanoDialogs[kHdrPanoDialogCount];
