// Reading a picture a band of rows at a time, reduced on the way, so that the memory a read
// takes follows the size the picture is used at, not the size it is stored at, and so that a
// long read can give way between bands (a slice at a time) and be stopped.
//
// The picture is reduced twice: by the reader itself (its subsampling: JPEG's scaled decoding
// at 1/2, 1/4 or 1/8, every n-th pixel for the other formats) and then by averaging blocks of
// m x m delivered pixels. The result has (xres / sub) / m x (yres / sub) / m pixels, handed to
// a sink one row at a time, top row first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "image/pireader.h"

// Pictures of more pixels than this are read in bands, a slice at a time, rather than whole in
// one request: a larger one would keep the program from its events for longer than a moment.
constexpr int64_t kSlicedReadPixels = int64_t{16} << 20;

inline bool PreadInSlices(int64_t w, int64_t h) {
  return w * h > kSlicedReadPixels;
}

class PBandReader {
 public:
  // Receives output row y (0 .. Height() - 1) in DeliveredCS(); false stops the read.
  using RowSink = std::function<bool(int y, const void* row)>;

  PBandReader() = default;
  ~PBandReader();
  PBandReader(const PBandReader&) = delete;
  PBandReader& operator=(const PBandReader&) = delete;

  // Prepares the read of ir's whole frame in cs (8-bit, 16-bit or float; grey or RGB), or in
  // the colour space the reader offers instead. sub must be a subsampling the reader takes
  // as it is (for JPEG 1, 2, 4 or 8). False when the request leaves no pixel.
  bool Begin(_ImgReader* ir, const _ImgColorSpace& cs, int sub, int m, RowSink sink);
  // Reads bands until `seconds` have gone by (at least one band): 1 when every row was
  // delivered, 0 when rows remain, -1 when the reader failed or the sink stopped (the
  // reader's errCode tells a failure of its own).
  int Step(double seconds);
  // Reads band after band to the end, calling PworkSlice (support/pwork.h) between bands; true
  // when every row was delivered. *stopped, when given, tells whether a PworkSlice answer
  // ended the read rather than a failure.
  bool ReadSliced(bool* stopped = nullptr);

  int Width() const { return outW_; }
  int Height() const { return outH_; }
  // The colour space of the delivered rows; settled by the first band.
  const _ImgColorSpace& DeliveredCS() const { return cs_; }
  // The part of the rows delivered so far (0 .. 1).
  double Done() const { return outH_ > 0 ? static_cast<double>(nextOut_) / outH_ : 1.0; }

  // Whether rows of cs can be delivered (8-bit, 16-bit or float; grey, RGB or XYZ).
  static bool Deliverable(const _ImgColorSpace& cs);
  // The reduction that brings a picture of w x h pixels to no less than twice the size
  // uw x uh: at least 1.
  static int ReductionFor(int w, int h, int uw, int uh);
  // The reader subsampling and the averaging that make up a reduction k for the reader ir:
  // JPEG decodes at the largest of 1/8, 1/4, 1/2 within k and averages the rest; other
  // formats deliver every pixel and average k x k.
  static void SplitReduction(const _ImgReader* ir, int k, int* sub, int* m);

 private:
  bool ReadBand();
  void Release();

  _ImgReader* ir_ = nullptr;
  _ImgColorSpace cs_{};
  int sub_ = 1, m_ = 1;
  int dw_ = 0;  // delivered pixels a row
  int outW_ = 0, outH_ = 0;
  int bandOut_ = 1;  // output rows a band
  int nextOut_ = 0;
  bool settled_ = false;  // the delivered colour space is known
  RowSink sink_;
  void* band_ = nullptr;
  size_t bandBytes_ = 0;
  float* acc_ = nullptr;  // one output row's sums while averaging
  void* row_ = nullptr;   // one averaged output row
};
