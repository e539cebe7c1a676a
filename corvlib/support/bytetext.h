// File names and other text from files, which may hold any bytes, on their way to the user or
// to another program.
//
// A path on Linux is bytes: nothing makes it UTF-8, and a name may hold a newline. Text meant
// to be read (labels, alerts, pages) must be valid UTF-8; text meant to name a file must name
// exactly that file. The forms here keep both apart:
// - Shown text is a name (or any text of bytes) as a person reads it: valid UTF-8 in which two
//   different texts never look alike, and from which ShownBytes gives the bytes back. A byte
//   that is no part of a valid character, a control character, and each byte of a character
//   that shows as nothing or turns the text around (a C1 control, a bidirectional mark,
//   embedding, override or isolate) is written "\xHH" (upper-case hex). A backslash that would
//   read as the start of such an escape (one that comes before an 'x' or a backslash in the
//   shown text) is written "\\"; any other backslash stands for itself. Of its three forms,
//   text (labels, alerts, pages) keeps tab and line feed; a line (of the log, say) escapes
//   them; and a name (a name or a value on its own: a field, a cell, a caption, a file dialog's
//   entry) escapes also a space at either end, which a field would trim and a caption would
//   not show.
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

enum ShownForm { kShownText, kShownLine, kShownName };
std::string Shown(std::string_view s, ShownForm form);
inline std::string ShownText(std::string_view s) {
  return Shown(s, kShownText);
}
inline std::string ShownLine(std::string_view s) {
  return Shown(s, kShownLine);
}
inline std::string ShownName(std::string_view s) {
  return Shown(s, kShownName);
}
// Whether s shows as it is in the form (Shown(s, form) == s), without making the shown text.
bool ShownAsIs(std::string_view s, ShownForm form);
// The bytes a shown text stands for, of any text a person typed or edited: "\xHH" (either
// case of hex) is that byte, "\\" a backslash; a backslash in any other place is itself, and
// "\x00" is left as typed, since no name holds a NUL byte. ShownBytes(Shown(s, form)) == s for
// every form and every s without NUL bytes, so an edit keeps the bytes of what it did not touch.
std::string ShownBytes(std::string_view text);
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
