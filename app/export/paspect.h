// The aspect typed in the image export options.
#pragma once

// The typed aspect as shorter over longer side in *aspect: the first two numbers of the text
// (a point for decimals) apart by anything but digits, both above 0 ("4:3", "3 x 4", "16/9",
// "1.85:1", "16:9 wide", "4:3:2"); 0, the picture's own shape, for any text without two such
// numbers ("", "2", "abc", "0:3"). False, *aspect untouched, for a decimal comma ("1,85:1",
// "2,35"), which would be read as another shape.
bool PaspectOf(const char* text, float* aspect);
