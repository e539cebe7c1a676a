// URIs and names of fuzzed bytes: a URI read as a file's path gives a path whose own URI reads
// back to it; any bytes shown are valid UTF-8 (shown on one line, a plain line) and read back to
// the same bytes; a path's plain-text line is one valid UTF-8 line that names the same path (the
// path itself or its URI). Fuzzed bytes read as text a person typed give bytes no longer than the
// text (the text itself when it holds no backslash), which show and read back to themselves.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/bytetext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string path, back;
  if (FileUriPath(bytes, &path)) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) __builtin_trap();
    if (!FileUriPath(FileUri(path), &back) || back != path) __builtin_trap();
  }
  if (!ValidUtf8(ShownText(bytes))) __builtin_trap();
  if (!PlainLine(ShownLine(bytes)) || !PlainLine(ShownName(bytes))) __builtin_trap();
  // Every form of names without NUL comes back whole: two names never show alike.
  if (bytes.find('\0') == std::string::npos)
    for (ShownForm form : {kShownText, kShownLine, kShownName})
      if (ShownBytes(Shown(bytes, form)) != bytes) __builtin_trap();
  // The bytes typed text stands for: an escape only ever shortens it.
  const std::string typed = ShownBytes(bytes);
  if (typed.size() > bytes.size()) __builtin_trap();
  if (bytes.find('\\') == std::string::npos && typed != bytes) __builtin_trap();
  if (typed.find('\0') == std::string::npos)
    for (ShownForm form : {kShownText, kShownLine, kShownName})
      if (ShownBytes(Shown(typed, form)) != typed) __builtin_trap();
  const std::string line = PathText(bytes);
  if (!ValidUtf8(line) || line.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  const bool absolute = !bytes.empty() && bytes[0] == '/' && bytes.find('\0') == std::string::npos;
  if (absolute && line != bytes && (!FileUriPath(line, &back) || back != bytes)) __builtin_trap();
  return 0;
}
