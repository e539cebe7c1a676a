// The busy guard.
#include "app/core/pbusy.h"

#include "platform/pevent.h"
#include "platform/pwindow.h"

namespace {

int depth = 0;
bool quitDeferred = false;

constexpr UInt32 C(const char (&s)[5]) {
  return FourCC(s);
}

}  // namespace

PBusyGuard::PBusyGuard() {
  ++depth;
}

PBusyGuard::~PBusyGuard() {
  if (--depth == 0 && quitDeferred) {
    quitDeferred = false;
    // The quit chosen during the operation goes through the ordinary command now.
    HICommand cmd{0, C("quit"), nullptr, 0};
    ProcessHICommand(&cmd);
  }
}

bool PisBusy() {
  return depth > 0;
}

bool PrefusedWhileBusy(UInt32 command) {
  if (command >= C("cat1") && command <= C("cat5")) return true;
  switch (command) {
    case C("cata"):  // catalogues open and close
    case C("catn"):
    case C("clos"):  // the main window closes
    case C("dir "):  // records are replaced
    case C("irec"):
    case C("relo"):
    case C("past"):
    case C("dupl"):
    case C("find"):
    case C("fnby"):
    case C("undo"):
    case C("redo"):
    case C("sort"):  // records are reordered
    case C("sman"):
    case C("sdat"):
    case C("sfil"):
    case C("ssub"):
    case C("stit"):
    case C("sown"):
    case C("cut "):
    case C("dele"):
    case C("clea"):
    case C("clei"):
      return true;
    // Searches, and the edits of displayed records that the info window commits.
    case C("fdsp"):
    case C("fcat"):
    case C("add "):
    case C("subj"):
    case C("titl"):
    case C("ownr"):
    case C("keyw"):
    case C("comm"):
    case C("cptn"):
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
    case C("flhz"):
    case C("flvt"):
      return true;
    default:
      return command >= C("oth1") && command <= C("oth9");
  }
}

bool PrefusedWhileAsking(UInt32 command) {
  if (PrefusedWhileBusy(command)) return true;
  // The recent values of the setting menus.
  if ((command >= C("sub1") && command <= C("sub7")) ||
      (command >= C("own1") && command <= C("own5")) ||
      (command >= C("alb1") && command <= C("alb7")) ||
      (command >= C("key1") && command <= C("key9")))
    return true;
  switch (command) {
    case C("save"):  // files written, renamed or made
    case C("renm"):
    case C("mhdr"):
    case C("pano"):
    case C("eimg"):
    case C("eweb"):
    case C("erec"):
    case C("ecat"):
    case C("prnt"):
    case C("prni"):
    case C("pref"):
    case C("open"):  // the image a waiting save or print works on
    case C("albm"):  // records changed
    case C("othr"):
    case C("date"):
    case C("dens"):
    case C("posn"):
    case C("rept"):
    case C("crop"):
    case C("reye"):
    case C("spot"):
    case C("calb"):
    case C("porg"):
    case C("pdst"):
      return true;
    default:
      return false;
  }
}

void PinstallQuestionGate() {
  SetCommandGate([](UInt32 command) { return InModalWait() && PrefusedWhileAsking(command); });
}

void PdeferQuit() {
  quitDeferred = true;
}

bool PquitDeferred() {
  return quitDeferred;
}
