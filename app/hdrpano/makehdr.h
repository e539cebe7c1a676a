// The Make HDR command: the selected records, an exposure series of one scene, merged into one
// high-dynamic-range image that opens in the image window as a temporary image.
#pragma once

#include "catalog/pdbase.h"
#include "db/dbquery.h"
#include "image/pimage.h"

// Option bits of the HDR options dialog (check box 'optn' 128 + bit number).
enum : int {
  kHDRuseResponse = 0x008,   // use the saved camera response
  kHDRsaveResponse = 0x010,  // save the solved response
  kHDRalign = 0x020,         // align the exposures
  kHDRexposure = 0x040,      // solve the exposure ratios
  kHDRflare = 0x080,         // remove lens flare
  kHDRghosts = 0x100,        // remove ghosts (moving objects)
  kHDRskip = 0x200,          // skip exposures that add nothing
};

// The command: 1 when the image was made and shown.
int makeHDR();
// Makes the HDR image of the selection and its temporary file, and fills rec; 1 on success, 0 on
// cancel or failure.
int recordTempHDR(DBRecord* rec);
// The merge itself, for options already chosen (respIndex: the camera's saved response in
// gCamResponse, -1 for none): the selected records' exposures merged, the result written as a
// temporary file and described in rec.
int PmergeTempHDR(DBRecord* rec, int opts, int respIndex);
// Checks the selection and asks for the options: the option bits, or -1 when the selection is
// unusable or the dialog was cancelled; *respIndex the camera's saved response or -1.
int getHDROptions(int* respIndex);
// Why the selection cannot make an HDR image, or NULL when it can; dq (camera-response schema)
// gets the series' camera.
const char* checkHDR(DBQuery* dq);
// Makes sure rec has a sample-to-nits factor, computed from its exposure when missing; 1 on
// success, 0 when it cannot be computed.
int getStoNits(DBRecord* rec);
// 1 when a and b are flipped alike and turned alike (modulo 360 degrees).
int matchOrient(const DBRecord& a, const DBRecord& b);
// Writes img as a temporary TIFF and points rec at it; 1 on success.
int saveTempHDR(DBRecord* rec, const _ImgStruct* img);
// The generic camera response ("Generic" "Camera" "0.0", x squared in each channel).
void PgenericResponse(DBRecord* rec);
