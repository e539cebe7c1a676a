// Display formatters of the photo fields and the conversion of capture-date texts to seconds.
// Every formatter has the engine's signature: it writes a NUL-terminated text into buf, which
// holds len bytes, and returns buf, or null when it cannot format the field (an empty text is
// left in buf once buf and len passed their checks). Only the field's first value is read.
#pragma once

#include <cstdint>

#include "db/dbfield.h"
#include "db/dbrecord.h"

// Location: the most recent folder; a folder too long for the buffer keeps its end behind
// "...". Null for len < 5.
char* PDBformatFolder(char* buf, int len, const DBField& f);
// CapDate and GMTdate: the longest of the date templates whose text fits the buffer, from
// "June 5 2004 3:07:09p" down to "6/04". Null for len < 3 or an invalid date.
char* PDBformatDate(char* buf, int len, const DBField& f);
// Source: "digital camera", "film", ... (short names below len 18), "UNKNOWN" otherwise.
char* PDBformatSource(char* buf, int len, const DBField& f);
// Aperture: "f/" and the number, at most 7 characters. Null for len < 5.
char* PDBformatAperture(char* buf, int len, const DBField& f);
// ExpTime: "2 sec", "1/250 sec"; the " sec" only when it fits. A value that is not a
// positive finite number, or too small to have an integer reciprocal, is printed as a plain
// number. Null for len < 7.
char* PDBformatExposure(char* buf, int len, const DBField& f);
// Flash: "off", "on", "unreturned" or "UNKNOWN" from the lowest three bits. Null for len < 4.
char* PDBformatFlash(char* buf, int len, const DBField& f);
// WhiteBal: "auto", "daylight", ... "other", "UNKNOWN". Null for len < 2.
char* PDBformatWhiteBal(char* buf, int len, const DBField& f);

// Seconds from 1980-01-01 00:00:00 to the date text "YYYY:MM:DD hh:mm:ss" (19 characters,
// year 1980 or later, month 1-12, day 1-31 in every month, hour 0-23, minute and second
// 0-59), with no time zone. A day beyond the month's end runs on into the next month. 0 for a
// null or invalid text (and for 1980-01-01 00:00:00 itself).
int64_t PsecsFromDate(const char* date);
