// Fuzz target for the picture header and scanline readers: header lines through the line
// recognisers and the view parser, the resolution line, then scanlines in every form.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "picture/view.h"

namespace {

struct HeaderState {
  VIEW view;
  int views;
};

int onLine(const char* line, void* data) {
  HeaderState* st = static_cast<HeaderState*>(data);
  char name[16];
  char fmt[MAXFMTLEN];
  time_t t;
  headidval(name, line, sizeof name);
  formatval(fmt, line);
  dateval(&t, line);
  gmtval(&t, line);
  if (isview(line) && sscanview(&st->view, line) > 0) st->views++;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> copy(data, data + size);
  FILE* fp = fmemopen(copy.data(), copy.size(), "rb");
  if (fp == nullptr) return 0;

  HeaderState st{stdview, 0};
  if (getheader(fp, onLine, &st) == 0) {
    if (st.views > 0 && setview(&st.view) == nullptr) viewopt(&st.view);
    int scanlen = 0, count = 0;
    if (fgetresolu(&scanlen, &count, fp) >= 0) {
      PICRES r;
      str2resolu(&r, resolu_buf);
      // Bound the work: each scanline costs its length even when the data runs out.
      if (scanlen <= 65536 && static_cast<int64_t>(scanlen) * count <= (int64_t{1} << 22)) {
        std::vector<uint8_t> px(static_cast<size_t>(scanlen) * 4);
        std::vector<float> fl(static_cast<size_t>(scanlen) * 3);
        RGBEPIX* p = reinterpret_cast<RGBEPIX*>(px.data());
        for (int y = 0; y < count; y++) {
          const int got = (y & 1) ? freadscan(fl.data(), scanlen, fp) : freadcolrs(p, scanlen, fp);
          if (got < 0) break;
          if (!(y & 1)) colrs_color(fl.data(), p, static_cast<size_t>(scanlen));
        }
      }
    }
  }
  std::fclose(fp);

  // The same bytes as a header checked against a pattern, copied to a null stream.
  fp = fmemopen(copy.data(), copy.size(), "rb");
  if (fp != nullptr) {
    char fmt[MAXFMTLEN] = "32-bit_rle_*";
    FILE* out = std::fopen("/dev/null", "w");
    checkheader(fp, fmt, out);
    if (out != nullptr) std::fclose(out);
    // Whatever follows, read as scanlines of a fixed width.
    RGBEPIX line[64];
    for (int y = 0; y < 64 && freadcolrs(line, 64, fp) == 0; y++) {
    }
    std::fclose(fp);
  }
  return 0;
}
