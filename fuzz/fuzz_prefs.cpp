// Reads a preferences file from fuzzed text (every variable, the migration paths and the
// camera responses; a text that does not read whole leaves the settings as a fresh start has
// them), writes it back and reads the written text again: what the program writes must read
// back whole as the same settings, so the second writing equals the first.
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
  PprefLink()->Clear();
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

std::string ReadAndWrite(const std::string& text, bool* whole) {
  Fresh();
  std::string why;
  *whole = PreadPreferencesText(text, &why);
  if (!*whole) Fresh();  // none of a damaged file's values is used
  std::ostringstream out;
  if (!PwritePreferences(&out)) __builtin_trap();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  bool whole = false;
  const std::string once =
      ReadAndWrite(std::string(reinterpret_cast<const char*>(data), size), &whole);
  const std::string twice = ReadAndWrite(once, &whole);
  if (!whole || twice != once) {
    fprintf(stderr, "WHOLE %d\n---ONCE\n%s\n---TWICE\n%s\n", whole, once.c_str(), twice.c_str());
    __builtin_trap();
  }
  Fresh();
  dmessage_call = nullptr;
  return 0;
}
