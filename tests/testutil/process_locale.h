// The process locale of a test: set while the object lives, then put back as it was, so that a
// test can run code as the program runs it for a user whose decimals take a comma (de_DE) or
// whose 'i' folds to a dotless letter (tr_TR).
//
// A locale the machine lacks is told plainly: under CI (CI or LUMERIN_CI set) the test fails,
// since CI generates them; elsewhere it is skipped with the reason.
#pragma once

#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <string>

namespace testutil {

// The comma and dotless-i locales the format tests run under.
inline const char* const kOtherLocales[] = {"de_DE.UTF-8", "tr_TR.UTF-8"};

class ProcessLocale {
 public:
  explicit ProcessLocale(const char* name) : was_(setlocale(LC_ALL, nullptr)) {
    ok_ = setlocale(LC_ALL, name) != nullptr;
  }
  ~ProcessLocale() { setlocale(LC_ALL, was_.c_str()); }
  ProcessLocale(const ProcessLocale&) = delete;
  ProcessLocale& operator=(const ProcessLocale&) = delete;

  bool ok() const { return ok_; }

 private:
  std::string was_;
  bool ok_ = false;
};

// Names a test instance by its locale's language and country ("de_DE").
inline std::string LocaleParamName(const testing::TestParamInfo<const char*>& info) {
  const std::string name = info.param;
  return name.substr(0, name.find('.'));
}

inline bool UnderCI() {
  const char* ci = getenv("CI");
  const char* lci = getenv("LUMERIN_CI");
  return (ci != nullptr && *ci != '\0') || (lci != nullptr && *lci != '\0');
}

}  // namespace testutil

// Sets the process locale name for the rest of the enclosing test (scope var); fails under CI
// and skips elsewhere when the machine lacks it.
#define SET_PROCESS_LOCALE(var, name)                                                       \
  testutil::ProcessLocale var(name);                                                        \
  if (!var.ok()) {                                                                          \
    if (testutil::UnderCI())                                                                \
      FAIL() << "The locale " << (name) << " is missing: .ci/run generates it (localedef)"; \
    else                                                                                    \
      GTEST_SKIP() << "The locale " << (name) << " is missing on this machine";             \
  }
