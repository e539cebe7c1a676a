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
