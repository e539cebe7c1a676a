// View specifications: the camera of a rendered picture (projection, position, direction,
// up vector, field of view, image offsets, clipping), as option text ("-vtv -vp 0 0 0 ...")
// in "VIEW=" header lines, and the mapping between image positions and world rays.
#pragma once

#include <cstdio>

#include "picture/picheader.h"
#include "support/fvect.h"

// Projection types.
enum : int {
  VT_PER = 'v',  // perspective
  VT_PAR = 'l',  // parallel
  VT_CYL = 'c',  // cylindrical panorama
  VT_HEM = 'h',  // hemispherical fisheye
  VT_ANG = 'a',  // angular fisheye
  VT_PLS = 's'   // planisphere (stereographic) fisheye
};

inline constexpr char VIEWSTR[] = "VIEW=";

struct VIEW {
  int type;      // projection letter
  FVECT vp;      // view point
  FVECT vdir;    // view direction (unit after setview)
  FVECT vup;     // view up (unit after setview)
  double vdist;  // view distance
  double horiz;  // horizontal size: degrees, or world units for VT_PAR
  double vert;   // vertical size
  double hoff;   // horizontal image offset, in image widths
  double voff;   // vertical image offset, in image heights
  double vfore;  // fore clipping distance (0 = none)
  double vaft;   // aft clipping distance (0 = none)
  FVECT hvec;    // derived: horizontal image vector
  FVECT vvec;    // derived: vertical image vector
  double hn2;    // derived: squared horizontal scale
  double vn2;    // derived: squared vertical scale
};

// The default view: perspective from the origin along +y with +z up, 45 by 45 degrees.
extern const VIEW stdview;

// Checks a view and computes its derived vectors; NULL on success, else the reason.
const char* setview(VIEW* v);
// Fits the image size *xp by *yp (or the pixel aspect *ap when it is 0) to the view's
// height-to-width ratio va.
void normaspect(double va, double* ap, int* xp, int* yp);
// The ray through image position (x, y) in 0..1: its origin and unit direction. Returns the
// ray's length to the aft plane, 0 when there is none, or -1 when the position lies outside
// the projection.
double viewray(FVECT orig, FVECT dir, const VIEW* v, double x, double y);
// The image position of world point p: ip[0], ip[1] in image units, ip[2] the distance beyond
// the fore plane (negative behind the view).
void viewloc(FVECT ip, const VIEW* v, const FVECT p);
// Image position of the centre of pixel (px, py) in scan coordinates of a picture.
void pix2loc(double loc[2], const PICRES* rp, int px, int py);
// Pixel in scan coordinates at image position (lx, ly).
void loc2pix(int pp[2], const PICRES* rp, double lx, double ly);

// Takes one view option from the words av[0..ac); returns the number of argument words used
// after the option word (3, 1 or 0), or -1 when av[0] is no view option or its arguments do
// not fit. The words may run on past a blank (they are read up to the next white space).
int getviewopt(VIEW* v, int ac, const char* const* av);
// Takes every view option in text into v, skipping what it cannot read; returns the number of
// options taken.
int sscanview(VIEW* v, const char* text);
// The options in which v differs from stdview, in a static buffer reused by every call.
const char* viewopt(const VIEW* v);
// Writes every option of v (no newline).
void fprintview(const VIEW* v, FILE* fp);

// 1 when line carries a view: its first word, after any path, begins with "VIEW=" or the
// running program's own name.
int isview(const char* line);
// State of gethview: the view to fill and the number of view lines found.
struct VIEWHEAD {
  VIEW* view;
  int count;
};
// Header-line callback: takes the options of a view line into the VIEWHEAD's view and counts
// the line; always 0.
int gethview(const char* line, void* viewhead);
// Reads the views in a picture's header (fname NULL or "-": standard input) into *vp and,
// when rp is not NULL, its resolution. Returns the number of view lines, 0 when a wanted
// resolution is malformed, -1 when the file cannot be opened.
int viewfile(const char* fname, VIEW* vp, PICRES* rp);
