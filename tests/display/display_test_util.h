// Helpers of the display image tests: a synthetic image format whose pictures the tests
// define in memory (counting every open), records of such files, and message capture.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "formats/bmp.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "formats/jpegio.h"
#include "testutil/budget_guard.h"
#include "catalog/photo_test_util.h"
#include "catalog/pixhaven.h"
#include "display/pdispimg.h"
#include "support/dmessage.h"

namespace disptest {

// A picture of the synthetic format: size, frames, 8-bit RGB or float RGB or float grey,
// and a pixel function of (x, y, frame) giving R, G, B (grey uses R).
struct FakePicture {
  int w = 1, h = 1, frames = 1;
  float aspect = 1.0f;  // the reader's pixel aspect
  enum Kind { kRGB8, kFloatRGB, kFloatGrey } kind = kRGB8;
  std::function<void(int x, int y, int f, float* rgb)> pixel;
};

inline std::map<std::string, FakePicture>& Pictures() {
  static std::map<std::string, FakePicture> p;
  return p;
}

inline int& OpenCount() {
  static int n = 0;
  return n;
}

struct FakeReader {
  _ImgReader head;
  FakePicture pic;
};

inline ImgReadErr FakeSeek(_ImgReader* ir, int offset, int whence) {
  auto* fr = reinterpret_cast<FakeReader*>(ir);
  const int f = whence == 0 ? offset : ir->frame + offset;
  if (f < 0 || f >= fr->pic.frames) return IREunsupported;
  ir->frame = f;
  ir->nr = _ImgRect{0, ir->xres, 0, ir->yres};
  return IREnone;
}

inline ImgReadErr FakeRead(_ImgReader* ir, _ImgReadBuf* rb) {
  auto* fr = reinterpret_cast<FakeReader*>(ir);
  if (!PmatchColorSpace(&rb->cs, &ir->cs, 3) || rb->subsample != 1) {
    rb->cs = ir->cs;
    rb->r.xright = rb->r.xleft;
    return IREnone;
  }
  if (!PreadBufFits(rb)) return IREmemory;
  const _ImgRect r = rb->r;
  uint8_t* out8 = static_cast<uint8_t*>(rb->buf);
  float* outf = static_cast<float*>(rb->buf);
  for (int y = r.ytop; y < r.ybottom; ++y)
    for (int x = r.xleft; x < r.xright; ++x) {
      float c[3] = {0, 0, 0};
      fr->pic.pixel(x, y, ir->frame, c);
      switch (fr->pic.kind) {
        case FakePicture::kRGB8:
          for (int k = 0; k < 3; ++k) *out8++ = static_cast<uint8_t>(c[k]);
          break;
        case FakePicture::kFloatRGB:
          for (int k = 0; k < 3; ++k) *outf++ = c[k];
          break;
        case FakePicture::kFloatGrey:
          *outf++ = c[0];
          break;
      }
    }
  ir->nr = _ImgRect{0, 0, 0, 0};
  return IREnone;
}

inline void FakeClose(_ImgReader* ir) {
  delete reinterpret_cast<FakeReader*>(ir);
}

_ImgReader* FakeOpen(const char* path);

inline const _ImgReaderInterface& FakeInterface() {
  static const _ImgReaderInterface ri = {"FAKEDISP.fkd", FakeOpen, FakeSeek, nullptr,
                                         nullptr,        nullptr,  FakeRead, FakeClose};
  return ri;
}

inline _ImgReader* FakeOpen(const char* path) {
  auto it = Pictures().find(path);
  if (it == Pictures().end()) return nullptr;
  ++OpenCount();
  auto* fr = new FakeReader();
  std::memset(&fr->head, 0, sizeof fr->head);
  fr->pic = it->second;
  _ImgReader* ir = &fr->head;
  ir->ri = &FakeInterface();
  std::snprintf(ir->file, sizeof ir->file, "%s", path);
  ir->nframes = fr->pic.frames;
  ir->frameType = fr->pic.frames > 1 ? IRFanim : IRFnone;
  ir->xres = fr->pic.w;
  ir->yres = fr->pic.h;
  ir->pixAspect = fr->pic.aspect;
  ir->cs = fr->pic.kind == FakePicture::kRGB8
               ? ICS_sRGB
               : (fr->pic.kind == FakePicture::kFloatRGB ? ICS_RGB709 : ICS_Y);
  ir->nr = _ImgRect{0, ir->xres, 0, ir->yres};
  return ir;
}

inline void Register() {
  phototest::LoadReaders();
  static const bool done = PaddIReaderI(&FakeInterface()) >= 0;
  (void)done;
}

// A scratch folder whose synthetic pictures are forgotten at the end.
class FakeFiles {
 public:
  FakeFiles() { Register(); }
  ~FakeFiles() {
    for (const auto& p : made_) Pictures().erase(p);
  }
  // Writes a small file under the name (its bytes differ by name) and defines its picture.
  std::string Add(const std::string& name, const FakePicture& pic) {
    const std::string path = dir_.Path(name);
    phototest::WriteFile(path, "synthetic picture " + name);
    Pictures()[path] = pic;
    made_.push_back(path);
    return path;
  }
  // A record filled from the file.
  DBRecord Record(const std::string& path) const {
    DBRecord r(&PDBFInfo);
    PgrokFile(&r, path.c_str());
    return r;
  }

