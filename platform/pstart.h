// Starting the platform: the Qt application the windows live in, on the display the environment
// names (DISPLAY for X, WAYLAND_DISPLAY for Wayland, or a platform named by QT_QPA_PLATFORM or
// the -platform argument, the offscreen one for instance).
#pragma once

// Makes the Qt application for the command line, unless one exists (argc must outlive it), named
// appName with the desktop entry desktopName. When no display can be opened, says so on standard
// error in one line of the program's own, "<program>: cannot open a display (<why>)...", with
// nothing of Qt's own text of it: false when that is seen before Qt starts (no platform named
// and neither variable set); when the platform itself cannot start (a display that is not
// there), the process ends at once with status 1, as nothing of the program has started yet.
bool PstartPlatform(int& argc, char** argv, const char* program, const char* appName,
                    const char* desktopName);
// Ends the application PstartPlatform made (none: nothing).
void PendPlatform();
