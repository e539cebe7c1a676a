// Display images under arbitrary record values: crop, spot exposure, red-eye rectangles,
// densities, orientation, flips, sample-to-nits factor and recorded size, over a small 8-bit
// TIFF and a small RGBE picture, rendered at fit and at 1:1, oriented, metered and
// histogrammed.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pixhaven.h"
#include "display/pdispimg.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "support/dmessage.h"

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return static_cast<int32_t>(v);
  }
  // Mostly small values, which reach the interesting paths, sometimes any 32-bit value.
  long Value() {
    const uint8_t k = Byte();
    if (k < 200) return static_cast<long>(Byte()) - 16;
    return Int();
  }
  float Float() {
    const int32_t bits = Int();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
};

std::string WritePicture(const char* name, const _ImgWriterInterface& wi, bool hdr) {
  const std::string path = "/tmp/fuzz_dispimg_" + std::to_string(getpid()) + name;
  _ImgStruct im = {};
  im.xres = 24;
  im.yres = 16;
  im.csp = hdr ? &ICS_RGB709 : &ICS_sRGB;
  if (!PnewImage(&im, 0)) return "";
  for (int y = 0; y < im.yres; ++y)
    for (int x = 0; x < im.xres; ++x) {
      uint8_t* row = im.img + y * im.rowsize;
      if (hdr) {
        float* px = reinterpret_cast<float*>(row) + 3 * x;
        px[0] = 0.01f * (x + 1) * (y + 1);
        px[1] = 0.02f * (x + 1);
        px[2] = 0.5f;
      } else {
        row[3 * x] = static_cast<uint8_t>(x * 10);
        row[3 * x + 1] = static_cast<uint8_t>(y * 15);
        row[3 * x + 2] = (x * y) & 1 ? 240 : 30;
      }
    }
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  const long n = wi.WriteImage(path.c_str(), &wb);
  PfreeImage(&im);
  return n > 0 ? path : "";
}

struct Setup {
  DBRecord rec[2];
  Setup() {
    dmessage_class_flags[DMCwarning] = DMArecord;
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    const std::string tif = WritePicture(".tif", IWInterfaceTIFF, false);
    const std::string hdr = WritePicture(".hdr", IWInterfaceRad, true);
    rec[0].Init(&PDBFInfo);
    rec[1].Init(&PDBFInfo);
    PgrokFile(&rec[0], tif.c_str());
    PgrokFile(&rec[1], hdr.c_str());
    CacheObject::tab.memoryBudget = 64 << 10;
  }
};

void SetValues(DBRecord* r, PDBFieldID fid, Input* in, int maxn) {
  const int n = in->Byte() % (maxn + 1);
  if (n == 0) {
    r->ClearField(fid);
    return;
  }
  std::vector<long> v(static_cast<size_t>(n));
  for (long& x : v) x = in->Value();
  r->SetField(fid, v.data(), n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  Input in{data, size};
  const uint8_t flags = in.Byte();
  DBRecord rec = setup.rec[flags & 1];
  if (rec.GetFieldInfo() == nullptr) return 0;
  SetValues(&rec, PDBFcrop, &in, 5);
  SetValues(&rec, PDBFspotexp, &in, 9);
  SetValues(&rec, PDBFredeye, &in, 9);
  if (flags & 2) {
    rec.SetField(PDBFxdensity, in.Float());
    rec.SetField(PDBFydensity, in.Float());
  }
  if (flags & 4) rec.SetField(PDBForient, in.Value() * 45);
  if (flags & 8) rec.SetField(PDBFflip, in.Value());
  if (flags & 16) rec.SetField(PDBFstonits, in.Float());
  if (flags & 32) {
    rec.SetField(PDBFxsize, in.Value());
    rec.SetField(PDBFysize, in.Value());
  }
  PImageRing ir(rec, nullptr);
  ir.SetExposureMode(in.Byte() & 7);
  if (flags & 64) ir.SetExposure(static_cast<double>(in.Byte()) / 16.0);
  if (flags & 128) ir.FalseColorOn(in.Byte(), in.Byte() / 8.0);
  const uint8_t bg[3] = {1, 2, 3};
  _ImgStruct fit = {};
  fit.xres = 1 + in.Byte() % 40;
  fit.yres = 1 + in.Byte() % 40;
  fit.csp = &ICS_sRGB;
  ir.RenderImage(&fit, bg, nullptr);
  ir.SelectRect(in.Byte(), in.Byte(), in.Byte(), in.Byte());
  _ImgRect sel;
  ir.GetSelection(&sel);
  double lim[2];
  unsigned int hist[16];
  ir.GetHistogram(lim, hist, 16, static_cast<PHistoChan>(in.Byte() % 6), true);
  ir.AvgLuminance(nullptr);
  PfreeImage(&fit);
  // An edit of the open image: new rectangles apply in place, others reload.
  DBRecord edit = ir.GetRec();
  SetValues(&edit, PDBFredeye, &in, 9);
  SetValues(&edit, PDBFcrop, &in, 5);
  ir.UpdateRec(edit);
  ir.SetZoomRatio(1, 1);
  POrient o;
  ir.GetOrient(&o);
  _ImgStruct one = {};
  one.xres = std::max(1, std::min(64, o.GetWidth()));
  one.yres = std::max(1, std::min(64, o.GetHeight()));
  one.csp = &ICS_sRGB;
  ir.MapImage(&one, bg, nullptr);
  ir.MapIsNoop(false);
  PfreeImage(&one);
  _ImgStruct sub = {};
  sub.xres = 30;
  sub.yres = 20;
  sub.csp = &ICS_sRGB;
  const _ImgRect part = {in.Byte() % 30, 30, in.Byte() % 20, 20};
  ir.RenderSubimage(&sub, &part, bg);
  PfreeImage(&sub);
  return 0;
}
