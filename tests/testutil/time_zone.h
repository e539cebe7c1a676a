// The local time zone of a test: set while the object lives, then put back as it was, so that
// a test's verdict does not hang on the zone of the machine or of the test run before it.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

namespace testutil {

// Zones given by their rules, so that no zone database is needed: Berlin's, an hour ahead with
// summer time from the last Sunday of March to the last of October, and the Chatham Islands',
// 12:45 ahead with summer time from the last Sunday of September to the first of April.
inline constexpr char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";
inline constexpr char kChatham[] = "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45";

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
