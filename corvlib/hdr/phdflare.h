// Lens-flare removal from a floating-point image: bright sources on a small copy, dark sample
// points at growing distances from them, a radial point-spread function fitted to those
// points, and the sources spread through it and subtracted at full resolution.
#pragma once

#include "image/pimage.h"
#include "support/abitmap.h"

class PHDPoll;

// The most sample points the fit accepts.
constexpr int PHDMAXPT = 25;

// Progress callback: a 0 result cancels; the message may be null.
typedef int (*PHDprogressFunc)(const char* message, int percent);

// Luminance of one float pixel.
double rgb2y(const float* p);
double xyz2y(const float* p);
double y2y(const float* p);

// The state of one flare removal; lives for one call.
struct FlareFilter {
  _ImgStruct* img = nullptr;                 // the image being cleaned (not owned)
  double (*getY)(const float* p) = nullptr;  // luminance of a pixel of rimg
  _ImgStruct rimg{};                         // small copy in img's colour space
  _ImgStruct yimg{};                         // its float luminance (a view when rimg is grey)
  ABitMap2 srcmap;                           // source pixels of rimg
  float scolor[4] = {0, 0, 0, 0};            // mean source colour per channel
  int ncoef = 0;                             // highest power of 1/r fitted (0 or 3)
  double coef[4] = {0, 0, 0, 0};             // c0 .. c3
  // Asked every few rows of the full-resolution passes: a Stop ends them (they fail).
  PHDPoll* poll = nullptr;

  FlareFilter() = default;
  ~FlareFilter();
  FlareFilter(const FlareFilter&) = delete;
  FlareFilter& operator=(const FlareFilter&) = delete;

  int RemoveFlare(_ImgStruct* image, PHDprogressFunc progress);
  int Resample();
  int FindSources();
  int ComputePSF();
  int ApplyPSF();
  // The darkest sample of the full-resolution block under small pixel (x, y) relative to the
  // source colour; 1e10 when the block offers none. channel receives its channel.
  double LocalMin(int x, int y, int* channel) const;
  // The number of source pixels.
  long NumSources() const { return static_cast<long>(srcmap.SumTotal()); }
};

// Removes lens flare from a float image in place; 1 when flare was removed.
int PHDremoveFlare(_ImgStruct* image, PHDprogressFunc progress);
