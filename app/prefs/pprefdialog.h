// The preferences dialog (command 'pref'): the shadow catalogue, the thumbnail cache's folder
// and size (with its use shown and a button that clears it), the memory cache's size, the log
// file, the exposure defaults and what start-up opens. Entries are checked when the dialog is
// answered OK: one that cannot be taken keeps the dialog open, selected, and changes nothing.
#pragma once

#include "platform/pevent.h"

// Shows the dialog with the settings and applies those the user changed (the core's hook).
void ChangePreferences();

extern const EventTypeSpec prefEventSpec[2];
OSStatus PrefEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
