// The application's commands carried out by other parts of the program. Until those parts are
// built each does the least: nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

// Asks for a catalogue and opens it.
void chooseCatalog();
// Asks for the path of a new catalogue and makes it.
void newCatalog();
// Asks for a folder and shows its images.
void chooseAndLoadFolder();
// Asks for a tab-separated record file and imports it.
void importRecords();
// Asks for an image file and opens it in the image window.
void chooseAndOpenImage();
// Page setup for the lone selected record.
void pageSetup();
// Shows the images of the user's Pictures folder.
void loadPicturesFolder();
// Ends the print session.
void closePrintSession();
// The open-documents event: the files and folders named on the command line.
OSStatus openDocuments(EventHandlerCallRef call, EventRef event, void* userData);

// ---- Record commands the image window calls.
class DBRecord;
// Turns or flips a photo record: 'cw90', 'cc90', 'c180', 'flhz', 'flvt' change its rotation
// (Orient) and flip (Flip) fields. False, with a message, for another command or a record that
// cannot take the fields.
bool reorientRecord(DBRecord* rp, OSType cmd);
// Remembers the last field set and its value for the Repeat command (does the least until the
// setting commands are built).
void repeatSetting(int photoField, const char* value);

// ---- Record exchange and the file dialogs it asks through.
struct FSRef;
// The file dialogs. Each does the least until the file dialogs are built: nothing is chosen
// and gConfirmResponse becomes 'not!'.
int saveDialog(int (*savef)(const char* path, void* p), void* p, const char* cat, OSType typ,
               OSType cre);
char* openDialog(char* fpath, int fplen, const char* cat, OSType typ, OSType cre);
char* chooseFolder(char* dpath, int dplen, FSRef* dref);
bool chooseImage(char* fpath, int fplen, const DBRecord* dr);
// The record import of the export library (a NULL path asks for the file), which the shell
// registers; importRecords() above calls it.
void PsetImportRecords(void (*import)(const char* path));
