// Documents handed to the program: the paths given on its command line arrive as one
// open-documents event, class 'aevt' kind 'odoc', sent to the application target once the
// application loop runs. Its direct object is the list of paths, in the order given, each made
// absolute against the folder the program started in. The program has no options: every
// argument Qt leaves is a path.
#pragma once

#include <string>
#include <vector>

#include "platform/pevent.h"

enum : UInt32 {
  kEventClassAppleEvent = FourCC("aevt"),
  kAEOpenDocuments = FourCC("odoc"),
  typePathList = FourCC("plst")  // paths, each ended by a NUL
};

// Keeps the paths of the command line: argv[1] .. argv[argc - 1] as they stand after the Qt
// application took its own options. Call it at start-up, before anything changes the working
// folder; a later call replaces the kept paths, to be posted anew.
void TakeCommandLineDocuments(int argc, char** argv);

// Posts the open-documents event for the kept paths to the application target; the queue
// delivers it when the loop next runs. The application loop calls this as it starts. Only the
// first call after the paths were taken posts, and nothing is posted without paths. Returns
// whether it posted.
bool PostOpenDocuments();

// The paths an open-documents event carries, in order; empty for any other event.
std::vector<std::string> GetDocumentPaths(EventRef event);
