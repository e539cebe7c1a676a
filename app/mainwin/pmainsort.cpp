// Sorting the displayed records: the sort popup and reverse box, the sort commands, an album's
// own order held in its records' positions, and the catalogue's default order.
#include <cstring>
#include <vector>

#include "app/core/pcmds.h"
#include "app/mainwin/pmainw.h"
#include "catalog/pfieldset.h"
#include "platform/pcontrol.h"

namespace {

constexpr int kMaxPositions = 128;

// The popup value of a sort code (0 for 'sort' and unknown codes) and the field of a value
// (-1: manual or none).
int ValueOf(unsigned long code) {
  switch (code) {
    case kCmdSortManual:
      return 1;
    case kCmdSortByDate:
      return 2;
    case kCmdSortByFile:
      return 3;
    case kCmdSortByTitle:
      return 4;
    case kCmdSortBySubject:
      return 5;
    case kCmdSortByOwner:
      return 6;
    default:
      return 0;
  }
}

int FieldOf(int value) {
  switch (value) {
    case 2:
      return PDBFcapdate;
    case 3:
      return PDBFfile;
    case 4:
      return PDBFtitle;
    case 5:
      return PDBFsubject;
    case 6:
      return PDBFowner;
    default:
      return -1;
  }
}

// The record's positions (at most n).
int Positions(const DBRecord& r, std::vector<long>* out, int n) {
  const DBField& f = PDBgetField(r, PDBFposition);
  const int nv = f.GetNV() < n ? f.GetNV() : n;
  out->resize(static_cast<size_t>(nv));
  for (int k = 0; k < nv; ++k) (*out)[static_cast<size_t>(k)] = f.GetInt(k);
  return nv;
}

}  // namespace

bool PMainWindow::SortChanges(unsigned long code) const {
  if (browser == nullptr) return false;
  const int value = ValueOf(code);
  if (value == 0) return bc.rdisp.GetSize() >= 2;  // the order chosen, again
  ControlRef popup = Control(135);
  return popup == nullptr || GetControlValue(popup) != value;
}

void PMainWindow::SortRecords(unsigned long code, int reverse) {
  if (browser == nullptr) return;
  if (code == 0) code = kCmdSortCurrent;
  if (code == kCmdSortCurrent && bc.album[0] != '\0') {
    SortAlbum();
    return;
  }
  ControlRef popup = Control(135), box = Control(136);
  if (reverse < 0) reverse = box ? GetControlValue(box) : 0;
  int value = ValueOf(code);
  if (value > 0) {
    if (popup) SetControlValue(popup, value);
  } else {
    value = popup ? GetControlValue(popup) : 0;
  }
  int field = FieldOf(value);
  if (value == 1) {
    bc.rdisp.sord.Clear();
    // Manual order is the catalogue's default from now on too.
    if (strcmp(bc.rsrc, "*DB") == 0 && bc.Ready() && !bc.ReadOnly()) {
      bc.phd.sord.Clear();
      bc.phd.SetChangedFlag(true);
    }
  } else if (field < 0) {
    field = browser->GetSort(nullptr);
  }
  if (field < 0) {
    if (box) {
      SetControlValue(box, 0);
      DisableControl(box);
    }
    browser->Redisplay();
  } else {
    if (box) {
      EnableControl(box);
      SetControlValue(box, reverse >= 1 ? 1 : 0);
    }
    browser->SortDisplay(field, reverse != 0);
  }
  RenumberAlbum();
}

void PMainWindow::RenumberAlbum() {
  if (bc.album[0] == '\0' || !bc.Ready() || bc.ReadOnly()) return;
  std::vector<long> pos;
  const int nd = bc.rdisp.GetSize();
  ABitMap changed(static_cast<uint32_t>(nd), false);
  for (int i = nd; i-- > 0;) {
    DBRecord& r = bc.rdisp[i];
    const int ai = AlbumIndex(&r);
    if (ai < 0 || Positions(r, &pos, kMaxPositions) <= ai) continue;
    if (pos[static_cast<size_t>(ai)] == i) continue;
    pos[static_cast<size_t>(ai)] = i;
    if (PDBsetInts(&r, PDBFposition, pos.data(), static_cast<int>(pos.size())))
      changed.Set(static_cast<uint32_t>(i));
  }
  if (changed.SumTotal() > 0) bc.RecordChange(nullptr, &changed, nullptr);
}

void PMainWindow::SortAlbum() {
  if (bc.album[0] == '\0' || browser == nullptr) return;
  const DBFieldInfo* fi = bc.rdisp.GetFieldInfo();
  const int pid = fi ? fi->XlateID(&PDBFInfo, PDBFposition) : -1;
  std::vector<long> pos;
  // A record whose album is not its first has that album's position put in front for the
  // sort, and taken away again after it.
  for (int i = bc.rdisp.GetSize(); i-- > 0;) {
    DBRecord& r = bc.rdisp[i];
    const int ai = AlbumIndex(&r);
    if (ai <= 0 || Positions(r, &pos, kMaxPositions) <= ai) continue;
    pos.insert(pos.begin(), pos[static_cast<size_t>(ai)]);
    PDBsetInts(&r, PDBFposition, pos.data(), static_cast<int>(pos.size()));
  }
  if (pid >= 0) {
    bc.rdisp.sord.PushSort(pid, false);
    bc.rdisp.Sort();
  }
  for (int i = bc.rdisp.GetSize(); i-- > 0;) {
    DBRecord& r = bc.rdisp[i];
    const int ai = AlbumIndex(&r);
    if (ai <= 0) continue;
    const int n = Positions(r, &pos, kMaxPositions + 1);
    if (ai < n - 1) PDBsetInts(&r, PDBFposition, pos.data() + 1, n - 1);
  }
  SortRecords(kCmdSortManual, -1);
}

void PMainWindow::SortDBOrder() {
  if (bc.Ready()) {
    bool desc = false;
    const int id = bc.phd.sord.GetSort(0, &desc);
    unsigned long code = 0;
    switch (id >= 0 ? PDBFInfo.XlateID(&bc.phd, id) : -1) {
      case PDBFfile:
        code = kCmdSortByFile;
        break;
      case PDBFcapdate:
        code = kCmdSortByDate;
        break;
      case PDBFsubject:
        code = kCmdSortBySubject;
        break;
      case PDBFtitle:
        code = kCmdSortByTitle;
        break;
      case PDBFowner:
        code = kCmdSortByOwner;
        break;
      default:
        break;
    }
    if (code != 0) {
      bc.rdisp.sord = bc.phd.sord;
      SortRecords(code, desc ? 1 : 0);
      return;
    }
  }
  SortRecords(0, -1);
}
