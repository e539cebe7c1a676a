// File helpers and the file dialogs. Paths are NUL-terminated UTF-8 strings of at most 1024
// bytes. A file reference is an absolute path with the device and inode it named when it was
// made; an alias is a symbolic link (chains followed). The dialogs are the platform's: each
// returns a plain path, and a cancelled dialog sets gConfirmResponse to 'not!' and leaves a
// "trace" message, so that callers tell a cancel from a failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/ptypes.h"

class DBRecord;

// Document type codes: the catalogue (creator 'Corv'), text, web page and the image files;
// '????' is any type. The type chooses a file's suffix.
constexpr OSType kDocCreator = FourCC("Corv");
constexpr OSType kDocCatalog = FourCC("QRDB");
constexpr OSType kDocText = FourCC("TEXT");
constexpr OSType kDocHTML = FourCC("HTML");
constexpr OSType kDocTIFF = FourCC("TIFF");
constexpr OSType kDocJPEG = FourCC("JPEG");
constexpr OSType kDocOpenEXR = FourCC("OEXR");
constexpr OSType kDocPicture = FourCC("RHDR");
constexpr OSType kDocAny = FourCC("????");

// A file or folder as the file system knows it: its absolute path and identity.
struct FSRef {
  char path[1024];
  dev_t dev;
  ino_t ino;
};
typedef FSRef FSSpec;

// The reply of a file dialog: whether something was chosen, and the paths chosen.
struct NavReplyRecord {
  bool validRecord = false;
  std::vector<std::string> selection;
};

// The records a command leaves alone because their File names no file (a path, say: see
// PisFileName): no file is acted on for them, and the command tells once which it left.
class PLeftRecords {
 public:
  explicit PLeftRecords(const char* command) : command_(command) {}
  // Whether rec's File names a file; when not, rec is counted as left (the first kept).
  bool Named(const DBRecord& rec);
  int Count() const { return n_; }
  // What the command tells (PleftText); empty when it left none.
  std::string Text() const;
  // Tells it in an alert (class input); nothing when none was left.
  void Tell() const;

 private:
  const char* command_;
  int n_ = 0;
  std::string first_;
};

// Makes dpath name the same file as spath: a hard link, or a symbolic link where a hard link
// cannot be made (another file system). An existing dpath is replaced only once the new link
// exists; the same file already is success.
bool linkFile(const char* dpath, const char* spath);
// Copies the bytes of spath to dpath through a temporary file that replaces dpath when whole;
// a failed copy leaves dpath as it was. A long copy gives way between blocks (PworkSlice,
// support/pwork.h); a false answer there ends it, untold, as a failure.
bool copyFile(const char* dpath, const char* spath);
// Tells (class resource) that the file at path could not be opened to be read, errno err left
// by PopenRead (support/futil.h): "Cannot open file '<path>' for reading", and why in words
// when the name holds a folder or anything else that is not a regular file.
void tellCannotRead(const char* path, int err);

// The reference of an existing file or folder at an absolute path.
bool getFspecFromPath(FSSpec* fs, const char* path);
// The path of a reference, into buf of len bytes; NULL when the reference no longer names its
// file, or the path does not fit.
char* getPathFromRef(char* buf, int len, const FSRef* ref);
// The path of the one item of a dialog's reply (with ftype set, a file to be made may not exist
// yet); its reference into retRef when given. NULL for an invalid reply, several items, or an
// item that cannot be found.
char* getNavPath(char* buf, int len, const NavReplyRecord& nr, FSRef* retRef, OSType ftype,
                 OSType creator);

// Asks for a folder: dpath (and its reference in dref when given), or NULL.
char* chooseFolder(char* dpath, int dplen, FSRef* dref);
// With dr, asks where that record's image is now ("Find Image"), listing only files of the
// record's name or of its size and content hash (a file of another name and other size or
// content typed in is refused, the dialog saying why and staying open); without, asks for an
// image to open, listing only files an image reader opens. True with the path in fpath.
bool chooseImage(char* fpath, int fplen, const DBRecord* dr);
// The list filter of chooseImage: whether the file at path is shown (folders always are).
bool imgFileFilter(const char* path, const DBRecord* dr);
// Asks for a new file's name ("Save cat as", the name proposed by the type) and calls
// savef(path, p), which writes the file; its result, 0 when cancelled.
int saveDialog(int (*savef)(const char* path, void* p), void* p, const char* cat, OSType typ,
               OSType cre);
// Asks for an existing file of type typ ('????': any): fpath, or NULL.
char* openDialog(char* fpath, int fplen, const char* cat, OSType typ, OSType cre);
// The save callback of the new-catalogue command: opens the new catalogue, asks whether it
// allows one entry per file, and writes its header.
int freshCatalog(const char* path, void* p);
// The open-catalogue command.
bool chooseCatalog();
// The new-catalogue command.
void newCatalog();

// The format pop-up of the image save dialog: when the format chosen differs from the one *od
// holds, it is stored there and the proposed name's suffix becomes that format's (in upper
// case when the old suffix was all upper case). Only kNavCBPopupMenuSelect is handled.
enum : int { kNavCBPopupMenuSelect = 8 };
struct NavCBRec {
  OSType format;  // the format chosen
  char name[65];  // the proposed file name, rewritten in place
};
void navEventHandler(int cbSelector, NavCBRec* cbParams, void* od);
