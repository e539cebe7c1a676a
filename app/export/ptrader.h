// Records and images leaving and entering the program: tab-separated record tables written and
// read, the check that keeps records with their moved image files, clipboard exchange, image
// export as JPEG files, the web album and the high-dynamic-range rendering both can use.
//
// Every command works on the main window's catalogue context unless given another. Commands
// that pump events while they work hold the busy guard, so that nothing replaces the records
// under them. Files are written under a temporary name beside their place and renamed there
// when complete: a failed or cancelled command leaves the files it would have replaced as
// they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

#include "app/core/phooks.h"
#include "app/export/paspect.h"
#include "db/dbrlist.h"
#include "platform/ptypes.h"

class DBAccess;
class DBRecord;
class PContext;
class PContextState;
class PImageRing;
class PSafeFile;
struct _ImgStruct;
struct _ImgWriteBuf;

// ---- Record tables and the check of image files (precords.cpp, precread.cpp).

// Save-dialog callbacks of Export Records and Export Catalog: ctx is the catalogue context
// (PContext*, NULL: the main window's). The number of records written, 0 when there was nothing
// to do, -1 on failure.
int saveRecords(const char* fname, void* ctx);
int saveCatalog(const char* fname, void* ctx);
// Imports a record table, or a catalogue when the name ends in ".qdb" (any case), as the
// displayed records; a NULL path asks for the file.
void importRecords(const char* fpath);
// Selects the displayed records that lack one of their file facts (the fields whose flags
// masked with 0x0C00 are 0x0800), so that a forced check reads them from their files again.
void selectRecordsForUpdate(PContextState* state);
// Finds the image files of the selected displayed records (all when none is selected, and then
// force is off) where they moved, and with force reads each file's facts again. A catalogue
// display of a writable catalogue gets the changes back as one undo step. Whether a record
// changed, and whether the user gave up (a file's question cancelled, Stop, or a quit). NULL
// ctx: the main window's.
PCheckResult checkRecords(bool force, PContext* ctx);
// The file locator's question for a lost file: asks to remount its volume or to find it; true
// with the new path in path.
bool locateImage(char* path, int len, DBRecord* rec);

// Reading tables into a display: a text table (header line of field names, the separator found
// from it) appended to st's displayed records by field name; a catalogue's records in its own
// order. The number read. Neither pumps events nor touches the selection.
int PreadRecordTable(std::istream* is, PContextState* st);
// Whether the n bytes that begin a file are UTF-16 text, in either byte order, with or without
// its byte-order mark: no record table (those are UTF-8) reads from it.
bool PisUTF16Text(const char* head, size_t n);
int PreadCatalogRecords(DBAccess* db, PContextState* st);

// ---- Clipboard exchange (pscrap.cpp). The clipboard's content is known by its generation.

typedef uint64_t ScrapRef;
constexpr ScrapRef kCurrentScrap = ~static_cast<ScrapRef>(0);

// Whether the clipboard (its current content for kCurrentScrap) holds a record table: the first
// 4,096 bytes hold a header line and at least one record. Known per generation, so the same
// content is read once, and the program's own copies are never read.
bool checkPasteBuffer(ScrapRef scrap = kCurrentScrap);
// The clipboard's record table as the displayed records.
void pasteRecords();
// The selected records' file paths, one a line.
void copyFilenames();
// True when at least one record is selected and every selected one has a latitude and a
// longitude.
bool checkGlobalPositions();
// The selected records' positions, "latitude longitude" with 6 decimals, one a line.
void copyGlobalPositions();
// Copy File Names and Copy Positions, for any window; false for another command.
bool PcopyCommand(OSType cmd);

// ---- High-dynamic-range rendering for export (phdrexport.cpp).

// Whether a Format text names a high-dynamic-range encoding.
bool formatIsHDR(const char* format);
// Reads the floating-point pixels of ring's record from its file into im (empty on entry), with
// the record's crop and orientation, within maxwidth x maxheight (0 or less: no bound), trimmed
// to the shorter-over-longer aspect when above 0.01; wbp (when given) gets a write buffer over
// it with the file's information. False when the file is not floating point or cannot be read.
bool loadHDRImage(const PImageRing& ring, _ImgStruct* im, int maxwidth, int maxheight,
                  _ImgWriteBuf* wbp, float aspect);

// ---- Image export (pimgexport.cpp).

class ImgExporter {
 public:
  explicit ImgExporter(const char* folder);

