// What the core asks of the libraries above it, which it cannot link: the makers of the window
// objects, record exchange, the main window's drag, printing, the preferences dialog and the
// libraries' dialogs. The shell, which links every library, registers them all in one place
// (PsetAppHooks) before start-up; start-up stops, naming the first one missing, when any is not
// registered.
#pragma once

#include <vector>

#include "app/core/papp.h"
#include "app/core/pwindows.h"
#include "platform/pevent.h"

// What a check of the records' image files came to.
struct PCheckResult {
  bool changed = false;    // a record changed (its file found elsewhere, or its facts read again)
  bool cancelled = false;  // the user gave up: a file's question cancelled, Stop, or a quit
};

struct PAppHooks {
  // Makers of the window objects. A maker returns an object whose GetWindow() is NULL when its
  // window could not be made.
  IMainWindow* (*makeMainWindow)(IBNibRef nib) = nullptr;
  IInfoWindow* (*makeInfoWindow)(IBNibRef nib) = nullptr;
  IFindWindow* (*makeFindWindow)(IBNibRef nib) = nullptr;
  IImageWindow* (*makeImageWindow)(IBNibRef nib, IBrowser* browser) = nullptr;
  // Record exchange: imports the record file (or catalogue) at path as the displayed records
  // (NULL: asks for one), and finds the records' files where they moved (see PcheckRecords).
  void (*importRecords)(const char* path) = nullptr;
  PCheckResult (*checkRecords)(bool force, PContext* ctx) = nullptr;
  // The main window: drags the selected displayed records of a browser out of it.
  void (*dragRecords)(EventRef event, IBrowser* b) = nullptr;
  // Printing: page setup for a record, and the end of the print session (at quit).
  bool (*pageSetup)(const DBRecord* rec) = nullptr;
  void (*closePrintSession)() = nullptr;
  // The preferences dialog (command 'pref'): shows the settings and applies those the user
  // changed when the dialog is answered OK.
  void (*changePreferences)() = nullptr;
  // The window libraries' dialogs, made after the core's own (not a hook: it may be empty).
  std::vector<PDialogSlot> dialogs;
};

void PsetAppHooks(const PAppHooks& hooks);
const PAppHooks& PappHooks();
// The name of the first hook not registered (as in PAppHooks), NULL when all are.
const char* PmissingAppHook();
