// Image file formats plug into the library through two tables of functions: an
// _ImgReaderInterface per readable format and an _ImgWriterInterface per writable one.
// This header holds those tables, the reader record, read and write requests, the image
// information record with its parameter text, the registry of readers and rendering from a
// reader into an image of any size and colour space.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/pimage.h"

// A reader's error code; IREMsg holds its text and IREClass the message class it is reported in.
enum ImgReadErr : int32_t {
  IREnone = 0,
  IREunsupported = 1,
  IREtruncated = 2,
  IREformat = 3,
  IREread = 4,
  IREmemory = 5,
  IREunknown = 6
};
constexpr int IRE_NCODES = 7;
extern const char* const IREMsg[IRE_NCODES];
extern const unsigned IREClass[IRE_NCODES];

struct _ImgReader;
struct _ImgReadBuf;
struct _ImgInfo;

// The operations of one readable format. Any slot but suffixList may be null.
struct _ImgReaderInterface {
  // Dot-separated, case-insensitive names: the format's name, then its file suffixes,
  // e.g. "TIFF.tif". A file matches when its suffix equals any entry.
  const char* suffixList;
  // Opens a file and reads its header. Null: not this format or unreadable; a reader with a
  // non-zero errCode: recognised but damaged.
  _ImgReader* (*Open)(const char* path);
  ImgReadErr (*SeekFrame)(_ImgReader* ir, int offset, int whence);
  ImgReadErr (*GetInfo)(_ImgReader* ir, _ImgInfo* info);
  ImgReadErr (*GetThumbnail)(_ImgReader* ir, _ImgStruct* img);
  // How a high-dynamic-range reader maps to 8-bit output on later reads.
  void (*ToneMapping)(_ImgReader* ir, double dynrange, double maxlum, int flags);
  ImgReadErr (*ReadRec)(_ImgReader* ir, _ImgReadBuf* rb);
  void (*Close)(_ImgReader* ir);
};

// The common head of every format's reader state; a format's own state follows it.
struct _ImgReader {
  const _ImgReaderInterface* ri;
  char file[1024];
  int32_t frame, nframes;
  ImgFrameType frameType;
  float frameRate;
  int32_t xres, yres;
  float pixAspect;  // picture height/width = yres / (xres * pixAspect)
  _ImgColorSpace cs;
  const char* encoding;
  _ImgRect fr;  // the reader's own
  _ImgRect nr;  // what the reader can deliver next without going back
  ImgReadErr errCode;
  char errMsg[256];
};

// A read request. The reader delivers the rectangle r, keeping every subsample-th pixel in
// each direction, as rows packed without gaps into buf, in cs.
//
// buf holds bufsize bytes. A reader must never write more: before writing it checks with
// PreadBufFits() that the delivery in the colour space it will write fits. A reader that
// cannot deliver cs within bufsize bytes writes the colour space it would deliver into cs,
// moves r's right or bottom edge (so that the caller sees nothing was read) and returns
// IREnone; the caller may then retry with a buffer sized for that colour space.
struct _ImgReadBuf {
  _ImgColorSpace cs;
  _ImgRect r;
  int32_t subsample;
  void* buf;
  size_t bufsize;
};

// Bytes that a delivery of rb->r at rb->subsample in rb->cs needs; 0 when the request is
// empty or malformed or the size overflows.
size_t PreadBufBytes(const _ImgReadBuf* rb);
// Whether that delivery fits into rb->bufsize bytes at rb->buf.
int PreadBufFits(const _ImgReadBuf* rb);

enum ImgFlashMode : int32_t { IFMoff = 0, IFMon = 1, IFMnostrobe = 5, IFMstrobe = 7, IFMmask = 7 };

enum ImgWhiteBal : int32_t {
  IWBauto = 0,
  IWBdaylight = 1,
  IWBfluor = 2,
  IWBincand = 3,
  IWBflash = 4,
  IWBdaylight1 = 9,
  IWBovercast = 10,
  IWBshadow = 11,
  IWBfluor1 = 14,
  IWBstilla = 17,
  IWBstillb = 18,
  IWBstillc = 19,
  IWBd55 = 20,
  IWBd65 = 21,
  IWBd75 = 22,
  IWBd50 = 23,
  IWBincand1 = 24,
  IWBother = 255
};

