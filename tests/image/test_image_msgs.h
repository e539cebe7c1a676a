// Captures the library's messages during a test instead of printing them or ending the
// process, so tests can check which message a refusal sent.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/dmessage.h"

class MessageCapture {
 public:
  MessageCapture() {
    saved_ = dmessage_call;
    messages().clear();
    dmessage_call = [](unsigned cls, const char* text, const char*, int) -> uint32_t {
      messages().emplace_back(cls, text);
      return ~0u;  // handled: nothing printed, no exit or abort
    };
  }
  ~MessageCapture() { dmessage_call = saved_; }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  static std::vector<std::pair<unsigned, std::string>>& messages() {
    static std::vector<std::pair<unsigned, std::string>> m;
    return m;
  }
  // Whether a message of this class and text was sent (trace messages are ignored).
  bool Saw(unsigned cls, const std::string& text) const {
    for (const auto& m : messages())
      if (m.first == cls && m.second == text) return true;
    return false;
  }
  // Number of messages other than trace ones.
  size_t Count() const {
    size_t n = 0;
    for (const auto& m : messages())
      if (m.first != DMCtrace) n++;
    return n;
  }
  void Clear() { messages().clear(); }

 private:
  uint32_t (*saved_)(unsigned, const char*, const char*, int);
};
