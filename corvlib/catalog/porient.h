// Display orientation of a photo: the record's clockwise rotation (Orient) and flips (Flip)
// turned into three switches on the original image (mirror left to right, mirror top to
// bottom, then exchange the axes), with user rotations and flips added on top, the mapping
// of pixel positions and the orienting of images.
#pragma once

#include "catalog/pdbase.h"
#include "image/pimage.h"

class POrient {
 public:
  POrient() = default;
  explicit POrient(const DBRecord* r) { SetRecord(r); }

  // Size from XSize and YSize (1 x 1 when absent), rotation from Orient, then Flip bit 1
  // (mirror) and bit 2 (upside down) as flips of the rotated image.
  void SetRecord(const DBRecord* r);
  void SetOrigSize(int w, int h) {
    xres = w;
    yres = h;
  }
  int GetWidth() const { return xyswap ? yres : xres; }
  int GetHeight() const { return xyswap ? xres : yres; }
  bool IsNoop() const { return !hflip && !vflip && !xyswap; }
  // Mirrors of the displayed image.
  void HFlip();
  void VFlip();
  // Adds a clockwise rotation, rounded to the nearest quarter turn (any int).
  void RotateCW(int degrees);
  // The oriented position of original pixel (x, y).
  void MapToCorrect(int* cx, int* cy, int x, int y) const;
  // Writes src oriented into dst; with a null src dst is oriented in place. src (or dst
  // in place) must be xres x yres. A dst with pixels must match src's colour space and the
  // oriented size and must not share its memory.
  bool OrientImage(_ImgStruct* dst, const _ImgStruct* src) const;
  // The EXIF orientation (1 to 8) of the switches.
  int ExifOrientation() const;

  int32_t xres = 1, yres = 1;
  bool hflip = false;
  bool vflip = false;
  bool xyswap = false;
};