enum ImgOrientation : int32_t {
  IOtopleft = 1,
  IOtopright = 2,
  IObotright = 3,
  IObotleft = 4,
  IOlefttop = 5,
  IOrighttop = 6,
  IOrightbot = 7,
  IOleftbot = 8
};

// Validity bits of _ImgInfo::flags.
enum : uint32_t {
  IIFsource = 0x1,
  IIFstonits = 0x2,
  IIFcapdate = 0x4,
  IIFhdensity = 0x8,
  IIFhvangle = 0x10,
  IIFfocus = 0x20,
  IIFgmtdate = 0x40,
  IIFlatlong = 0x80,
  IIFaltitude = 0x100,
  IIFflash = 0x200,
  IIFexptime = 0x400,
  IIFaperture = 0x800,
  IIFasa = 0x1000,
  IIFwhitebal = 0x2000,
  IIFview = 0x4000,
  IIFowner = 0x8000,
  IIFparams = 0x10000,
  IIFcomments = 0x20000,
  IIFquality = 0x40000,
  IIFcrop = 0x80000,
  IIForientation = 0x100000,
  IIFbearing = 0x200000
};

constexpr size_t IMG_INFO_PARAMLEN = 2048;  // bytes of the parameter text, NUL included
constexpr size_t IMG_INFO_VALUELEN = 256;   // bytes a GetImgInfoParam value needs

// Image information exchanged between readers, writers and the catalogue.
struct _ImgInfo {
  uint32_t flags;
  struct {
    int32_t stype;
    char make[64];
    char model[64];
    char vers[64];
  } source;
  float hdensity;
  float hvangle;
  float stonits;     // sample value to cd/m^2
  char capdate[20];  // "YYYY:MM:DD hh:mm:ss"
  char gmtdate[20];
  float latlong[2];
  float altitude;
  float bearing;
  ImgFlashMode flash;
  float exptime;
  float aperture;
  float asa;
  float focus;
  ImgWhiteBal whitebal;
  int32_t quality;
  _ImgRect crop;
  ImgOrientation orientation;
  char view[256];
  char owner[256];
  char params[IMG_INFO_PARAMLEN];  // "name=value\n" lines, valid with IIFparams
  char comments[2048];
};

// An image to be written.
struct _ImgWriteBuf {
  int32_t xres, yres, rowsize;
  float pixAspect;
  const _ImgColorSpace* csp;
  _ImgInfo info;
  const void* img;
};

// Fills row (the write request's xres pixels in its colour space, packed) with row y of a
// picture being written; rows are asked for in order from 0. 0 abandons the write.
typedef int (*ImgRowSource)(uint8_t* row, int y, void* data);

// The operations of one writable format.
struct _ImgWriterInterface {
  char suffix[8];  // written file suffix without the dot
  // The encoding that would be written for cs at quality, or null when cs cannot be written.
  const char* (*SupportedCS)(const _ImgColorSpace* cs, int quality);
  // Writes the file; returns its size in bytes, 0 on failure.
  long (*WriteImage)(const char* path, const _ImgWriteBuf* wb);
  // Writes the same file of rows that come one at a time from source (wb's pixels are not
  // used), so that a picture need not be held whole to be written; 0 on failure, when the
  // source abandons the write, and for an encoding that needs the whole picture at once (then
  // WriteImage writes it).
  long (*WriteRows)(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data);
};

// The reader registry: at most IR_MAXREADERS interfaces in registration order, null-ended.
constexpr int IR_MAXREADERS = 64;
extern const _ImgReaderInterface* PIReaderI[IR_MAXREADERS + 1];

