// Registration of the preferences dialog's form, and its window.
#pragma once

#include "app/core/papp.h"

void PregisterPrefForms(const char* nib, const char* omit = nullptr);

extern WindowRef gPrefWindow;
// The dialog, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kPrefDialogCount = 1;
extern const PDialogSlot kPrefDialogs[kPrefDialogCount];
