// The busy guard. While work over the records (a load, a search, an export, a print) pumps events
// (checkEvents), the commands that would pull the records from under it are refused and greyed:
// those that replace or reorder the displayed records, open or close a catalogue, close the main
// window, search, edit displayed records, or start work of their own. A quit chosen meanwhile
// stops work that can be stopped, as its Stop does (reportProgress answers false), and waits
// for work that runs to its end; it is carried out when the operation ends.
#pragma once

#include "platform/ptypes.h"

class PBusyGuard {
 public:
  PBusyGuard();
  ~PBusyGuard();
  PBusyGuard(const PBusyGuard&) = delete;
  PBusyGuard& operator=(const PBusyGuard&) = delete;
};

bool PisBusy();
// True for a command that must wait while busy (the traits kBusyGuarded and kRunsWork of the
// command table).
bool PrefusedWhileBusy(UInt32 command);
// True for a command that changes files or records, the display, or the images a waiting command
// works on (by the command table's traits): it is refused while a command waits on a question (a
// modal dialog, ours or Qt's).
bool PrefusedWhileAsking(UInt32 command);
// Installs the refusal of those commands at the platform's command gate, for every window and
// the application alike: a command the busy guard holds back (PrefusedWhileBusy while PisBusy),
// one that waits on a question, and one that changes the page format while a document prints.
// Their menu items and the controls sending them are greyed whatever the window in front says,
// and a late click on one is taken without doing anything.
void PinstallQuestionGate();
// A quit that came while busy; the outermost guard carries it out when it ends.
void PdeferQuit();
bool PquitDeferred();
// Hands the quit deferred to the event queue instead: it runs as a command once events are
// dispatched again (an outermost guard ending inside the library's work, where no command may
// run). Nothing when no quit was deferred.
void PpostDeferredQuit();
// The Progress window's Stop, pressed during the work: the work ends at its next progress
// (reportProgress answers false). A dialog's Cancel is no Stop. The outermost guard starts and
// ends without it; a progress from 0 inside the guard (a step of the work) leaves it.
void PsetWorkStopped(bool stopped);
bool PworkStopped();
