// Pixel conversion between any two colour spaces: conversion records and whole-image
// conversion, copying and shifting.
#pragma once

#include <cstdint>

#include "image/pimage.h"

// ---------------------------------------------------------------------------------------------
// Pixel conversion

struct _ImgColorConv;
typedef void (*ImgGetPixFunc)(float* out, const uint8_t* src, int n, const _ImgColorConv* cv);
typedef void (*ImgPutPixFunc)(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv);

// Conversion record from one colour space to another, built once by setColorConv: decode to
// linear float triples, apply cmat and logoff, encode.
struct _ImgColorConv {
  uint16_t spsize, dpsize;  // pixel sizes in bytes
  float slogorig;
  float sgamma;
  float dectab[256];  // decoded value of each 8-bit code
  int32_t usemat;     // -1 unsupported, 0 no matrix, 1 apply cmat
  ImgGetPixFunc getpix;
  float cmat[3][3];
  float dlogorig;
  float digamma;         // 1 / destination gamma
  uint8_t enctab[1024];  // 8-bit code of v in [0, 1) at index floor(v * 1024)
  float logoff;          // added to every component after the matrix
  ImgPutPixFunc putpix;
  // Tables of the fast paths, built once with the record.
  float darkthr[257];      // smallest v below 0.012 that encodes to each 8-bit code
  int32_t ndark;           // codes 0 .. ndark - 1 are reached below 0.012
  uint8_t darkfine[2049];  // a lower bound of the code in each 1/2048 of the dark range
  uint8_t encfast[1025];   // enctab with 255 appended for values of 1 and above
  int32_t fast;            // which fast kernel applies (0 none)
  uint8_t lut8[256][3];    // 8-bit to 8-bit: output codes of each input code
};

// Pixels per batch of the conversion routines.
constexpr int PCONV_BATCH = 1023;

int setColorConv(_ImgColorConv* cv, const _ImgColorSpace* dst, const _ImgColorSpace* src,
                 double scale);
// Heap record (free with std::free) or null.
_ImgColorConv* PcreateColorConv(const _ImgColorSpace* dst, const _ImgColorSpace* src, double scale);
int PconvertPixels(void* dst, const void* src, int n, const _ImgColorConv* cv);
int PconvertPixel(void* dst, const void* src, const _ImgColorSpace* dstcs,
                  const _ImgColorSpace* srccs);
// Copies src into dst converting to dst's colour space; dst without pixels gets new ones.
int PmapImage(_ImgStruct* dst, const _ImgStruct* src, double scale);
// Converts an image into colour space cs, in place when possible.
int PconvertColorSpace(_ImgStruct* img, const _ImgColorSpace* cs, double scale);
// Hands each row, converted into cs, to callback(row, xres, y, data); stops when it
// returns 0.
typedef int (*ImgRowCallback)(const void* row, int xres, int y, void* data);
int PconvertImageCB(const _ImgStruct* img, const _ImgColorSpace* cs, double scale,
                    ImgRowCallback callback, void* data);
// out = m * in for n triples (out may trail in by one triple in the same buffer).
void applyMat(float* out, const float* in, int n, const float m[3][3]);
void addOffset(float* values, int n, float offset);

// Copies src with its top-left pixel at (x, y) into dst, converting colour.
int PcopyImage(_ImgStruct* dst, const _ImgStruct* src, int x, int y);
// Moves image content by (dx, dy) in its memory; callback(img, rect, data) refills each
// vacated strip.
typedef void (*ImgShiftCallback)(_ImgStruct* img, const _ImgRect* rect, void* data);
int PshiftImageCB(_ImgStruct* img, int dx, int dy, ImgShiftCallback callback, void* data);
// Gives an image compact pixel memory of its own.
int PdelinkImage(_ImgStruct* img);