 private:
  phototest::ScratchDir dir_;
  std::vector<std::string> made_;
};

inline FakePicture Solid(int w, int h, float r, float g, float b, int frames = 1) {
  FakePicture p;
  p.w = w;
  p.h = h;
  p.frames = frames;
  p.pixel = [r, g, b](int, int, int, float* c) {
    c[0] = r;
    c[1] = g;
    c[2] = b;
  };
  return p;
}

// The last text recorded for a class, after a marker that resets it.
inline void ResetMessages(unsigned cls) {
  dmessage(cls, "-- marker --", __FILE__, __LINE__);
}
inline std::string LastMessage(unsigned cls) {
  return dmessage_record[cls] != nullptr ? dmessage_record[cls] : "";
}

inline const uint8_t* Px(const _ImgStruct& im, int x, int y) {
  return im.img + static_cast<ptrdiff_t>(y) * im.rowsize + 3 * static_cast<ptrdiff_t>(x);
}

// Sets integer values of a photo field.
inline void SetInts(DBRecord* r, PDBFieldID fid, std::vector<long> v) {
  r->SetField(fid, v.data(), static_cast<int>(v.size()));
}

// The red byte of view pixel (x, y) of an open display image; -1 when it cannot be had.
inline int ViewRed(PDisplayImage* di, int x, int y) {
  _ImgStruct v = {};
  v.xres = v.yres = 1;
  v.csp = &ICS_sRGB;
  const _ImgRect r = {x, x + 1, y, y + 1};
  const bool ok = di->GetSubimage(&v, &r, nullptr);
  const int red = ok && v.img != nullptr ? v.img[0] : -1;
  PfreeImage(&v);
  return red;
}

// A 300 x 300 skin-coloured picture with an eye: a white disc of radius 12 around a red
// pupil of radius 5 at (150, 150), whose rim (radius 5 to 6) is a paler, not quite red pink.
inline FakePicture Eye(float aspect = 1.0f) {
  FakePicture p;
  p.w = p.h = 300;
  p.aspect = aspect;
  p.pixel = [](int x, int y, int, float* c) {
    const int dx = x - 150, dy = y - 150, d2 = dx * dx + dy * dy;
    if (d2 <= 25) {
      c[0] = 220, c[1] = 30, c[2] = 40;
    } else if (d2 <= 36) {
      c[0] = 200, c[1] = 120, c[2] = 120;
    } else if (d2 <= 144) {
      c[0] = c[1] = c[2] = 235;
    } else {
      c[0] = 200, c[1] = 160, c[2] = 130;
    }
  };
  return p;
}

}  // namespace disptest
