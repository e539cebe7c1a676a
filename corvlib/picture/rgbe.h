// RGBE scanline coding.
//
// A picture's pixels are four bytes each: three 8-bit mantissas and one shared 8-bit
// exponent (RGBEPIX). The same pixel serves RGB (RGBE) and CIE XYZ (XYZE) pictures. A
// scanline is stored flat, in the per-component run-length form, or in the old repeat-code
// form; readers accept all three.
#pragma once

#include <cstddef>
#include <cstdio>

// Byte positions within a pixel.
enum : int { RGBE_RED = 0, RGBE_GRN = 1, RGBE_BLU = 2, RGBE_EXP = 3 };

// One pixel in file order: mantissa 0 (red or X), 1 (green or Y), 2 (blue or Z), exponent.
// With exponent E > 0 component k is (m_k + 0.5) * 2^(E - 136); E = 0 is black.
typedef unsigned char RGBEPIX[4];

// The exponent's offset: a component (m + 0.5) / 256 * 2^(E - RGBE_EXCESS).
constexpr int RGBE_EXCESS = 128;
// Shortest and longest scanlines that are run-length coded.
constexpr int RGBE_MINELEN = 8;
constexpr int RGBE_MAXELEN = 0x7fff;

// Encodes a colour. Negative components and NaN become 0; a colour too bright for the
// exponent is clamped to the largest code; one whose largest component is at most 1e-32 is
// black.
void setcolr(RGBEPIX pixel, double r, double g, double b);
// Decodes a pixel into three floats.
void colr_color(float colour[3], const RGBEPIX pixel);

// Decodes n pixels into 3n floats. colrs_color picks the fastest kernel the processor runs;
// colrs_color_plain is the reference, and both give the same floats as colr_color.
void colrs_color(float* colours, const RGBEPIX* pixels, size_t n);
void colrs_color_plain(float* colours, const RGBEPIX* pixels, size_t n);

// Writes one scanline of n pixels: flat when n < RGBE_MINELEN or n > RGBE_MAXELEN, else
// run-length coded. Returns 0 on success, -1 on a stream error (run-length form) or the
// number of pixels written minus n (flat form).
int fwritecolrs(const RGBEPIX* pixels, int n, FILE* fp);
// Reads one scanline of n pixels in any of the three forms. Returns 0, or -1 on end of file,
// a run-length length that is not n, a run or dump that passes the end of the scanline, or a
// repeat code with no pixel before it or a count that passes the end.
int freadcolrs(RGBEPIX* pixels, int n, FILE* fp);
// Reads the old repeat-code form (flat pixels with repeat codes) for n pixels.
int oldreadcolrs(RGBEPIX* pixels, int n, FILE* fp);

// Encodes n float triples (3n floats) with setcolr and writes them with fwritecolrs; -1 on
// failure.
int fwritescan(const float* colours, int n, FILE* fp);
// Reads a scanline and decodes it into n float triples; -1 on failure.
int freadscan(float* colours, int n, FILE* fp);

// 1 when some component of c1 and c2 differs by more than tolerance times the other.
int bigdiff(const float c1[3], const float c2[3], double tolerance);

// The calling thread's scratch buffer: grows to at least size bytes and returns it (NULL
// with its size reset when that fails). Its content lasts until the thread's next call;
// fwritescan, freadscan and tmCvRGB48 use it too.
void* tempbuffer(size_t size);
