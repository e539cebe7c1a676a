// Banded, reduced reading of a picture from its reader (see pbandread.h).
#include "image/pbandread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "image/picolor.h"
#include "support/pwork.h"

namespace {

// A band: at most this many bytes of delivered rows, and of the picture's own pixels (what
// the reader decodes, whatever it delivers), so that one band takes a few hundredths of a second.
constexpr size_t kBandBytes = size_t{1} << 20;
constexpr size_t kBandPixels = size_t{1} << 20;

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Sums the m x m blocks of m delivered rows (each dw pixels of c components of type T, rows
// apart by stride bytes) into acc, ow outputs of c sums each.
template <typename T>
void SumRows(float* acc, const uint8_t* rows, size_t stride, int m, int ow, int c) {
  std::fill_n(acc, static_cast<size_t>(ow) * c, 0.0f);
  for (int j = 0; j < m; ++j) {
    const T* p = reinterpret_cast<const T*>(rows + stride * j);
    float* a = acc;
    for (int x = 0; x < ow; ++x, a += c)
      for (int i = 0; i < m; ++i, p += c)
        for (int k = 0; k < c; ++k) a[k] += static_cast<float>(p[k]);
  }
}

template <typename T>
void StoreRow(void* out, const float* acc, size_t n, float scale) {
  T* o = static_cast<T*>(out);
  for (size_t i = 0; i < n; ++i) {
    const float v = acc[i] * scale;
    if constexpr (std::is_same_v<T, float>)
      o[i] = v;
    else
      o[i] = static_cast<T>(v + 0.5f);
  }
}

}  // namespace

bool PBandReader::Deliverable(const _ImgColorSpace& cs) {
  const bool type = cs.dtype == IDTubyte || cs.dtype == IDTushort || cs.dtype == IDTfloat;
  return type && (cs.format == IPFrgb || cs.format == IPFy || cs.format == IPFxyz);
}

PBandReader::~PBandReader() {
  Release();
}

void PBandReader::Release() {
  std::free(band_);
  std::free(acc_);
  std::free(row_);
  band_ = nullptr;
  acc_ = nullptr;
  row_ = nullptr;
  bandBytes_ = 0;
}

int PBandReader::ReductionFor(int w, int h, int uw, int uh) {
  if (w < 1 || h < 1 || uw < 1 || uh < 1) return 1;
  const int k = std::min(w / (2 * std::min(uw, w)), h / (2 * std::min(uh, h)));
  return std::max(k, 1);
}

void PBandReader::SplitReduction(const _ImgReader* ir, int k, int* sub, int* m) {
  k = std::max(k, 1);
  int s = 1;
  if (ir != nullptr && ir->ri != nullptr && PmatchSuffix(ir->ri, "jpg"))
    s = k >= 8 ? 8 : k >= 4 ? 4 : k >= 2 ? 2 : 1;
  *sub = s;
  *m = k / s;
}

bool PBandReader::Begin(_ImgReader* ir, const _ImgColorSpace& cs, int sub, int m, RowSink sink) {
  Release();
  ir_ = ir;
  if (ir == nullptr || ir->ri == nullptr || ir->ri->ReadRec == nullptr || sub < 1 || m < 1 ||
      ir->xres < 1 || ir->yres < 1 || !sink)
    return false;
  sub_ = sub;
  m_ = m;
  dw_ = ir->xres / sub;
  outW_ = dw_ / m;
  outH_ = ir->yres / sub / m;
  if (outW_ < 1 || outH_ < 1) return false;
  cs_ = cs;
  cs_.cstatic = 0;
  settled_ = false;
  nextOut_ = 0;
  sink_ = std::move(sink);
  return true;
}

bool PBandReader::ReadBand() {
  const int ps = PpixelSize(&cs_);
  if (ps <= 0) return false;
  size_t drow = static_cast<size_t>(dw_) * static_cast<size_t>(ps);
  if (!settled_) {
    // Output rows a band: a few megabytes of delivered rows, at least one output row's worth.
    const size_t perOut = drow * static_cast<size_t>(m_);
    const size_t srcPerOut =
        static_cast<size_t>(ir_->xres) * static_cast<size_t>(m_) * static_cast<size_t>(sub_);
    const size_t n = std::min(kBandBytes / perOut, kBandPixels / srcPerOut);
    bandOut_ = static_cast<int>(std::max<size_t>(1, std::min<size_t>(n, outH_)));
  }
  const int rows = std::min(bandOut_, outH_ - nextOut_);
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = cs_;
  rb.subsample = sub_;
  const int y0 = nextOut_ * m_ * sub_;
  rb.r = _ImgRect{0, dw_ * sub_, y0, y0 + rows * m_ * sub_};
  const size_t need = drow * static_cast<size_t>(rows) * static_cast<size_t>(m_);
  if (need > bandBytes_) {
    void* nb = std::realloc(band_, need);
    if (nb == nullptr) {
      ir_->errCode = IREmemory;
      return false;
    }
    band_ = nb;
    bandBytes_ = need;
  }
  rb.buf = band_;
  rb.bufsize = bandBytes_;
  const _ImgRect want = rb.r;
  ImgReadErr err = ir_->ri->ReadRec(ir_, &rb);
  if (err == IREnone && !settled_ && std::memcmp(&rb.r, &want, sizeof want) != 0 &&
      rb.subsample == sub_ && Deliverable(rb.cs) && !PmatchColorSpace(&rb.cs, &cs_, 31)) {
    // Nothing read: the reader names the colour space it delivers; asked again in that one.
    cs_ = rb.cs;
    cs_.cstatic = 0;
    return ReadBand();
  }
  // The rows come packed at the size of the pixels delivered, which may be smaller than
  // those asked for (a grey JPEG asked for RGB).
  if (err != IREnone || std::memcmp(&rb.r, &want, sizeof want) != 0 || rb.subsample != sub_ ||
      rb.buf != band_ || !Deliverable(rb.cs) || PpixelSize(&rb.cs) > ps ||
      (settled_ && !PmatchColorSpace(&rb.cs, &cs_, 3))) {
    if (rb.buf != band_ && rb.buf != nullptr) std::free(rb.buf);
    if (ir_->errCode == IREnone) ir_->errCode = err != IREnone ? err : IREunsupported;
    return false;
  }
  cs_ = rb.cs;
  cs_.cstatic = 0;
  settled_ = true;
  drow = static_cast<size_t>(dw_) * static_cast<size_t>(PpixelSize(&cs_));
  const uint8_t* src = static_cast<const uint8_t*>(band_);
  if (m_ == 1) {
    for (int j = 0; j < rows; ++j, src += drow)
      if (!sink_(nextOut_ + j, src)) return false;
  } else {
    const int c = ImgPixelLen[cs_.format];
    const size_t n = static_cast<size_t>(outW_) * static_cast<size_t>(c);
    if (acc_ == nullptr) {
      acc_ = static_cast<float*>(std::malloc(n * sizeof(float)));
      row_ = std::malloc(n * static_cast<size_t>(ImgDataSize[cs_.dtype]));
      if (acc_ == nullptr || row_ == nullptr) {
        ir_->errCode = IREmemory;
        return false;
      }
    }
    const float scale = 1.0f / static_cast<float>(m_ * m_);
    for (int j = 0; j < rows; ++j, src += drow * m_) {
      switch (cs_.dtype) {
        case IDTubyte:
          SumRows<uint8_t>(acc_, src, drow, m_, outW_, c);
          StoreRow<uint8_t>(row_, acc_, n, scale);
          break;
        case IDTushort:
          SumRows<uint16_t>(acc_, src, drow, m_, outW_, c);
          StoreRow<uint16_t>(row_, acc_, n, scale);
          break;
        default:
          SumRows<float>(acc_, src, drow, m_, outW_, c);
          StoreRow<float>(row_, acc_, n, scale);
          break;
      }
      if (!sink_(nextOut_ + j, row_)) return false;
    }
  }
  nextOut_ += rows;
  return true;
}

int PBandReader::Step(double seconds) {
  if (ir_ == nullptr || outH_ < 1) return -1;
  const double start = Seconds();
  while (nextOut_ < outH_) {
    if (!ReadBand()) {
      Release();
      return -1;
    }
    if (Seconds() - start >= seconds) break;
  }
  if (nextOut_ < outH_) return 0;
  Release();
  return 1;
}

bool PBandReader::ReadSliced(bool* stopped) {
  if (stopped != nullptr) *stopped = false;
  for (;;) {
    const int r = Step(0);  // one band
    if (r != 0) return r == 1;
    if (!PworkSlice(Done())) {
      if (stopped != nullptr) *stopped = true;
      Release();
      return false;
    }
  }
}
