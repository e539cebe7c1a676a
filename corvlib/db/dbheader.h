// The database header block: the text header of fixed size (HeaderSize bytes) at the start
// of every database file, holding the software name, the storage geometry, the byte order of
// the blocks and the record schema. DBHeader is the schema itself plus its list of header
// variables; catalogue headers derive from it, declare further variables in their
// constructors and override Hash, CheckValues and SetDefaults.
#pragma once

#include <iosfwd>
#include <string>

#include "db/dbhlink.h"
#include "db/dbschema.h"

class DBHeader : public DBFieldInfo {
 public:
  DBHeader();
  // Syncs a plain header. A subclass that declared variables of its own must call Sync()
  // in its own destructor: by the time this one runs, its variables' storage is gone.
  ~DBHeader() override;
  DBHeader(const DBHeader&) = delete;
  DBHeader& operator=(const DBHeader&) = delete;

  // Binds the header to a database stream (not owned); returns HeaderSize, 0 on failure.
  int Attach(std::iostream* s, bool readonly);
  // Reads the header from bytes copied from the start of the file open in s, and binds it to
  // s read-only; returns HeaderSize, 0 on failure.
  int AttachCopy(const std::string& bytes, std::iostream* s);
  // Makes the header read-only for good (the file was found damaged, say); why tells the user
  // why the file is not written (the first reason given is kept until the next Attach).
  void ForbidWrites(const std::string& why = std::string()) {
    if (whyReadOnly.empty()) whyReadOnly = why;
    readonly = true;
  }
  // Why a file opened for writing was made read-only; empty when read-only was asked for.
  const std::string& WhyReadOnly() const { return whyReadOnly; }
  // Writes the header when it changed; true when the file holds the current header. A header
  // whose store writes its file through a journal is never written here (see WriteByStore).
  bool Sync() const;
  // Whether the store the header is attached to writes the file, header included, only
  // through the journal of its syncs: then Sync, Attach and the destructor write nothing in
  // place, so that no write outside a sync can spoil the file or the journal of a sync that
  // did not complete. Until the next Attach.
  void WriteByStore(bool on) { byStore = on; }
  // The HeaderSize bytes Sync would write, empty when the file holds the current header (of a
  // read-only header too: whether the file may be written at all the writer asks ReadOnly);
  // false when the header cannot be written (reported). For a writer of its own, which then
  // calls SetChangedFlag(false).
  bool SyncText(std::string* text) const;
  bool CheckMagic() const;
  bool PutMagic() const;

  // The whole variable list (the schema is its FieldInfo sub-block).
  int WriteInfo(std::ostream* os, int level) const override;
  int InfoSize() const override;
  int ReadInfo(std::istream* is) override;

  // 31-bit change detector over the header's state; subclasses mix in their variables.
  virtual int Hash() const;
  // 1 when the values are usable (FieldSize 8, FieldsPerBlock 8192), else 0.
  virtual int CheckValues() const;
  // The values of a new file.
  virtual void SetDefaults();

  // true: the next Sync writes; false: the current state counts as written.
  void SetChangedFlag(bool changed);
  // Whether the header changed since it was last written (or read).
  bool Unwritten() const { return Hash() != lastsync; }

  std::iostream* GetStream() const { return strm; }
  bool ReadOnly() const { return readonly; }
  int GetSize() const { return hdrsiz; }
  // 1 when the file's blocks are stored most significant byte first.
  int BigEndianFile() const { return bigendfile; }
  DBHeaderLink* GetVars() const { return hvars; }

  // Schema edits that keep the header readable: names of 1..63 characters and descriptions
  // without double quotes or line breaks (an empty description becomes the name), and, on an
  // attached header, no edit that would make the text outgrow HeaderSize.
  using DBFieldInfo::Field;
  using DBFieldInfo::Rename;
  int Field(const char* name, DBDataType type, const char* description = nullptr, int flags = 0,
            DBFormatFunc formatter = nullptr);
  bool Rename(int id, const char* name);

  // Builds the full header text ("QRDB = {" ... "}\t// QRDB\n") without padding.
  bool ComposeText(std::string* text) const;

  // 1 when this host stores integers most significant byte first.
  static const int bigendian;

 protected:
  int hdrsiz;
  int bigendfile;
  int fieldsize;
  int fieldsperblock;
  char soft[128];
  mutable int lastsync;
  bool readonly;
  std::iostream* strm;
  DBHeaderLink* hvars;

 private:
  // Checks the text read (end bytes) and its padding up to HeaderSize: false for a NUL in the
  // text; *ro set when the padding holds anything but line feeds.
  bool CheckText(long long end, bool* ro) const;

  DBHeaderLink* basehead;  // the last variable this class declared
  std::string whyReadOnly;
  bool byStore = false;
};

// The callbacks of the FieldInfo variable: the schema block of a header given as context.
int DBHReadFieldInfo(void* o, std::istream* is);
int DBHWriteFieldInfo(void* o, std::ostream* os, int level);

// The FieldInfo block of a schema: sort-order line and one line per field.
int DBReadFieldInfoBlock(DBFieldInfo* schema, std::istream* is);
int DBWriteFieldInfoBlock(const DBFieldInfo* schema, std::ostream* os, int level);
