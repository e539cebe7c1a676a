// Registration of the standard image readers.
#include "formats/stdformats.h"

namespace {

// Registration order.
const _ImgReaderInterface* const kStandardReaders[] = {
    &IRInterfaceTIFF, &IRInterfaceJPEG, &IRInterfaceRad, &IRInterfaceEXR, &IRInterfaceBMP};

// The bytes each format's files begin with, for files whose suffix names another format.
struct Magic {
  const _ImgReaderInterface* ri;
  const char* bytes;
  size_t len;
};
const Magic kMagic[] = {{&IRInterfaceTIFF, "II*\0", 4},
                        {&IRInterfaceTIFF, "MM\0*", 4},
                        {&IRInterfaceTIFF, "II+\0", 4},
                        {&IRInterfaceTIFF, "MM\0+", 4},
                        {&IRInterfaceJPEG, "\xFF\xD8\xFF", 3},
                        {&IRInterfaceRad, "#?", 2},
                        {&IRInterfaceEXR, "\x76\x2F\x31\x01", 4},
                        {&IRInterfaceBMP, "BM", 2},
                        {&IRInterfaceBMP, "BA", 2}};

// How each reads a file the registry has opened.
struct OpenFd {
  const _ImgReaderInterface* ri;
  ImgOpenFd opener;
};
const OpenFd kOpenFd[] = {{&IRInterfaceTIFF, TRopenFd},
                          {&IRInterfaceJPEG, JRopenFd},
                          {&IRInterfaceRad, RRopenFd},
                          {&IRInterfaceEXR, ERopenFd},
                          {&IRInterfaceBMP, BMopenFd}};

}  // namespace

int PloadStandardReaders() {
  int ok = 1;
  for (const _ImgReaderInterface* ri : kStandardReaders)
    if (PaddIReaderI(ri) < 0) ok = 0;
  for (const Magic& m : kMagic)
    if (!PaddIReaderMagic(m.ri, m.bytes, m.len)) ok = 0;
  for (const OpenFd& o : kOpenFd)
    if (!PaddIReaderFd(o.ri, o.opener)) ok = 0;
  return ok;
}
