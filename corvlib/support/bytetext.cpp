// File names and other text of any bytes as shown text, file URIs and plain-text lines.
#include "support/bytetext.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

bool Continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

bool Control(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendEscaped(std::string* out, char lead, unsigned char c) {
  *out += lead;
  if (lead == '\\') *out += 'x';
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
}

}  // namespace

size_t Utf8CharLength(const char* s, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (n < len) return 0;
  const unsigned char c1 = static_cast<unsigned char>(s[1]);
  if (c1 < lo || c1 > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (!Continuation(static_cast<unsigned char>(s[i]))) return 0;
  return len;
}

bool ValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8CharLength(s.data() + i, s.size() - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

namespace {

// A valid character that shows as nothing or turns the text around: a C1 control, the Arabic
// letter mark, the left-to-right and right-to-left marks, embeddings, overrides and isolates.
bool Hidden(const unsigned char* c, size_t len) {
  if (len == 2) return (c[0] == 0xC2 && c[1] < 0xA0) || (c[0] == 0xD8 && c[1] == 0x9C);
  if (len != 3 || c[0] != 0xE2) return false;
  if (c[1] == 0x80) return c[2] == 0x8E || c[2] == 0x8F || (c[2] >= 0xAA && c[2] <= 0xAE);
  return c[1] == 0x81 && c[2] >= 0xA6 && c[2] <= 0xA9;
}

// The element of s at i: its length (*len, at least 1) and whether its bytes are escaped.
bool Escaped(std::string_view s, size_t i, ShownForm form, size_t* len) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  *len = Utf8CharLength(s.data() + i, s.size() - i);
  if (*len == 0) {
    *len = 1;
    return true;
  }
  if (*len == 1) {
    if (Control(c)) return form != kShownText || (c != '\t' && c != '\n');
    return form == kShownName && c == ' ' && (i == 0 || i + 1 == s.size());
  }
  return Hidden(reinterpret_cast<const unsigned char*>(s.data() + i), *len);
}

// Whether the backslash at i is doubled: the shown text after it begins with 'x' or a backslash.
bool Doubled(std::string_view s, size_t i, ShownForm form) {
  if (i + 1 >= s.size()) return false;
  const char next = s[i + 1];
  size_t len;
  return next == 'x' || next == '\\' || Escaped(s, i + 1, form, &len);
}

}  // namespace

std::string Shown(std::string_view s, ShownForm form) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t len;
    if (Escaped(s, i, form, &len)) {
      for (size_t k = 0; k < len; ++k)
        AppendEscaped(&out, '\\', static_cast<unsigned char>(s[i + k]));
    } else {
      if (s[i] == '\\' && Doubled(s, i, form)) out += '\\';
      out.append(s.data() + i, len);
    }
    i += len;
  }
  return out;
}

bool ShownAsIs(std::string_view s, ShownForm form) {
  for (size_t i = 0; i < s.size();) {
    size_t len;
    if (Escaped(s, i, form, &len) || (s[i] == '\\' && Doubled(s, i, form))) return false;
    i += len;
  }
  return true;
}

std::string ShownBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      if (text[i + 1] == '\\') {
        out += '\\';
        ++i;
        continue;
      }
      const int a = i + 3 < text.size() && text[i + 1] == 'x' ? HexValue(text[i + 2]) : -1;
      const int b = a >= 0 ? HexValue(text[i + 3]) : -1;
      if (b >= 0 && a * 16 + b != 0) {
        out += static_cast<char>(a * 16 + b);
        i += 3;
        continue;
      }
    }
    out += c;
  }
  return out;
}

bool PlainLine(std::string_view s) {
  if (!ValidUtf8(s)) return false;
  for (char c : s)
    if (Control(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string PercentEncoded(std::string_view s, bool keepSlash) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (Unreserved(c) || (keepSlash && c == '/'))
      out += ch;
    else
      AppendEscaped(&out, '%', c);
  }
  return out;
}

std::string FileUri(std::string_view path) {
  return "file://" + PercentEncoded(path, true);
}

bool FileUriPath(std::string_view uri, std::string* path) {
  path->clear();
  constexpr std::string_view kScheme = "file:";
  if (uri.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i)
    if ((uri[i] | 0x20) != kScheme[i] && uri[i] != kScheme[i]) return false;
  std::string_view rest = uri.substr(kScheme.size());
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return false;
    rest.remove_prefix(slash);
  }
  if (rest.empty() || rest[0] != '/') return false;
  // A query or a fragment is no part of a file's path.
  rest = rest.substr(0, rest.find_first_of("?#"));
  for (size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '%') {
      const int a = i + 2 < rest.size() ? HexValue(rest[i + 1]) : -1;
      const int b = a >= 0 ? HexValue(rest[i + 2]) : -1;
      if (b < 0) return false;
      c = static_cast<char>(a * 16 + b);
      i += 2;
    }
    if (c == '\0') return false;
    *path += c;
  }
  return true;
}

std::string PathText(std::string_view path) {
  return PlainLine(path) ? std::string(path) : FileUri(path);
}
