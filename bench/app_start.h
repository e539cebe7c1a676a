// Starting the program's windows offscreen for the benchmarks that go through them: a home of
// their own, the interface as start-up makes it, and the benchmarks run under a QApplication.
#pragma once

#include <string>

class PMainWindow;

namespace benchapp {

bool Exists(const std::string& path);
// False when the copy is short.
bool CopyFile(const std::string& from, const std::string& to);

// The catalogue at path of the benchmarks' photos [0, n), made in one addition when it is not
// there yet (its folder too); path.
std::string Catalogue(const std::string& path, int n);

// A fresh folder made from templ (ending in XXXXXX), used as the home; its path, or "" when it
// could not be made.
std::string MakeHome(const char* templ = "/tmp/lumerin_bench_home_XXXXXX");

// No class of message goes to standard error.
void QuietStderr();

// The interface as start-up makes it (the standard readers loaded when readers is set, forms,
// windows, hooks and handlers), ready for events; false when it could not be made.
bool StartInterface(bool readers = true);

// The main window, made once in a fresh home: the interface started, no alerts, the
// preferences linked, shown with its first display fields and small thumbnails. NULL when it
// could not be made.
PMainWindow* MainWindow();

// Sets popup id of the search window to its item whose text is item, and the window brings its
// clauses up to date.
void ChooseFindItem(int id, const char* item);

// Puts text into field id of the search window.
void TypeFindField(int id, const char* text);

// Types text into the input window as soon as it shows, and answers OK.
void AnswerInput(const char* text);

// Runs the benchmarks named on the command line under a QApplication (offscreen unless
// QT_QPA_PLATFORM says otherwise), then takes the interface down; the exit status.
int RunBenchmarks(int argc, char** argv);

}  // namespace benchapp
