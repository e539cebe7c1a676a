// Saving one photograph to a new file the user chooses, in one of the four writable formats
// (TIFF, Vortelux picture, OpenEXR, JPEG, always offered in that order), and describing the new
// file in the photo record. A record's own file is copied unchanged wherever re-encoding would
// gain nothing.
//
// A save never harms an existing file: the final name is settled first (a name corrected to the
// format's suffix that names an existing file is replaced only after a question), the image is
// written or copied to a temporary file in that folder, synced, and renamed over the final name
// only when complete. A cancel or a failure leaves every file as it was.
#pragma once

#include <string>

#include "catalog/porient.h"
#include "image/pireader.h"
#include "platform/ptypes.h"

class DBRecord;

// The writers in the order the save dialog offers them, and their document types.
constexpr int kImageWriterCount = 4;
const _ImgWriterInterface* PimageWriter(int i);
OSType PimageWriterType(int i);

// Saves dr's image: ims when given (pixels rendered in memory; turned by turn, when given, as
// they are written), else the record's own file. Asks for the file in the save dialog, writes
// it, and makes dr describe the new file (name, folder, format, quality for JPEG, time, length
// and content hash). True when a file was written and dr updated; false when cancelled or
// stopped (gConfirmResponse 'not!') or failed.
bool saveImage(DBRecord* dr, const _ImgStruct* ims, const POrient* turn = nullptr);

// The name the save dialog proposes for a record's file name (NULL or empty: "Untitled."): a
// name without a suffix gets one, a suffix other than the writer's (ignoring case) is replaced.
std::string PsaveProposedName(const char* file, const char* suffix);

// The work of saveImage once the file is chosen: writes dr's image (ims, turned by turn when
// given, or the record's own file) at path with writer w, or copies the file where re-encoding
// gains nothing, then updates dr. False, with path untouched and dr unchanged, on any failure.
//
// The pixels go to the writer a row at a time where it takes rows (every encoding but
// JPEG-HDR): a turned image is turned as its rows are written and a file's own picture is read
// a band at a time, so that no second whole copy of the picture is made. A JPEG file keeps no
// pixel shape: pixels that are not square are resampled square first (the longer side of a
// pixel shrinking, as the picture is shown), and dr then tells the size and densities
// written. Between rows, bands and the JPEG-HDR encoding's passes the work gives way
// (PworkSlice, support/pwork.h); once it has run a moment the Progress window shows
// "Saving '<name>'..." and its Stop ends the write: then nothing is written, the temporary
// file is gone, "Save image cancelled" is logged (class trace) and gConfirmResponse is 'not!'.
bool PsaveImageFile(DBRecord* dr, const _ImgStruct* ims, const char* path,
                    const _ImgWriterInterface* w, const POrient* turn = nullptr);

// Writes a request with writer w to a temporary file beside path, syncs it and renames it over
// path; the file's length, 0 on failure (path as it was, the temporary file removed).
long PwriteImageSafely(const char* path, const _ImgWriterInterface* w, const _ImgWriteBuf* wb);

// Whether w x h pixels of bytesPerPixel bytes, held whole for a save, fit in this computer's
// memory (PpictureFits, support/membudget.h); when not, says so in those words (class
// resource) and false.
bool PsaveFits(const char* path, int64_t w, int64_t h, size_t bytesPerPixel);
