// Image information in photo records: a reader's size, format and metadata written into a
// record, a record's facts turned back into image information for writing, and the opening
// of a record's image file with the reader its Format names.
#pragma once

#include "catalog/pdbase.h"
#include "image/corvane.h"

// XSize, YSize, Format, then every field the reader's information holds.
void recordImageInfo(DBRecord* r, _ImgReader* ir);
// Fills info from r; returns the pixel aspect YDensity / XDensity (1 without a usable
// density), or 0, with info untouched, for a null info or a record without fields.
float PsetInfo(_ImgInfo* info, const DBRecord& r);
// An open reader on r's image file, found with PlocateFile; null on failure (reported
// unless quiet). The caller closes it through its interface.
_ImgReader* PopenImageD(const DBRecord& r, bool quiet);
// The Format text of a reader: the format's name and a description of its pixels.
void PformatText(char* buf, size_t len, const _ImgReader* ir);
