// EXIF metadata of photographs: the fields read from TIFF-structured directories into image
// information, the colour space of 8-bit images, the embedded JPEG thumbnail, and the small
// text checks that metadata (and text typed by users) goes through.
#pragma once

#include "image/pireader.h"

class TIFFin;

// Fills info from IFD0, the EXIF directory and the GPS directory of tin: source, dates,
// exposure, sample-to-nits factor, view angle, position, orientation, owner and comments.
// Flag bits are only added (the caller clears them first). Returns 1 when all three
// directories were read, 0 when one is missing (what was found stays).
int GetExifInfo(_ImgInfo* info, TIFFin* tin);

// Sets cs to the colour space of an 8-bit image described by tin (sRGB, grey, Adobe RGB or
// the primaries stored in IFD0); 1 when the colour space was decided, 0 when not (cs then
// holds the sRGB default, unless the bits per sample rule 8-bit data out).
int GetExifCS(_ImgColorSpace* cs, TIFFin* tin);

// Decodes the JPEG thumbnail of IFD1 into img, whose csp (8-bit RGB) the caller set and whose
// xres and yres (when above 0) ask for the smallest power-of-two reduction that still covers
// that size. 1 on success; on failure img has no pixels.
int GetExifThumbnail(_ImgStruct* img, TIFFin* tin);

// 1 when text is a "YYYY:MM:DD hh:mm:ss" date of exactly 19 characters with every number in
// range (year after 1849); else 0.
int dateOK(const char* text);

// Tidies a metadata text in place: leading and trailing white space removed, every character
// outside printable ASCII (space to '~') replaced by '?', the text moved to the start.
// Returns 1 when text is left, 0 when the text is now empty (or NULL).
int cleanString(char* text);
