// Saving what the image window shows: the helpers of PImageWindow::SaveImage and the close
// callback of temporary images (HDR results, panoramas).
#pragma once

#include "catalog/porient.h"
#include "display/pdispimg.h"

// The close callback of temporary images: makes the image current and offers to save it. True
// when it was saved (its temporary file is gone), or when "Don't Save" deleted the temporary
// file; false, vetoing the close, when the user cancelled or the save failed. When the close
// cannot be vetoed (ask false) an unsaved file is kept where it is and reported.
bool PIsaveDelete(PDisplayImage* di, bool ask);

// Rewrites the geometric fields of rec (size, densities, view angles, view description) for
// pixels made by cutting crop out of the image and then applying ior (either may be NULL).
// Crop, orientation, red-eye and spot-exposure settings are cleared as they are applied.
void fixImageSettings(DBRecord* rec, const POrient* ior, const _ImgRect* crop);
// Multiplies the floating-point pixels of img by mult and divides rec's sample-to-nits factor
// by it; 0, with nothing done, when img is not floating point.
int adjustExposure(DBRecord* rec, _ImgStruct* img, float mult);
// Whether rec's format names a one-channel encoding, and whether it is a format whose files
// hold their orientation in the pixels' order rather than in a setting.
bool formatIsGrayscale(const DBRecord& rec);
bool formatReorients(const DBRecord& rec);
