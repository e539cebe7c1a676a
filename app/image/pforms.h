// Registration of the image window's form and of its dialogs: saving, the slide show's options,
// the histogram and the false-colour legend.
#pragma once

#include "app/core/papp.h"

void PregisterImageForm(const char* nib, const char* omit = nullptr);

extern WindowRef gSaveWindow, gShowWindow, gHistoWindow, gFCWindow;
// The dialogs, which the shell registers with the core (PAppHooks::dialogs).
constexpr int kImageDialogCount = 4;
extern const PDialogSlot kImageDialogs[kImageDialogCount];

// The histogram and false-colour windows take their own commands; the menu commands they do
// not take go to the image window.
extern const EventTypeSpec histoEventSpec[4];
extern const EventTypeSpec fcEventSpec[6];
OSStatus HistoEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
OSStatus FCEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
