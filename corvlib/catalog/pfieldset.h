// Reading and writing photo fields by PDBFieldID under a record's own schema. A field the
// schema lacks, or whose schema type differs from the value's, is left as it was.
#pragma once

#include "catalog/pdbase.h"

// The record's own id of photo field fid; -1 when its schema lacks it or it has no schema.
int PDBid(const DBRecord& r, PDBFieldID fid);

// Each returns true when the value was stored.
bool PDBsetInt(DBRecord* r, PDBFieldID fid, long v);
bool PDBsetFloat(DBRecord* r, PDBFieldID fid, double v);
bool PDBsetString(DBRecord* r, PDBFieldID fid, const char* s);
bool PDBsetInts(DBRecord* r, PDBFieldID fid, const long* v, int n);
bool PDBsetStrings(DBRecord* r, PDBFieldID fid, const char* const* s, int n);

// Whether photo field fid holds at least one value of the type asked for; stores the first.
bool PDBgetInt(const DBRecord& r, PDBFieldID fid, long* v);
bool PDBgetFloat(const DBRecord& r, PDBFieldID fid, float* v);
const char* PDBgetString(const DBRecord& r, PDBFieldID fid, int i = 0);
