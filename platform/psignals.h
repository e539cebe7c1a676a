// The signals that ask the program to end: SIGTERM (a session's logout, a service manager),
// SIGHUP (the terminal went away) and SIGINT (Ctrl-C). Their handler does only what is safe in
// a signal handler: it writes the signal's number into a pipe. A socket notifier on the pipe's
// other end wakes the event loop, which hands the signal to the program there, from whatever
// loop runs (the application loop or a wait nested in it), never from inside the handler.
#pragma once

// Installs the handlers and the notifier; the callback runs from the event loop once for each
// signal noted (several of one kind arriving together may be noted once). Needs a Qt
// application. False when the pipe or the handlers cannot be had (the signals then keep their
// default actions). Installing again replaces the callback.
bool WatchQuitSignals(void (*onSignal)(int signo));
// Puts the default actions back and closes the pipe.
void StopQuitSignals();
// The signal's name ("SIGTERM", ...), or "signal" for one not watched.
const char* QuitSignalName(int signo);

// The display's connection breaking (the X server or the compositor gone): the platform tells
// it by a message of its own on the event loop's thread and then ends the process. Installs a
// message handler that, on the first such message, calls onLost (which must neither draw nor
// wait for events) and ends the process at once with the status it returns. Other messages,
// whatever their words, go on to the handler that was installed before.
void WatchDisplayLoss(int (*onLost)());
