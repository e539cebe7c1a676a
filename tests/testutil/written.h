// What a function writes to a stream, as a string.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

template <typename Fn>
std::string WrittenBy(Fn fn) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* fp = open_memstream(&buf, &len);
  fn(fp);
  std::fclose(fp);
  std::string s(buf, len);
  std::free(buf);
  return s;
}
