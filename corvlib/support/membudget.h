// How much memory one picture may take on this computer, and the words that refuse one that
// would take more. A picture's header can claim any size; its pixels are allocated only when the
// memory actually available can hold them.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes the process can still take now: the least of the memory the system says is
// available, the room left under this process's address-space and data limits, and the room
// left under its control group's limit. UINT64_MAX when none of them can be read.
uint64_t PmemoryAvailable();

// Makes PmemoryAvailable() answer bytes from now on, whatever the system says; 0 goes back to
// asking the system. For tests, whose verdicts must not depend on this computer's memory.
void PsetMemoryAvailable(uint64_t bytes);

// The most one picture's pixels may take: three quarters of what is available.
uint64_t PpictureMemoryLimit();

// True when a picture of w x h pixels of bytesPerPixel bytes fits under PpictureMemoryLimit().
// Otherwise false, with msg (n bytes) set to "'<name>' is W × H pixels (3.4 GB): too large for
// this computer's memory", name being the last part of path.
bool PpictureFits(const char* path, int64_t w, int64_t h, size_t bytesPerPixel, char* msg,
                  size_t n);

// The words of that refusal, whether or not the picture fits.
void PpictureTooLarge(const char* path, int64_t w, int64_t h, size_t bytesPerPixel, char* msg,
                      size_t n);

// A size in words as those refusals give it: "3.4 GB" from a tenth of a gigabyte up, else
// "12 MB".
void PbytesInWords(uint64_t bytes, char* text, size_t n);
