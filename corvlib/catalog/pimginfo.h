// Image information in photo records: a reader's size, format and metadata written into a
// record, and a record's facts turned back into image information for writing.
#pragma once

#include "catalog/pdbase.h"
#include "image/pireader.h"

// XSize, YSize, Format, then every field the reader's information holds.
void recordImageInfo(DBRecord* r, _ImgReader* ir);
// Fills info from r; returns the pixel aspect YDensity / XDensity (1 without a usable
// density), or 0, with info untouched, for a null info or a record without fields.
float PsetInfo(_ImgInfo* info, const DBRecord& r);
// The Format text of a reader: the format's name and a description of its pixels.
void PformatText(char* buf, size_t len, const _ImgReader* ir);
