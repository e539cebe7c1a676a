// The program as a whole: the one entry that main calls. It starts the platform (a Qt
// application unless one exists), keeps the command line's documents, watches the quit signals
// and the mounted volumes, registers every interface description under the nib "main" and every
// hook of the core, and runs the application (Prun: start-up, event loop,
// shut-down).
#pragma once

// The program's exit status. started, when given, runs once the platform is up, before
// start-up: the end-to-end test drives the program from there.
int LumerinMain(int argc, char** argv, void (*started)() = nullptr);

// Registers every form of the program under the nib name; the form named omit is left out.
void PregisterInterface(const char* nib, const char* omit = nullptr);
// Registers with the core, in one place, every hook it calls the libraries above it through
// (phooks.h): the makers of the main, info, find and image windows, the export library's record
// import and check, the main window's drag and field editor, the print library's page setup
// and session end, and the preferences dialog.
void PregisterHooks();