// Registers an interface; returns its index (the old one when already present), or -1 for a
// null pointer or a full registry.
int PaddIReaderI(const _ImgReaderInterface* ri);
// The text after the last '.' of the file name; null when there is none, when the '.' ends
// the name or begins it; "NO FILE" for a null path.
const char* PgetSuffix(const char* path);
// The part of path after its last '/'.
const char* PgetFilename(const char* path);
// 1 when suffix equals one of ri's entries, ignoring case.
int PmatchSuffix(const _ImgReaderInterface* ri, const char* suffix);
// Writes the registered interfaces that match suffix, in registration order, into list
// (room for IR_MAXREADERS + 1 entries), null-ended; returns how many.
int PtargetReader(const _ImgReaderInterface** list, const char* suffix);
// Notes bytes (1 to IR_MAXMAGIC of them) that the files of a registered reader begin with;
// a reader may note several. 1 when noted (or noted before), 0 for bad arguments, a reader
// not registered or a full table.
constexpr size_t IR_MAXMAGIC = 8;
int PaddIReaderMagic(const _ImgReaderInterface* ri, const void* bytes, size_t len);
// Opens a file of one format from a descriptor of it: fd holds a regular file, at its start,
// opened once by name (path, kept for messages) and never opened by name again. The reader
// takes fd, and closes it also when it does not open the file.
typedef _ImgReader* (*ImgOpenFd)(int fd, const char* path);
// Notes how a registered reader opens a file from its descriptor; 1 when noted, 0 for bad
// arguments or a reader not registered. A reader without one is given the path.
int PaddIReaderFd(const _ImgReaderInterface* ri, ImgOpenFd opener);
// Opens path with ri, or else with the registered readers whose suffixes name it, trying the
// last registered first. When all of those refuse the file, the readers whose noted first
// bytes it begins with are tried as well (a file saved under another format's suffix).
// Readers that report an error are reported (unless quiet) and closed. The file is opened by
// name once (PopenRead, support/futil.h), and every reader tried reads that open file: a name
// that holds anything but a regular file is refused, "Cannot open '<path>': not a regular
// file" unless quiet.
_ImgReader* PopenImageF(const char* path, int quiet, const _ImgReaderInterface* ri);
// Opens a file the user named, whatever its name: the readers its suffix names, then those
// its first bytes name, opened once as PopenImageF opens it. A file none opens is reported
// once (unless quiet) as "Cannot open '<path>': <reason>", the reason the reader's own when one
// recognised the file.
_ImgReader* PopenImageAny(const char* path, int quiet);
// Reports a reader's error code and message.
void PreportReaderErr(const _ImgReader* ir);
// Tells a reader's error (nothing for none) as PopenImageAny tells a file it refuses:
// "Cannot open '<file>': <reason>", a failure to read or to find memory as a resource, any
// fault of the file itself as data. For pictures whose pixels fail after their header opened.
void PreportCannotOpen(const _ImgReader* ir);

// The parameter text of an _ImgInfo: lines "name=value\n".
// The start of name's line, or null.
const char* FindImgInfoParam(const _ImgInfo* info, const char* name);
// Sets (or with a null value removes) name's line; 0, with the text left unchanged, when the
// name is empty, the name or value holds a line break or '=', or the new line does not fit.
int SetImgInfoParam(_ImgInfo* info, const char* name, const char* value);
// Copies name's value (at most 255 characters) into value, which needs IMG_INFO_VALUELEN
// bytes; 1 when found. value is emptied first.
int GetImgInfoParam(const _ImgInfo* info, const char* name, char* value);

// Fills a write buffer from an image; info is emptied for the caller to fill.
int PsetWriteBuf(_ImgWriteBuf* wb, const _ImgStruct* img);

// Renders a reader's image into img, whose xres, yres and csp the caller set (pixels
// optional); the output keeps the picture's shape. On failure img has no pixels.
int PrenderImageR(_ImgStruct* img, _ImgReader* ir, int quiet);
// Renders an image into img's size (kept to src's shape) and colour space.
int PrenderImageI(_ImgStruct* img, const _ImgStruct* src);
