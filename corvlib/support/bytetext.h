// File names and other text from files, which may hold any bytes, on their way to the user or
// to another program.
//
// A path on Linux is bytes: nothing makes it UTF-8, and a name may hold a newline. Text meant
// to be read (labels, alerts, pages) must be valid UTF-8; text meant to name a file must name
// exactly that file. The forms here keep both apart:
// - ShownText is for reading only: valid UTF-8 in which every byte that is no part of a valid
//   character, and every control character but tab and line feed, is written "\xHH".
//   ShownLine is the same on one line: tab and line feed are written so too.
// - FileUri is a "file://" URI of the path's bytes, every byte other than the unreserved ones
//   and '/' percent-encoded ("%E9"); FileUriPath reads one back to the same bytes.
// - PathText is a path as one line of plain text: the path itself when it is valid UTF-8 free
//   of control characters, else its FileUri. An absolute path begins with '/', a URI with
//   "file:", so neither form can be taken for the other or for another file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the valid UTF-8 character at s (n bytes on), 0 when there is none: a byte
// that starts no character, a cut or overlong sequence, a surrogate or a code past U+10FFFF.
size_t Utf8CharLength(const char* s, size_t n);
bool ValidUtf8(std::string_view s);

std::string ShownText(std::string_view s);
std::string ShownLine(std::string_view s);
// Whether s is valid UTF-8 free of control characters: text that a one-line field shows as it is.
bool PlainLine(std::string_view s);

// s with every byte but the unreserved ones (letters, digits, '-', '.', '_', '~') and, when
// keepSlash, '/' percent-encoded: "caf%E9.jpg".
std::string PercentEncoded(std::string_view s, bool keepSlash);

std::string FileUri(std::string_view path);
// The path of a "file:" URI with an empty host or "localhost", percent-decoded to its bytes;
// false for anything else (another scheme or host, a relative or malformed URI, a NUL byte).
bool FileUriPath(std::string_view uri, std::string* path);

std::string PathText(std::string_view path);
