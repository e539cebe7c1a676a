// The local time zone of a test: set while the object lives, then put back as it was, so that
// a test's verdict does not hang on the zone of the machine or of the test run before it.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

namespace testutil {

class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    const char* was = getenv("TZ");
    had_ = was != nullptr;
    if (had_) was_ = was;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_)
      setenv("TZ", was_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  bool had_ = false;
  std::string was_;
};

}  // namespace testutil
