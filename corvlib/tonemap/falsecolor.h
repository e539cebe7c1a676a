// False colour: each brightness is shown as one of 256 colours of a scale, mapped linearly or
// logarithmically between luminance limits (fixed, or percentiles of a tone-mapping
// histogram). Results are the TMERR_ codes, returned without printing.
#pragma once

#include "tonemap/tonemap.h"

struct FCstruct {
  TMbright mbrmin;            // lowest brightness of the map
  TMbright mbrmax;            // highest brightness of the map
  unsigned char* lumap;       // scale index per brightness mbrmin..mbrmax; NULL without map
  unsigned char (*scale)[3];  // 256 RGB triples, not owned
};

extern unsigned char fcDefaultScale[256][3];

FCstruct* fcInit(unsigned char (*scale)[3]);  // NULL scale: fcDefaultScale
int fcFixedLinear(FCstruct* fcs, double Lwmax);
int fcFixedLog(FCstruct* fcs, double Lwmin, double Lwmax);
int fcLinearMapping(FCstruct* fcs, const TMstruct* tms, double pctile);
int fcLogMapping(FCstruct* fcs, const TMstruct* tms, double pctile);
int fcMapPixels(FCstruct* fcs, unsigned char* ps, const TMbright* ls, int len);
int fcIsLogMap(const FCstruct* fcs);  // 1 logarithmic, 0 linear, -1 no map
FCstruct* fcDup(const FCstruct* fcs);
void fcDone(FCstruct* fcs);
