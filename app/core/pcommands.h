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

// ---- Record exchange and the file dialogs it asks through.
struct FSRef;
class DBRecord;
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
