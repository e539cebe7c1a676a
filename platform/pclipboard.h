// The system clipboard, as text of any bytes. Needs the Qt application.
//
// Text goes on the clipboard as UTF-8 for every program to read. Text that is not valid UTF-8
// (a record naming a file of other bytes) reaches other programs with each stray byte as
// U+FFFD, and goes beside it, byte for byte, under a type of this program's own
// ("application/x-lumerin-bytes"), from which any copy of the program reads it back exactly.
//
// The generation count tells new clipboard content from content already seen: it rises each
// time the clipboard's content changes, whether this program or another changed it, and never
// on a read. A reader that keeps the generation it last examined need not read and parse the
// same content again.
#pragma once

#include <cstdint>
#include <string>

// Puts text on the clipboard in place of whatever it held. False without a clipboard.
bool ClipboardPutText(const std::string& text);

// The clipboard's text: the bytes this program put there, else its text as UTF-8; false (and
// *text emptied) when it holds no text.
bool ClipboardGetText(std::string* text);

// The generation of the clipboard's content; content put by ClipboardPutText has the
// generation read right after it.
uint64_t ClipboardGeneration();
