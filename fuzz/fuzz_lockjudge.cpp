// Lock-file judging from fuzzed bytes: the judge alone, then a lock taken over a lock file
// holding the bytes. A lock that is taken must hold this process's line; one that is refused
// must be left exactly as it was, and the reason told holds no control byte.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "catalog/pixhaven.h"
#include "catalog/plock.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return 0;
}

// Odd ids hold their locks; even ones are of another program.
PLockHolder HoldsOdd(long pid, void*) {
  return (pid & 1) != 0 ? PLHholds : PLHstranger;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  const char* text = reinterpret_cast<const char*>(data);
  char host[128];
  if (gethostname(host, sizeof(host)) != 0) host[0] = '\0';
  host[127] = '\0';
  for (const char* h : {static_cast<const char*>(host), ""})
    PjudgeLock(text, size, h, HoldsOdd, nullptr);

  static const std::string dir = [] {
    char buf[] = "/tmp/lumerin_fuzzlock_XXXXXX";
    const char* p = mkdtemp(buf);
    return std::string(p != nullptr ? p : "/tmp");
  }();
  const std::string db = dir + "/c.qdb", lk = dir + "/c.lock";
  unlink(lk.c_str());
  {
    std::ofstream out(lk, std::ios::binary);
    out.write(text, static_cast<std::streamsize>(size));
  }
  const std::string before = Read(lk);
  char lock[PContext::kPathLen] = "";
  PLockRefusal refusal;
  if (PContext::WriteLock(lock, db.c_str(), &refusal)) {
    std::string want = "Catalog write lock held by process " + std::to_string(getpid());
    if (host[0] != '\0') want += std::string(" on ") + host;
    want += "\n";
    if (Read(lk) != want) abort();
    PContext::WriteLock(lock, nullptr);
    if (access(lk.c_str(), F_OK) == 0) abort();
  } else if (Read(lk) != before || lock[0] != '\0') {
    abort();
  } else {
    for (const unsigned char c : refusal.Why())
      if (c < 0x20 || c == 0x7f) abort();
  }
  return 0;
}
