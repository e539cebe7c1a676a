// Picture header lines and resolution strings.
//
// A picture opens with a text header: newline-terminated lines ("#?" and a program name,
// name=value lines, free text), an empty line, then one resolution line such as
// "-Y 480 +X 640" that gives the size and scan order of the binary scanlines after it.
// These routines write and read those lines over stdio streams; the picture reader and
// writer, the tone-mapping picture loader and the view routines share them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

// Standard header prefixes.
inline constexpr char HDRSTR[] = "#?";
inline constexpr char FMTSTR[] = "FORMAT=";
inline constexpr char TMSTR[] = "CAPDATE=";
inline constexpr char GMTSTR[] = "GMT=";

// The two pixel formats of a picture.
inline constexpr char COLRFMT[] = "32-bit_rle_rgbe";
inline constexpr char CIEFMT[] = "32-bit_rle_xyze";

// Size of the buffer a FORMAT value is captured into (value plus terminator); longer values
// are cut to MAXFMTLEN - 1 characters.
constexpr size_t MAXFMTLEN = 64;
// Size of the buffer a "#?" program name is captured into by default.
constexpr size_t MAXHEADIDLEN = 64;
// getheader's line buffer: a line of up to HEADLINE_BUFLEN - 2 characters plus its newline
// arrives whole; a longer one arrives in pieces of HEADLINE_BUFLEN - 2 characters.
constexpr size_t HEADLINE_BUFLEN = 2048;
// The resolution line is read into and written from a buffer of this size.
constexpr size_t RESOLU_BUFLEN = 32;

// Scan-order bits of a picture.
enum : int {
  RES_XDEC = 1,  // x decreases along the scan
  RES_YDEC = 2,  // y decreases
  RES_YMAJ = 4   // y is the major axis: scanlines are rows along x
};

// A picture's resolution and scan order; both sizes at least 1.
struct PICRES {
  int order;  // RES_* bits
  int xres;   // x size
  int yres;   // y size
};

// Length of one scanline and number of scanlines of a resolution.
inline int picresScanlen(const PICRES& r) {
  return (r.order & RES_YMAJ) ? r.xres : r.yres;
}
inline int picresNumScans(const PICRES& r) {
  return (r.order & RES_YMAJ) ? r.yres : r.xres;
}

// The buffer shared by the resolution routines.
extern char resolu_buf[RESOLU_BUFLEN];

// A header-line callback: gets each line (with its newline, NUL-terminated) and the caller's
// data; a negative result stops the header read.
typedef int HeadLineFunc(const char* line, void* data);

// ---- Writing ----

// Writes "#?" and name and a newline.
void newheader(const char* name, FILE* fp);
// Writes "FORMAT=" value and a newline.
void fputformat(const char* value, FILE* fp);
// Writes "CAPDATE= yyyy:mm:dd hh:mm:ss" from the local time of t, then "GMT= ..." from UTC;
// a line whose time cannot be converted is skipped.
void fputdate(time_t t, FILE* fp);
// fputdate of the current time.
void fputnow(FILE* fp);
// Writes a word so that nextword() reads it back whole: quoted when it holds white space or a
// quote character (apostrophes when it holds a double quote), else bare. An empty word writes
// nothing.
void fputword(const char* word, FILE* fp);
// Writes the words through fputword separated by blanks and ends the line; nothing for
// count <= 0.
void printargs(int count, const char* const* words, FILE* fp);
// Formats res as "%cY %d %cX %d\n" (RES_YMAJ) or "%cX %d %cY %d\n" into buf, which holds at
// least RESOLU_BUFLEN bytes. Returns buf.
char* resolu2str(char* buf, const PICRES* res);
// Writes the resolution line of a picture of count scanlines of scanlen pixels in the given
// order.
void fputresolu(int order, int scanlen, int count, FILE* fp);

// ---- Reading ----

// Reads header lines up to and including the empty line, handing each other line to
// callback (NULL skips them). Returns 0 at the empty line, -1 at end of file or when the
// callback returns a negative value.
int getheader(FILE* fp, HeadLineFunc* callback, void* data);
// 1 when line begins with "#?"; then copies the name after it (up to white space, at most
// size - 1 characters) into name when name is not NULL. 0 otherwise.
int headidval(char* name, const char* line, size_t size = MAXHEADIDLEN);
// 1 when line is a FORMAT line with a non-empty value; copies the value (up to white space,
// at most size - 1 characters) into value when value is not NULL. 0 otherwise.
int formatval(char* value, const char* line, size_t size = MAXFMTLEN);
// 1 when line is a valid "CAPDATE=" line; *t (when t is not NULL) gets the local time.
int dateval(time_t* t, const char* line);
// 1 when line is a valid "GMT=" line; *t (when t is not NULL) gets the time, taken as UTC.
int gmtval(time_t* t, const char* line);
// Reads the header, copying every non-FORMAT line to out (when not NULL). format is an exact
// name, or a pattern when it holds '*' or '?'; a matching pattern is overwritten with the
// format found, so its buffer must hold MAXFMTLEN bytes. Returns 1 on a match, 0 when the
// header has no FORMAT line, -1 on a mismatch or a read error.
int checkheader(FILE* fp, char* format, FILE* out);
// 1 when the whole string matches the wildcard pattern ('?', '*', '[' sets, '\' escapes).
int globmatch(const char* pattern, const char* string);
// Parses a resolution line; 1 on success, 0 when it is NULL, lacks an 'X' or a 'Y', or a
// size is below 1 or does not fit an int.
int str2resolu(PICRES* res, const char* line);
// Reads the resolution line (at most RESOLU_BUFLEN - 1 characters) into resolu_buf and
// parses it; returns the order bits and the scanline length and count, or -1 when it is
// missing or malformed.
int fgetresolu(int* scanlen, int* count, FILE* fp);
