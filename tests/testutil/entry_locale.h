// The locale a ctest entry runs a whole test binary under: LUMERIN_TEST_LOCALE names it, with
// LANG and LC_ALL set to it. Test mains take the environment's locale (setlocale(LC_ALL, ""))
// and then ask here whether it is the one the entry wants: a machine without it cannot run the
// entry, which then fails under CI (where .ci/run generates the locales) and is skipped, with a
// line saying why, elsewhere.
#pragma once

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace testutil {

// ctest's SKIP_RETURN_CODE of the locale entries.
constexpr int kSkippedExit = 77;

// -1 to run the tests, or the code to exit with at once.
inline int EntryLocaleExit() {
  const char* want = getenv("LUMERIN_TEST_LOCALE");
  if (want == nullptr || *want == '\0') return -1;
  const char* got = setlocale(LC_NUMERIC, nullptr);
  if (got != nullptr && strcmp(got, want) == 0) return -1;
  const char* ci = getenv("CI");
  const char* lci = getenv("LUMERIN_CI");
  if ((ci != nullptr && *ci != '\0') || (lci != nullptr && *lci != '\0')) {
    fprintf(stderr,
            "The locale %s is missing on this machine, so these tests cannot run under it: "
            ".ci/run generates it (localedef -i %.5s -f UTF-8 %s)\n",
            want, want, want);
    return 1;
  }
  printf(
      "Skipped: the locale %s is missing on this machine (localedef -i %.5s -f UTF-8 %s "
      "makes it)\n",
      want, want, want);
  return kSkippedExit;
}

}  // namespace testutil
