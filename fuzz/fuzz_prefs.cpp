// Reads a preferences file from fuzzed text (every variable, the migration paths and the
// camera responses), writes it back and reads the written text again: what the program writes
// must read back as the same settings, so the second writing equals the first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "app/core/pprefs.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

// The settings as a fresh start has them.
void Fresh() {
  memset(gRecentCatalogs, 0, sizeof gRecentCatalogs);
  memset(gShadowCatalog, 0, sizeof gShadowCatalog);
  memset(gErrLogFile, 0, sizeof gErrLogFile);
  memset(thumbCacheDir, 0, sizeof thumbCacheDir);
  gStartupOption = 1;
  PEMDefault = PEMauto;
  memoryCacheMegs = 32;
  thumbCacheMegs = 256;
  delete PFMigrations;
  PFMigrations = nullptr;
  gCamResponse.Resize(0);
}

std::string ReadAndWrite(const std::string& text, int* read) {
  Fresh();
  std::istringstream in(text);
  *read = PreadPreferences(&in);
  std::ostringstream out;
  if (!PwritePreferences(&out)) __builtin_trap();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  int read = 0;
  const std::string once =
      ReadAndWrite(std::string(reinterpret_cast<const char*>(data), size), &read);
  const std::string twice = ReadAndWrite(once, &read);
  if (read < 0 || twice != once) {
    fprintf(stderr, "READ %d\n---ONCE\n%s\n---TWICE\n%s\n", read, once.c_str(), twice.c_str());
    __builtin_trap();
  }
  Fresh();
  dmessage_call = nullptr;
  return 0;
}
