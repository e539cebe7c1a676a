// Temporary images: results the program makes (HDR images, panoramas) are written as TIFF files
// among the platform's private temporary files and opened in the image window, which offers to
// save them when they close and otherwise deletes them.
#pragma once

#include "catalog/pdbase.h"
#include "image/pimage.h"

// Writes img as a new temporary TIFF at full quality with rec's information, and points rec at
// it: Format, NBytes, HashVal, Location and File; ModTime cleared. False, with no file left,
// when it cannot be written.
bool PsaveTempImage(DBRecord* rec, const _ImgStruct* img);
// Opens the temporary image of rec in the image window as its current image and shows it. When
// it cannot be opened reports "AddImage failed in <command>" and deletes the file; false then.
bool PshowTempImage(const DBRecord& rec, const char* command);
// Deletes rec's temporary file.
void PremoveTempImage(const DBRecord& rec);
