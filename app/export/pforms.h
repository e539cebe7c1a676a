// Registration of the forms of record exchange: the options of image export and of the web album.
#pragma once

#include "app/core/papp.h"

void PregisterExportForms(const char* nib, const char* omit = nullptr);

extern WindowRef gImgExpWindow, gWebWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kExportDialogCount = 2;
extern const PDialogSlot kExportDialogs[kExportDialogCount];
