// The statistics the histogram window shows, over bin positions.
#pragma once

// Counts, the fullest bin's count, and positions in bins: the mean, the standard deviation (0 for
// a single sample), the centre of the bin where the count passes half, the first bin with a count
// (nbins when none) and one past the last (0 when none).
struct PHistoStats {
  unsigned long long n = 0;
  unsigned int hmax = 0;
  double mean = 0, sd = 0, median = 0;
  int first = 256, last = 0;
};

PHistoStats PhistoStats(const unsigned int* h, int nbins);

// Whether a channel's histogram of [lo, hi] is shown on the logarithmic scale: luminance of an
// HDR image with finite limits 0 < lo < hi.
bool PhistoLogScale(int chan, bool hdr, double lo, double hi);
