// Starting other programs: the desktop's opener (xdg-open) for files and web addresses, or a
// program named by the user. A program is always given an argument list, never a command line
// for a shell, so no character of a file name can run anything. A program name without a '/' is
// looked up on $PATH; standard input is the null device, output goes where the program's goes.
//
// Arguments are UTF-8; a file name whose bytes are not UTF-8 is given to the opener as a file
// URL with those bytes percent-encoded, and refused for a named program (it could not arrive
// unchanged).
#pragma once

#include <functional>
#include <string>
#include <vector>

// Results of the waited form besides an exit status (0..255).
enum : int {
  kLaunchFailed = -1,    // not found, not startable, or refused
  kLaunchTimedOut = -2,  // still running at the time limit: left to run on its own
  kLaunchCrashed = -3    // ended by a signal
};

// Starts the program with the arguments and returns at once: true when it started.
bool LaunchDetached(const std::string& program, const std::vector<std::string>& args);

// Runs the program and waits for it at most timeoutSeconds, repainting windows meanwhile (user
// input waits until it ends; timers and posted events do run, as in any wait). Returns its exit
// status or one of the results above.
int LaunchAndWait(const std::string& program, const std::vector<std::string>& args,
                  double timeoutSeconds);

// Opens a file or web address with the desktop's opener, not waiting; true when it started.
bool OpenWithDesktop(const std::string& pathOrUrl);

// The same, watched: false when the opener could not be started (failed is not called);
// otherwise failed is called later, from the event loop, when the opener ends in failure (its
// exit status, or kLaunchCrashed). An opener still running when the program quits is left to
// run.
bool OpenWithDesktopWatched(const std::string& pathOrUrl, std::function<void(int result)> failed);

// The same, waited for: the opener's exit status (0 when it opened the item) or a result above.
int OpenWithDesktopAndWait(const std::string& pathOrUrl, double timeoutSeconds);

// Opens files with the program the user named (one run, every file an argument), not waiting.
// A file name beginning with '-' is given as "./-..." so that it is not taken for an option.
bool OpenWithProgram(const std::string& program, const std::vector<std::string>& paths);
