// Planted for the close-on-exec scan: fopen(path, "r") in a comment is not a call.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>

int planted(const char* path, const char* mode, File* f) {
  FILE* a = fopen(path, "rb");
  FILE* b = std::fopen("/proc/self/cgroup", "re");
  FILE* c = fopen(path, mode);
  int d = open(path, O_RDONLY);
  int e = ::open(path, O_RDONLY | O_CLOEXEC);
  std::ifstream in(path);
  f->open(path, O_RDONLY);
  int g = mkostemp(nullptr, O_CLOEXEC) + dup(d);
  const char* s = "creat(path)";
  return (a && b && c) + d + e + g + File::creat(s);
}
