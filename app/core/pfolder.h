// Folder scanning, loading and opened documents: the road by which photographs enter the
// browser. A folder is read entry by entry; every file an image reader accepts becomes a
// displayed record filled from the file, and the main window then reconciles the display with
// the catalogue. The same scanner counts images and serves the folder tree. Documents handed to
// the program (the command line, the desktop) are sorted into folders, catalogues, record text
// files and images.
#pragma once

#include <dirent.h>

#include <string>
#include <vector>

#include "app/core/pfiles.h"

// One folder entry as the scan callbacks see it.
struct PFileSpec {
  bool isFolder;     // the entry (after following links) is a folder
  bool isAlias;      // the entry was a symbolic link, followed to its target
  char fpath[1024];  // full path (of the link's target when followed)
  char fname[256];   // the entry's own name in the folder
  FSRef fref;        // the file's reference (the target's when followed)
};

struct FileCount {
  int nimages = 0;
  int nfolders = 0;
};

typedef bool (*PScanCallback)(const PFileSpec* fs, void* p);

// The calls through which folders are read, so that tests can fake read errors: read returns
// NULL at the end with errno untouched, or NULL with errno set on an error.
struct PFolderReader {
  DIR* (*open)(const char* path);
  struct dirent* (*read)(DIR* dir);
  int (*close)(DIR* dir);
};
extern PFolderReader gFolderReader;

// Reads the folder dpath (its reference dref, or made from dpath) 64 entries at a time. Hidden
// entries (names beginning with '.') are skipped; links are followed; folders go to dofldr and
// everything else to dofile (a missing callback skips them), with events pumped before each
// call; a callback's false ends the scan. An entry whose full path would not fit is skipped
// with a warning. Returns the number of non-hidden entries that are not folders (with no
// callbacks, of all entries); -1 for a missing path, one of 900 bytes or more, a folder that
// cannot be opened, or one whose reading fails.
int scanFolder(const char* dpath, const FSRef* dref, PScanCallback dofile, PScanCallback dofldr,
               void* p);
// The same, counting in *tooLong the entries skipped for their paths' length.
int scanFolder(const char* dpath, const FSRef* dref, PScanCallback dofile, PScanCallback dofldr,
               void* p, int* tooLong);
// Loads the images of a folder (not its sub-folders) as the displayed records; with openIt the
// folder tree opens at it. The busy guard holds the commands that would replace the records
// meanwhile. A folder whose path is too long to be shown, and the files left out for the
// length of their paths, are told in an alert. Returns scanFolder's count.
int loadFolder(const char* dpath, bool openIt, const FSRef* dref);
// Scan callbacks: appends a record of an image file to the displayed records of the context p
// (NULL: the main window's); counts an image or a folder into the FileCount p. All return true.
bool grokImageRecord(const PFileSpec* fs, void* p);
bool countImage(const PFileSpec* fs, void* p);
bool countFolder(const PFileSpec* fs, void* p);
// Adds the openable images (nimg) and the sub-folders (ndir) of a folder to the counters
// given; returns the scan's result.
int sniffFolder(const char* dpath, const FSRef* dref, int* nimg, int* ndir);

// The documents of the open-documents event: a folder is loaded, a catalogue opened or a record
// file imported (each ends the list), images are opened in the image window, the first of
// them shown at the end.
OSStatus openDocuments(EventHandlerCallRef call, EventRef event, void* userData);
// The same sorting for a list of paths; the number of documents taken.
int openDocuments(int argc, char** argv);
// Whether paths, sorted as openDocuments sorts them, open a catalogue: a catalogue file is the
// first document that fills the main window, before any path that names nothing.
bool PdocumentsOpenACatalogue(const std::vector<std::string>& paths);

// The 'dir ' command: asks for a folder and loads it.
void chooseAndLoadFolder();
// The 'open' command: asks for an image and shows it in the image window.
void chooseAndOpenImage();
// The start-up option that browses the user's pictures folder.
void loadPicturesFolder();
