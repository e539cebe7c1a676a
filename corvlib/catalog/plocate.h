// Finding a record's image file after it moved: in the folders the record remembers, through
// the program's folder migrations (rules saying that files once under one folder are now
// under another), or by asking the caller; a successful answer updates the record and teaches
// a new rule; and opening a record's image file wherever it is found.
#pragma once

#include "catalog/pdbase.h"
#include "image/pireader.h"

// One migration rule of a list ordered by use; a rule owns the rest of the list after it.
class PFileMigration {
 public:
  // The rule for the change between the two paths of one file (or two folders). A pair that
  // shows no change makes an empty rule (reported as a warning) that matches nothing.
  PFileMigration(const char* oldpath, const char* newpath, PFileMigration* nxt = nullptr);
  ~PFileMigration();
  PFileMigration(const PFileMigration&) = delete;
  PFileMigration& operator=(const PFileMigration&) = delete;

  // The old and new folders of the change between two paths (buffers of 1,024 bytes);
  // 0 when an argument is null or the paths show no change.
  static int GetChange(char* dold, char* dnew, const char* oldpath, const char* newpath);
  // Called on the head: an equal rule, or a new one appended at the end; null when the
  // paths show no change.
  PFileMigration* AddMigration(const char* oldpath, const char* newpath);
  // Called on the head: moves rule to the front; the new head (null when rule is not listed).
  PFileMigration* Promote(const PFileMigration* rule);
  // The first rule from this one on whose old folder is a whole-component prefix of path.
  PFileMigration* Match(const char* path) const;
  // The first rule from this one on for the change between two paths.
  PFileMigration* Match(const char* oldpath, const char* newpath) const;
  // Writes path rewritten from the old to the new folder into dst (len bytes); 0 when the
  // path is not under the old folder or the result does not fit.
  int Migrate(char* dst, int len, const char* path) const;

  PFileMigration* GetNext() const { return next; }
  const char* GetOldDir() const { return dold; }
  const char* GetNewDir() const { return dnew; }
  bool IsValid() const { return dold != nullptr && dnew != nullptr; }

 private:
  // A rule of two folders as they are.
  PFileMigration(const char* dold, const char* dnew, PFileMigration* nxt, bool folders);

  const char* dold;
  const char* dnew;
  int doldlen, dnewlen;
  PFileMigration* next;
};

// The program's migration rules, most useful first; null when there are none.
extern PFileMigration* PFMigrations;

enum PLocateFileRes {
  PLFRfail = -1,     // not found
  PLFRchanged = 0,   // a file of that name where expected, with other contents
  PLFRok = 1,        // unchanged in the most recent folder
  PLFRputback = 2,   // unchanged in another recorded folder, or with a new time
  PLFRmigrated = 3,  // found through a folder migration
  PLFRrenamed = 4,   // the caller supplied a file of another name with the same contents
};

// Finds r's file; writes the path found into path (len bytes). The record is not changed;
// a rule that found the file moves to the front of PFMigrations.
PLocateFileRes PlocateFile(char* path, int len, const DBRecord& r);
// The same, then records the path found in *r; when the file is lost, ask (may be null) is
// called with the path buffer, its length and the record to supply a path, and returns false
// when the user gives up.
PLocateFileRes PlocateFile(char* path, int len, DBRecord* r, bool (*ask)(char*, int, DBRecord*));

// Where the picture of r stays once its file at path is gone: the first folder of r's Location
// (then of also's, when given) other than path's own folder, by any name that reaches it, that
// holds a regular file of r's name with r's recorded length and content hash (a record without
// them has no copy). *kept becomes a copy of r pointing there: that folder first in Location,
// path's folder (by any of its names) left out, and the found file's modification time; the
// found path goes into found (len bytes) when given. False, *kept untouched, when none is found.
bool PkeepForCopy(DBRecord* kept, const DBRecord& r, const char* path,
                  const DBRecord* also = nullptr, char* found = nullptr, int len = 0);

// An open reader on r's image file, found with PlocateFile and opened with the reader its
// Format names (or, without one, its suffix); null on failure (reported unless quiet). The
// caller closes it through its interface.
_ImgReader* PopenImageD(const DBRecord& r, bool quiet);
