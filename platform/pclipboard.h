// The system clipboard, as UTF-8 text. Needs the Qt application.
//
// The generation count tells new clipboard content from content already seen: it rises each
// time the clipboard's content changes, whether this program or another changed it, and never
// on a read. A reader that keeps the generation it last examined need not read and parse the
// same content again.
#pragma once

#include <cstdint>
#include <string>

// Puts text on the clipboard in place of whatever it held. Bytes that are not UTF-8 arrive as
// U+FFFD. False without a clipboard.
bool ClipboardPutText(const std::string& utf8);

// The clipboard's text, as UTF-8; false (and *utf8 emptied) when it holds no text.
bool ClipboardGetText(std::string* utf8);

// The generation of the clipboard's content; content put by ClipboardPutText has the
// generation read right after it.
uint64_t ClipboardGeneration();
