// A user's locale for part of a test: the C library's numbers and letter case follow it, as
// they do in the program once the application object has taken the user's locale.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

class UserLocale {
 public:
  explicit UserLocale(const char* name) : old_(setlocale(LC_ALL, nullptr)) {
    ok_ = setlocale(LC_ALL, name) != nullptr;
  }
  ~UserLocale() { setlocale(LC_ALL, old_.c_str()); }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
  bool Ok() const { return ok_; }

  // Under CI the locales are generated, so a missing one is a fault of the machine's set-up.
  static bool Required() {
    for (const char* v : {"CI", "LUMERIN_CI"})
      if (const char* s = getenv(v); s != nullptr && *s != '\0') return true;
    return false;
  }

 private:
  std::string old_;
  bool ok_ = false;
};

// Enters locale name until the end of the scope. Where the machine lacks it the test is skipped
// with the reason, but under CI it fails.
#define IN_USER_LOCALE(var, name)                                                         \
  UserLocale var(name);                                                                   \
  if (!var.Ok()) {                                                                        \
    if (UserLocale::Required()) FAIL() << "The locale " << (name) << " is not installed"; \
    GTEST_SKIP() << "The locale " << (name) << " is not installed";                       \
  }
