// Registration of the forms of the shared record commands: the date dialog of the adjust-time
// command.
#pragma once

#include "app/core/papp.h"

void PregisterRecordForms(const char* nib, const char* omit = nullptr);

extern WindowRef gDateWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kRecordDialogCount = 1;
extern const PDialogSlot kRecordDialogs[kRecordDialogCount];
