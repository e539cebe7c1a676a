// The (u', v') cells of 24-bit LogLuv pixels: a 14-bit index numbers the squares of side
// 0.0035 that cover the visible gamut row by row (163 rows of v', each from its own first u').
#pragma once

constexpr int UV_NDIVS = 16289;  // number of cells; indices at or above are invalid

// The cell of chromaticity (u', v'); -1 when it lies outside the gamut's cells.
int uvEncode(double u, double v);
// The centre of cell c into *u, *v; -1 (and nothing set) for an invalid index, else 0.
int uvDecode(double* u, double* v, int c);
