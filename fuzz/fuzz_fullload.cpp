// Fuzz target for pictures loaded whole: the display's full-size load of a file, then what
// Export (a render to at most 1024 pixels, written as JPEG) and Print (the whole picture as
// sRGB pixels) make of it. The picture may claim any size the format allows: the first input
// byte picks the suffix, and for JPEG files the next four give the width and height the frame
// header is made to declare (up to 65535 each), since mutations rarely find that header. The
// memory available is fixed at 1 GB, so whatever is refused is refused on any machine, and an
// allocation the header alone asks for shows as a malloc over the run's limit.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pixhaven.h"
#include "display/pdispimg.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"
#include "support/membudget.h"

namespace {

struct Setup {
  Setup() {
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    dmessage_class_flags[DMCmemory] &= ~DMAexit;
    PloadStandardReaders();
    PsetMemoryAvailable(uint64_t{1} << 30);
    CacheObject::tab.memoryBudget = 32u << 20;  // the preference's default
  }
};

// Makes the first frame header among the top-level segments declare w x h.
void SetFrameSize(std::vector<uint8_t>* j, unsigned w, unsigned h) {
  for (size_t i = 2; i + 9 < j->size();) {
    uint8_t* p = j->data() + i;
    if (p[0] != 0xFF) return;
    const int m = p[1];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      p[5] = static_cast<uint8_t>(h >> 8);
      p[6] = static_cast<uint8_t>(h);
      p[7] = static_cast<uint8_t>(w >> 8);
      p[8] = static_cast<uint8_t>(w);
      return;
    }
    if (m == 0xD8 || (m >= 0xD0 && m <= 0xD7)) {
      i += 2;
      continue;
    }
    i += 2 + ((p[2] << 8) | p[3]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  if (size < 6) return 0;
  static const char* const kSuffixes[] = {".jpg", ".tif", ".exr", ".hdr", ".bmp"};
  const char* suffix = kSuffixes[data[0] % 5];
  const unsigned w = (data[1] << 8) | data[2], h = (data[3] << 8) | data[4];
  std::vector<uint8_t> file(data + 5, data + size);
  if (data[0] % 5 == 0 && w > 0 && h > 0) SetFrameSize(&file, w, h);
  const std::string path = "/tmp/fuzz_fullload_" + std::to_string(getpid()) + suffix;
  const std::string out = "/tmp/fuzz_fullload_" + std::to_string(getpid()) + "_out.jpg";
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return 0;
  fwrite(file.data(), 1, file.size(), fp);
  fclose(fp);
  {
    PImageRing ring(path.c_str(), nullptr);
    ring.quiet = true;
    if (ring.Ready()) {
      // The display's load of the whole frame.
      ring.CheckLoad();
      // Export: a render of the whole picture to at most 1024 pixels, written as JPEG.
      ring.SetDisplaySpace(&ICS_sRGB, 32, 100);
      const int W = std::max(1, ring.ior.GetWidth()), H = std::max(1, ring.ior.GetHeight());
      const int side = std::max(W, H);
      const int ow = std::max(1, static_cast<int>(int64_t{W} * std::min(side, 1024) / side));
      const int oh = std::max(1, static_cast<int>(int64_t{H} * std::min(side, 1024) / side));
      ring.SetZoomRatio(ow, W);
      ring.MapIsNoop(false);
      if (!ring.FirstFrameFailed()) {
        _ImgStruct img = {};
        img.xres = ow;
        img.yres = oh;
        img.csp = &ICS_sRGB;
        if (ring.MapImage(&img, nullptr, nullptr)) {
          _ImgWriteBuf wb;
          PsetWriteBuf(&wb, &img);
          IWInterfaceJPEG.WriteImage(out.c_str(), &wb);
          unlink(out.c_str());
        }
        PfreeImage(&img);
        // Print: the whole picture's display pixels, as a page of 512 pixels takes them.
        _ImgStruct page = {};
        page.xres = std::min(W, 512);
        page.yres = std::min(H, 512);
        page.csp = &ICS_sRGB;
        ring.GetSubimage(&page, nullptr, nullptr);
        PfreeImage(&page);
        // And as a large page takes them: its middle band of rows.
        const _ImgRect whole = {0, ring.ior.xres, 0, ring.ior.yres};
        page.xres = std::min(W, 512);
        page.yres = 7;
        ring.GetSubimageRows(&page, &whole, std::min(H, 512) + 7, std::min(H, 512) / 2);
        PfreeImage(&page);
      }
    }
  }
  unlink(path.c_str());
  return 0;
}
