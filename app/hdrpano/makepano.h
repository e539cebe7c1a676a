// The Panorama command: the images linked pairwise in the image window are rendered into one
// canvas at a chosen resolution, their ragged edges trimmed, the uncovered area (the matte)
// filled and a border added on request; the result opens in the image window as a temporary
// image.
#pragma once

#include "catalog/pdbase.h"
#include "hdr/ppano.h"
#include "image/pimage.h"
#include "platform/pcontrol.h"
#include "support/abitmap.h"

// The panorama being built: the images linked so far.
extern PPanorama gCurPano;

// Radius of the trimming probe and starting radius of the random matte: one twentieth of the
// rendered panorama's shorter side, at least 1.
extern int TrimCornerRad;

// Option bits of the panorama dialog.
enum : int {
  kPanoMatteMask = 0x07,  // matte colour index 1 .. 6
  kPanoExpand = 0x10,     // a border of matte colour on every side
  kPanoTrim = 0x20,       // trim the ragged edges of the coverage
  kPanoRandom = 0x40,     // fill the matte with nearby picture content
};

// Canvases of more pixels than this report their progress.
constexpr long kPanoLargeCanvas = 16777216L;

// The command: true when a panorama was made and shown.
int makePano();
// Asks for the options, renders, writes the temporary file and fills rec; true on success.
int recordTempPano(DBRecord* rec);
// Shows the panorama dialog: its option bits, 0 when no panorama is to be built. cs and xyres
// (full-size width and height) come from the panorama's check, *szPct from the resolution slider;
// each may be NULL.
int panoDialogOK(_ImgColorSpace* cs, int* xyres, int* szPct);
// The members' File names, separated by one blank and cut at 4094 bytes (on a whole character),
// into the text control.
void putFileNames(ControlRef cntl, const DBRecordList& irl);
// Writes img as a temporary TIFF and points rec at it; true on success.
int saveTempPano(DBRecord* rec, const _ImgStruct* img);

// When set, the finishing steps below ask it every few thousand pixels whether to go on; false
// ends them early, leaving a result that is to be dropped (the matte colour then NULL). The
// Panorama command sets it while it finishes a large canvas, so that its Stop is heard.
extern bool (*PpanoGoOn)();

// Trimming, with the probe radius R = TrimCornerRad.
// The i-th point of the X-shaped probe (4R + 1 points); false past the last.
bool trimTest(int* d, int i);
// Clears (x, y) in map, returning true, when fewer than half of the probe points around it are
// set in orig (points off the mask count as unset).
bool doTrim(ABitMap2* map, const ABitMap2& orig, int x, int y);
// Whether (x, y) lies within R of the ends of the mask's longer side.
bool inImgCorner(int x, int y, int w, int h);
// Eats the coverage runs from their ends inwards while their pixels are thinly covered.
void trimPano(ABitMap2* map);

// The matte pixel of colour index 1 .. 6 in img's colour space, from the covered pixels; a buffer
// valid until the next call, or NULL (with a message) for another index or no memory.
unsigned char* getMatteColor(_ImgStruct* img, const ABitMap2& cover, int index);
// Fills the pixels that cover leaves unset: with color when solid, else with copies of random
// covered pixels nearby (color where none is found).
void fillMatte(_ImgStruct* img, const ABitMap2& cover, unsigned char* color, bool solid);
// Fills the canvas outside rect with color.
void addMatteBorder(_ImgStruct* canvas, const _ImgRect& rect, unsigned char* color);
