// Shared by the fuzz targets that decode JPEG data: libjpeg may keep whole-image coefficient
// buffers, and the harness holds them to 256 MB so that a header claiming a huge progressive
// picture is refused well inside the fuzzer's memory limit.
#pragma once

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("JPEGMEM", "256m", 0);
  return 0;
}
