// Inside the TIFF reader and writer: opening libtiff handles with this system's message
// handlers and allocation cap, and the reader's state.
#pragma once

#include <cstdint>

#include <tiffio.h>

#include "formats/tiffimg.h"
#include "formats/tiffmeta.h"
#include "tonemap/tmloaders.h"
#include "tonemap/tonemap.h"

// A file held in memory, read through libtiff's client procedures (one per handle).
struct TiffMemFile {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  uint64_t pos = 0;
};

// libtiff handles whose warnings and errors go to TiffMessageBuffer and whose single
// allocations are capped at TiffMaxSingleAlloc. Each empties TiffMessageBuffer first.
TIFF* TiffOpenFd(int fd, const char* name, const char* mode);
TIFF* TiffOpenMemory(TiffMemFile* mf, const char* name);

// One libtiff handle with its decoded block. The reader keeps two: the native data, and for
// the logarithmic kinds a second handle whose SGILog data format delivers raw LogLuv words or
// 16-bit LogL values for tone mapping (libtiff cannot switch the format once it has decoded).
struct TiffBlockSource {
  TIFF* tif = nullptr;
  uint8_t* buf = nullptr;   // one block, pixels interleaved; then one plane for separate planes
  size_t bufBytes = 0;      // bytes allocated
  tmsize_t planeBytes = 0;  // bytes libtiff decodes for one block of one plane
  int sampleBytes = 0;
  int pixBytes = 0;
  bool separate = false;  // samples in separate planes
  long cached = -1;       // the block held in buf, -1 none
  TiffMemFile mem;        // the handle's view of an in-memory file
};

class TIFFReader : public _ImgReader {
 public:
  explicit TIFFReader(const void* data = nullptr, size_t size = 0);
  ~TIFFReader();
  TIFFReader(const TIFFReader&) = delete;
  TIFFReader& operator=(const TIFFReader&) = delete;

  // Opens the file open at fd (taken; -1 for an in-memory file), named path.
  int Open(int fd, const char* path);
  void Close();
  int Init();
  int SeekFrame(int n, int mode);
  int GetInfo(_ImgInfo* info);
  int GetThumbnail(_ImgStruct* img);
  void ToneMapping(double range, double maximum, int human);
  double GetS2Nits();
  int ReadRec(_ImgReadBuf* rb);
  // Whether the tone-mapping TIFF loader may read this page whole: LogLuv and LogL pages, and
  // 16-bit pages of gamma near 2.2.
  bool WholeToneLoad() const;
  // A descriptor of its own of the open file (closed by the caller), at its start; -1 for an
  // in-memory file or a closed one.
  int Fd() const;

 private:
  int SetConversion(const _ImgColorSpace* cs);
  int FillCopy(_ImgReadBuf* rb);
  int FillMapped(_ImgReadBuf* rb);
  int setupSource(TiffBlockSource* src, int samples, int sampleBytes);
  int blocksInFile();
  void tooLargeBlocks(uint64_t planeBytes);
  int openLogSource();
  void closeSource(TiffBlockSource* src);
  int readBlock(TiffBlockSource* src, uint32_t bx, uint32_t by);
  int copyRect(TiffBlockSource* src, const _ImgRect& r, int n, uint8_t* dst);
  int toBright(const uint8_t* pix, TMbright* ls, uint8_t* chr, int n);
  int histogramPass(TiffBlockSource* src);
  int ensureWork(size_t n, int pixSize);
  void freeWork();
  void dropMapping();
  void fail(ImgReadErr code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // A handle over fd (taken), or when fd is -1 over another descriptor of the file the first
  // handle reads; over the memory for an in-memory file.
  TIFF* openHandle(TiffMemFile* mem, int fd = -1);
  int attachTin();

  char encText_[64];
  const uint8_t* memData_;  // an in-memory file, or null for a file read through descriptors
  size_t memSize_;
  TiffBlockSource native_;
  TiffBlockSource log_;
  TIFFin* tin_ = nullptr;  // metadata reader on the same file, attached on first use
  bool ready_ = false;     // the current page is set up
  uint16_t samples_ = 0, bits_ = 0, compression_ = 0, planar_ = 0;
  uint16_t photometric_ = 0, sampleFormat_ = 0;
  bool tiled_ = false;
  uint32_t bw_ = 0, bh_ = 0;    // block width and height
  uint32_t nbx_ = 0, nby_ = 0;  // blocks across and down
  // Tone mapping.
  RGBPRIMS mapChroma_;  // display chromaticities the mapping was built for
  RGBPRIMS filePrims_;  // the file's primaries as the mapping's input
  double dispRange_ = 32, dispMax_ = 100;
  int human_ = 0;
  TMstruct* mapping_ = nullptr;
  TMtiffKind conv_ = TMT_NONE;  // what the tone-mapped fill converts
  size_t workCount_ = 0;
  int workPixSize_ = 0;
  TMbright* bright_ = nullptr;
  uint8_t* pix_ = nullptr;
  double stonits_ = -1;
  int (TIFFReader::*fill_)(_ImgReadBuf*) = &TIFFReader::FillCopy;
};
