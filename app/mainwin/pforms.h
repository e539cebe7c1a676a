// Registration of the main window's form and of its field editor dialog.
#pragma once

#include "app/core/papp.h"

void PregisterMainWindowForm(const char* nib, const char* omit = nullptr);

extern WindowRef gFieldWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kMainDialogCount = 1;
extern const PDialogSlot kMainDialogs[kMainDialogCount];

// The field editor's handler: a change of the field pop-up ('sfld') sets the controls for the
// chosen field; otherwise it answers as a dialog (ConfirmEventHandler).
OSStatus FieldEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
