// The command line's documents as one open-documents event.
#include "platform/pdocuments.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct DocState {
  std::vector<std::string> paths;
  bool posted = false;
};
DocState& Docs() {
  static auto* d = new DocState;
  return *d;
}

std::string WorkingFolder() {
  std::vector<char> buf(4096);
  for (;;) {
    if (getcwd(buf.data(), buf.size()) != nullptr) return buf.data();
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

// The path made absolute, a leading "./" dropped; its bytes are kept as they are.
std::string Absolute(const std::string& cwd, std::string path) {
  if (path[0] == '/') return path;
  while (path.size() >= 2 && path[0] == '.' && path[1] == '/') {
    size_t n = 2;
    while (n < path.size() && path[n] == '/') ++n;
    path.erase(0, n);
  }
  if (path.empty() || path == ".") return cwd;
  return cwd == "/" ? "/" + path : cwd + "/" + path;
}

}  // namespace

void TakeCommandLineDocuments(int argc, char** argv) {
  DocState& d = Docs();
  d.paths.clear();
  d.posted = false;
  if (argv == nullptr) return;
  const std::string cwd = WorkingFolder();
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr || argv[i][0] == '\0') continue;
    std::string path = argv[i];
    // Without a working folder a relative path names nothing that can be found again.
    if (path[0] != '/' && cwd.empty()) continue;
    d.paths.push_back(Absolute(cwd, std::move(path)));
  }
}

bool PostOpenDocuments() {
  DocState& d = Docs();
  if (d.posted || d.paths.empty()) return false;
  std::string list;
  for (const std::string& p : d.paths) {
    list += p;
    list.push_back('\0');
  }
  EventRef ev = nullptr;
  if (CreateEvent(kEventClassAppleEvent, kAEOpenDocuments, GetCurrentEventTime(), &ev) != noErr)
    return false;
  SetEventParameter(ev, kEventParamDirectObject, typePathList, static_cast<UInt32>(list.size()),
                    list.data());
  const bool ok = PostEventToQueue(GetMainEventQueue(), ev, GetApplicationEventTarget()) == noErr;
  ReleaseEvent(ev);
  d.posted = ok;
  return ok;
}

std::vector<std::string> GetDocumentPaths(EventRef event) {
  std::vector<std::string> paths;
  if (GetEventClass(event) != kEventClassAppleEvent || GetEventKind(event) != kAEOpenDocuments)
    return paths;
  UInt32 size = 0;
  if (GetEventParameter(event, kEventParamDirectObject, typePathList, nullptr, 0, &size, nullptr) !=
          noErr ||
      size == 0)
    return paths;
  std::string list(size, '\0');
  GetEventParameter(event, kEventParamDirectObject, typePathList, nullptr, size, nullptr, &list[0]);
  // Each path ends at a NUL; bytes after the last NUL belong to no whole path.
  size_t at = 0;
  for (size_t nul; (nul = list.find('\0', at)) != std::string::npos; at = nul + 1)
    if (nul > at) paths.push_back(list.substr(at, nul - at));
  return paths;
}
