// Fuzz target for opening a file through the reader registry: the first input byte picks the
// file's suffix, the rest is its content, so that files under another format's suffix reach
// the readers their first bytes name (a suffix no reader names, through the open of a file
// the user named); then image information and reads.
#include <cstring>

#include "formats/stdformats.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int loaded = PloadStandardReaders();
  (void)loaded;
  if (size < 1) return 0;
  static const char* const kSuffixes[] = {".tif", ".hdr", ".exr", ".jpg", ".bmp", ".rle", ".txt"};
  const char* suffix = kSuffixes[data[0] % (sizeof kSuffixes / sizeof kSuffixes[0])];
  const std::string path = fuzzInputFile(data + 1, size - 1, suffix);
  if (path.empty()) return 0;
  _ImgReader* ir = strcmp(suffix, ".txt") == 0 ? PopenImageAny(path.c_str(), 1)
                                               : PopenImageF(path.c_str(), 1, nullptr);
  // Bound the work: the picture may claim any size.
  if (ir != nullptr && static_cast<int64_t>(ir->xres) * ir->yres <= (int64_t{1} << 20)) {
    const uint8_t seed = data[size - 1];
    if (ir->ri->GetInfo != nullptr) {
      _ImgInfo info{};
      ir->ri->GetInfo(ir, &info);
    }
    fuzzRead(ir, ir->cs, 1, 0);
    fuzzRead(ir, ICS_sRGB, 1 + seed % 3, seed);
  }
  if (ir != nullptr) ir->ri->Close(ir);
  unlink(path.c_str());
  return 0;
}
