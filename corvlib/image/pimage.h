// Image buffers: descriptors viewing pixels in shared reference-counted blocks, rectangles,
// sub-images and frame positions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/picolor.h"
#include "support/memobject.h"

// ---------------------------------------------------------------------------------------------
// Image buffers

// Pixel rectangle; left and top inclusive, right and bottom exclusive, y down.
struct _ImgRect {
  int32_t xleft, xright, ytop, ybottom;
};

// An image descriptor: a view of pixels, usually in a shared reference-counted block.
struct _ImgStruct {
  int32_t xres, yres;
  const _ImgColorSpace* csp;  // static colour space, or the private copy in the block
  int32_t rowsize;            // bytes from one row to the next (may be negative)
  MemObject* mbase;           // the block holding the pixels, or null when not ours
  uint8_t* img;               // top-left pixel, or null when there are no pixels
};

// Bytes reserved in front of an image block's pixels for its private colour space; keeps
// pixel memory 64-byte aligned.
constexpr size_t PIMG_CSSLOT = 64;

// Frame sequence kinds of multi-frame images (used by PabsFrame and the image readers).
enum ImgFrameType : int32_t {
  IRFnone = 0,
  IRFlayer = 1,
  IRFanim = 2,
  IRFloop = 3,
  IRFbackforth = 4,
  IRFslice = 5,
  IRFunknown = 6
};

// Gives pixels to an image whose xres, yres and csp are set; aspect > 0.01 (height over
// width) first shrinks a dimension that is at least two pixels too large.
int PnewImage(_ImgStruct* img, double aspect);
// Drops the image's link to its pixels.
void PfreeImage(_ImgStruct* img);
// Makes dst view src's pixels, or the rectangle of them (dst may be src).
int PlinkSubimage(_ImgStruct* dst, const _ImgStruct* src, const _ImgRect* rect);
// Links the parts of dst and src that overlap with src's top-left pixel placed at (x, y).
int PlinkCoverage(_ImgStruct* dsub, _ImgStruct* ssub, const _ImgStruct* dst, const _ImgStruct* src,
                  int x, int y);
// Fills the image with zero bytes (pixel null) or with copies of one pixel.
int PclearImage(_ImgStruct* img, const void* pixel);
int PclearRect(_ImgStruct* img, const _ImgRect* rect, const void* pixel);
// Intersects rect with clip in place; whether the result is non-empty.
int PclipRect(_ImgRect* rect, const _ImgRect* clip);
// Whether the pixel memory of two images can overlap.
int PimagesOverlap(const _ImgStruct* a, const _ImgStruct* b);
// Pixel coordinates of a byte address in an image's rows; 1 when it falls on a pixel.
int PpixPos(int* x, int* y, const _ImgStruct* img, const void* addr);
// Expands n grey bytes to RGB triples, from the end, so dst may equal src.
void PgetRGB24fromY8(uint8_t* dst, const uint8_t* src, int n);
// Moves *frame for a seek of offset (whence 0 absolute, else relative; 2 wraps loops).
int PabsFrame(int* frame, int nframes, ImgFrameType frameType, int offset, int whence);
