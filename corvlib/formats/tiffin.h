// TIFFin: a reader of TIFF directory structures (header, chained image file directories,
// 12-byte entries) over a file or a memory block, in either byte order. It serves the TIFF
// reader and, over the EXIF segment of a JPEG file, the EXIF routines. Every offset and count
// read from the data is checked against the data's length before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

// Entry data types, numbered as TIFF numbers them.
enum TIFFdatatype : int {
  TIFF_NOTYPE = 0,
  TIFF_BYTE = 1,
  TIFF_ASCII = 2,
  TIFF_SHORT = 3,
  TIFF_LONG = 4,
  TIFF_RATIONAL = 5,
  TIFF_SBYTE = 6,
  TIFF_UNDEFINED = 7,
  TIFF_SSHORT = 8,
  TIFF_SLONG = 9,
  TIFF_SRATIONAL = 10,
  TIFF_FLOAT = 11,
  TIFF_DOUBLE = 12
};
// Bytes per value of each type 0..12 (0 for "no type").
extern const int TIFFbytes_comp[13];

// Largest ASCII value GetTagValue stores: its destination must hold this many bytes.
constexpr int TIFFIN_MAXASCII = 512;

class TIFFin {
 public:
  // 1 when the host stores numbers little-endian.
  static const int nativeLE;

  TIFFin() = default;
  ~TIFFin();
  TIFFin(const TIFFin&) = delete;
  TIFFin& operator=(const TIFFin&) = delete;

  // Attaches a file (opened for binary input) and checks its header; 1 on success.
  int OpenFile(const char* path);
  // The same for the file open at fd (taken), read from its start: every walk through its
  // directories starts with a seek, so other readers of the same open file may move its
  // position between walks.
  int UseFd(int fd);
  // Attaches a copy of len bytes at data and checks the header; 0 for null data or len < 9.
  int UseBuffer(const void* data, size_t len);
  // Checks the header ("II" or "MM", then 42) and takes the data's length; on failure the
  // stream is dropped.
  int check();

  // Selects directory n of the chain (0 is IFD0); 1 on success.
  int SetIFD(int n);
  // Selects the directory at a file offset (e.g. the EXIF or GPS directory).
  int SeekIFD(uint32_t offset);
  // The tag of the next entry of the current directory, or -1.
  int NextTag();
  // 1 when the current directory has tag (positioned just after its tag number), else 0.
  int FindTag(int tag);
  // Reads the value of the entry just found into dest: at most maxcount values (for ASCII,
  // maxcount - 1 characters and a NUL, so dest holds maxcount bytes) of the given type (0 takes
  // the stored type; RATIONAL and SRATIONAL each take either, decoded as stored). elemsize: 0
  // the type's size; for (S)RATIONAL 4 stores floats and 8 doubles. Returns the number of
  // values stored, 0 on failure.
  int GetData(void* dest, int type, int maxcount, int elemsize);
  // FindTag then GetData of one value (RATIONALs as floats; ASCII up to TIFFIN_MAXASCII
  // bytes); 1 when a value was stored.
  int GetTagValue(int tag, void* dest, int type);
  // The first value of an integer entry (tag 0: the entry just found); 0 on failure.
  uint32_t GetInteger(int tag);
  // The first value of a numeric entry (tag 0: the entry just found); 0.0 on failure.
  double GetReal(int tag);
  // The stored type of the value GetData read last (0 when none).
  int LastType() const { return lastType_; }

  // Lends the stream positioned at offset (null on failure); the TIFFin is unusable until
  // ReleaseStream gives it back.
  std::istream* GrabStream(uint32_t offset);
  // Takes a lent stream back; any other non-null stream is deleted.
  void ReleaseStream(std::istream* s);

  // Reads n bytes (1 to 4) and assembles them in the data's byte order (0 after a failed read;
  // see failed()).
  uint32_t getWord(int n);

  // Whether the last read or seek failed.
  bool failed() const { return stream_ == nullptr || stream_->fail(); }
  // Length of the data in bytes.
  uint32_t length() const { return length_; }
  int littleEndian() const { return littleEndian_; }

 private:
  bool seek(uint64_t offset);
  bool skip(int n);
  uint64_t getWord64();
  bool firstValue(int tag, uint32_t* integer, double* real, bool* isInteger);
  void dropStream();

  std::istream* stream_ = nullptr;
  // 0 no stream or lent out; 1 header checked, position unknown; 2 just attached, at the
  // start; 3 at an entry boundary of the current directory; 4 just after an entry's tag.
  int state_ = 1;
  uint32_t length_ = 0;
  int littleEndian_ = 0;
  uint32_t firstEntry_ = 0;  // offset of the current directory's first entry; 0 none
  int entryCount_ = 0;
  int nextEntry_ = 0;
  int lastType_ = 0;
};
