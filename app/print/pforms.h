// Registration of the forms of printing: the print options.
#pragma once

#include "app/core/papp.h"

void PregisterPrintForms(const char* nib, const char* omit = nullptr);

extern WindowRef gPrintWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kPrintDialogCount = 1;
extern const PDialogSlot kPrintDialogs[kPrintDialogCount];
