// File facts of a photo record: the content hash that identifies an image file wherever it
// lies, the name, folders, length and time written into a record, filling a new record from
// a file or an open reader, and the recorded path of a record's file.
#pragma once

#include <string>

#include "catalog/pdbase.h"
#include "image/pireader.h"

// Bytes of one hashed block and the number of blocks a hash reads at most.
constexpr int PHashBlock = 15872;
constexpr int PHashNBlocks = 5;
// Folders a record remembers in Location, most recent first.
constexpr int PMaxLocations = 16;

// Hashes the file at path (31 bits) and gives its length (the low 32 bits as a signed value,
// as catalogues store it). Files up to 5 blocks are hashed whole; longer ones by five blocks
// spread evenly, the last running to the end. Either output may be null. Returns 1 when the
// file could be opened and, when a hash was asked for, read in full; 0 otherwise, with the
// outputs untouched.
int PhashFile(long* hash, long* nbytes, const char* path);

// ModTime, File and Location (the path's folder moved or added to the front) from path; the
// folder of a relative path is taken from the working folder, so the record stays valid when
// that changes.
void recordFilePath(DBRecord* r, const char* path);
// recordFilePath, then NBytes and HashVal, then CapDate from the file time when unset.
void recordFileInfo(DBRecord* r, const char* path);
// Fills a record from an image file: file facts, then image information when a registered
// reader opens it. A record without a schema becomes an empty photo record first.
void PgrokFile(DBRecord* r, const char* path);
// The same from an open reader (its file path, then its image information).
void PgrokImage(DBRecord* r, _ImgReader* ir);
// Whether name can be a record's File: the name of one file within a folder, never a path. A
// name with a '/', or one that is empty, "." or "..", would reach past the record's folder or
// name the folder itself: it names no file.
bool PisFileName(const char* name);
// Whether r's File names a file (PisFileName); false for a record without one.
bool PnamesFile(const DBRecord& r);
// The words that tell of n records left alone because their File names no file, the first
// by its File (at most 255 bytes of it): "<command> left record '<File>' alone: its File is
// not a file name", or "<command> left <n> records alone whose File is not a file name, the
// first '<File>'"; without a command, "Record '<File>' left alone: ...".
std::string PleftText(const char* command, int n, const char* file);
// Writes the recorded path (most recent folder, '/', name) into buf of len bytes; returns
// the start of the file name inside buf, or null when there is no name, the File names no file
// (PisFileName) or the path does not fit.
char* PcurrentFile(char* buf, int len, const DBRecord& r);