  // The destination folder; false (the previous one kept) when it is not writable. Numbered
  // names then go on from the first free number.
  bool SetFolder(const char* folder);
  const char* GetFolder() const { return imgdir[0] ? imgdir : nullptr; }
  // Writes one record's image; true on success.
  bool Export(const DBRecord& rec);

 private:
  char* mkFilename(char* buf, int n) const;
  char imgdir[1024];

 public:
  int nextimage;            // next number of numbered names; 0: names of the records
  int maxwidth, maxheight;  // bounds, 0 or less: none
  float aspect;             // shorter over longer side, 0.01 or less: the picture's own
  bool overwrite;           // existing files may be replaced
  bool saveHDR;             // keep high-dynamic-range data where the source has it
  int pem;                  // exposure-mode bits of the rendering
  int qual;                 // JPEG quality
};

// The Export Images command: the number of images written.
int exportImages();
// The control ('eimg', id) of the export options window; NULL when none.
ControlRef imgExportControl(int id);
// Snaps a size to the nearest standard size within 1/16 of it.
int snap2size(int v);
// Whether path is the record's own image file: the same file (through any link), or the
// record's name in one of its folders, byte for byte.
bool isSelf(const char* path, const DBRecord& rec);
// The standard sizes, ended by 0, and the export window's largest size (its "no bound").
extern const int sizeTab[];
extern int MaxISize;

// ---- The web album (pwebalbum.cpp).

class WebAlbumAuthor {
 public:
  WebAlbumAuthor(const char* fname, const char* title);
  ~WebAlbumAuthor();
  WebAlbumAuthor(const WebAlbumAuthor&) = delete;
  WebAlbumAuthor& operator=(const WebAlbumAuthor&) = delete;

  bool Ready() const { return fname != nullptr; }
  // Starts the page (and its image folder "img" beside it); false when it cannot be written.
  bool Open(const char* fname, const char* title);
  // Writes one record's images and its block on the page; false when nothing usable was written.
  bool ImageLink(const DBRecord& rec);
  // Ends the page and puts it in place, with its pictures and the list of linked source files
  // when they were linked; false when the page or a picture could not be put in place.
  bool Close();
  // Drops the page and its pictures unwritten (the old page and pictures, if any, stay) and the
  // image folder when this writer made it and it is still empty.
  void Discard();

 private:
  void Info(const DBRecord& rec);
  // The file name for kind ('i', 'l', 'o') of a record: base, kind and number, made unique in
  // this album for owner.
  std::string ImageName(const char* base, char kind, unsigned num, const char* suffix,
                        const std::string& owner);
  // The pictures are written under temporary names beside their places and put there with the
  // page: a free temporary name for path (one given for path before is dropped), empty when
  // none can be had; a picture not written after all dropped; the renames; the temporary
  // files removed.
  std::string Stage(const std::string& path);
  void Unstage(const std::string& path);
  bool CommitStaged();
  void DropStaged();

  // Closes the image folder; with remove, removes it too when it is still the folder made here
  // and empty.
  void CloseFolder(bool remove);

  const char* fname;
  char imgdir[1024];
  bool madeDir = false;
  // The image folder, checked as it was opened and written in through this descriptor only
  // (imgat, "/proc/self/fd/N"), so that nothing another user swaps in at its name later
  // receives a picture.
  int imgfd = -1;
  std::string imgat;
  PSafeFile* ofs;
  DBRecordList linkedRL;
  std::map<std::string, std::string> names;   // image name -> what it shows
  std::map<std::string, std::string> staged;  // picture's path -> its temporary file

 public:
  int iwidth, iheight;  // box of the inline images
  int lwidth, lheight;  // box of the large images: negative none, 0 full size
  bool linkOrig;        // copy (or link) the source files beside the images
  bool saveHDR;         // large images keep high-dynamic-range data
  int pem;              // exposure-mode bits of the rendering
  unsigned char bgRGB[3];
  int qual;      // JPEG quality
  int infflags;  // caption fields
};

// The hash that names a record's album images: its content hash with its edits mixed in.
long myImgRecordHash(const DBRecord& rec);
// Save-dialog callback of the web album: ctx is the catalogue context (PContext*, NULL: the
// main window's). The number of images, 0 when nothing was done, -1 on failure.
int saveWebPage(const char* fname, void* ctx);
// The control ('eweb', id) of the web-album options window; NULL when none.
ControlRef webControl(int id);
// Breaks a text into lines of about 50 characters at white space, in place.
void breakLine(char* s);
// The web window's largest linked-image factor (its "full size").
extern int MaxLSize;
