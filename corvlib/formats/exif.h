// EXIF metadata of photographs: the fields read from TIFF-structured directories into image
// information, and the small text checks that metadata (and text typed by users) goes through.
#pragma once

// 1 when text is a "YYYY:MM:DD hh:mm:ss" date of exactly 19 characters with every number in
// range (year after 1849); else 0.
int dateOK(const char* text);

// Tidies a metadata text in place: leading and trailing white space removed, every character
// outside printable ASCII (space to '~') replaced by '?', the text moved to the start.
// Returns 1 when text is left, 0 when the text is now empty (or NULL).
int cleanString(char* text);
