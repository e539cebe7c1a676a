// The aspect typed in the image export options.
#pragma once

// The typed aspect as shorter over longer side in *aspect: two positive numbers with a point
// for decimals, apart by anything that is no part of a number ("4:3", "3 x 4", "16/9",
// "1.85:1"), or nothing (0: the picture's own). False, *aspect untouched, for any other text
// ("1,85:1", "1.5", "4:3:2", "0:1").
bool PaspectOf(const char* text, float* aspect);
