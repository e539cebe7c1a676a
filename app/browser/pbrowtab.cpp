// The browser's table mode: the columns of display fields, the table built from the displayed
// records, its header line, and sorting the displayed records.
#include <algorithm>
#include <cstring>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "catalog/pdbase.h"
#include "platform/pqt.h"
#include "support/bytetext.h"

const char* PshownField(const char* text, size_t cut, size_t* n, std::string* keep) {
  *n = strlen(text);
  if (*n + 1 >= cut) {
    // Cut by its formatting: a character whose bytes do not all remain goes.
    size_t lead = *n;
    while (lead > 0 && *n - lead < 3 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
      --lead;
    if (lead > 0 && static_cast<unsigned char>(text[lead - 1]) >= 0xC0 &&
        Utf8CharLength(text + lead - 1, *n - lead + 1) == 0)
      *n = lead - 1;
    // Nor is a space the cut left at its end the name's own.
    while (*n > 0 && text[*n - 1] == ' ') --*n;
  }
  if (ShownAsIs(std::string_view(text, *n), kShownName)) return text;
  *keep = ShownName(std::string_view(text, *n));
  *n = keep->size();
  return keep->c_str();
}

void PBrowser::SetDisplayFields(int whichf) {
  FreeList();
  dfCount = 0;
  dfBMap.NewBitMap(0, false);
  dfSel = whichf;
}

bool PBrowser::AddDisplayFieldID(int fid) {
  if (dfCount >= 128 || fid < 0) return false;
  if (mainw && mainw->bc.Ready() && fid >= mainw->bc.phd.GetNFields()) return false;
  FreeList();
  dfOrder[dfCount++] = static_cast<int16_t>(fid);
  return true;
}

bool PBrowser::AddDisplayField(int photoField) {
  int fid = photoField;
  if (mainw && mainw->bc.Ready()) fid = mainw->bc.phd.XlateID(&PDBFInfo, photoField);
  return AddDisplayFieldID(fid);
}

bool PBrowser::fieldSet(const DBRecordList& list, int id) {
  for (int i = 0; i < list.GetSize(); ++i)
    if (list.Get(i)[id].GetNV() > 0) return true;
  return false;
}

void PBrowser::FreeList() {
  if (listh) LDispose(listh);
  listh = nullptr;
}

ListHandle PBrowser::GetList() {
  if (listh != nullptr) return listh;
  PContext* ctx = GetContext();
  if (ctx == nullptr || GetWindow() == nullptr) return nullptr;
  const DBRecordList& list = ctx->rdisp;
  if (dfSel != 0) {
    dfCount = 0;
    const DBFieldInfo* fi = list.GetFieldInfo();
    if (fi == nullptr) return nullptr;
    for (int f = 0; f < fi->GetNFields() && dfCount < 128; ++f) {
      if (dfBMap.Length() > 0 && !dfBMap.Check(static_cast<uint32_t>(f))) continue;
      const int flags = fi->GetDetails(f)->flags;
      if ((dfSel & 8) && !(flags & 0x100)) continue;
      if (!(dfSel & 4) && (flags & 0x300) == 0x200) continue;
      if (!(dfSel & 2) && !fieldSet(list, f)) continue;
      dfOrder[dfCount++] = static_cast<int16_t>(f);
    }
  }
  if (dfCount < 1) return nullptr;
  const Rect view{static_cast<short>(extent.top + csiz.v), extent.left,
                  static_cast<short>(extent.bottom - 15), static_cast<short>(extent.right - 15)};
  if (view.bottom <= view.top || view.right <= view.left) return nullptr;
  const int records = list.GetSize();
  const ListBounds bounds{0, 0, records, dfCount};
  listh = LNew(&view, &bounds, csiz, 0, GetWindow(), false, true, true, true);
  if (listh == nullptr) return nullptr;
  Drawn();
  cwidth = std::min(cwidth, 127);
  char buf[128];
  std::string shown;  // made only for a text that is no plain line
  for (int r = 0; r < records; ++r) {
    const DBRecord& rec = list.Get(r);
    const bool sel = ctx->IsSelected(r);
    for (int c = 0; c < dfCount; ++c) {
      // A field the record's schema lacks formats to nothing: an empty cell.
      const char* text = rec.FormatField(dfOrder[c], buf, cwidth + 1);
      if (text != nullptr && *text != '\0') {
        size_t n = 0;
        text = PshownField(text, static_cast<size_t>(cwidth) + 1, &n, &shown);
        LSetCell(text, static_cast<short>(std::min<size_t>(n, 4 * sizeof buf)), Cell(r, c), listh);
      }
      if (sel) LSetSelect(true, Cell(r, c), listh);
    }
  }
  if (IsVisible()) LSetDrawingMode(true, listh);
  return listh;
}

void PBrowser::DrawListHeader() {
  PContext* ctx = GetContext();
  const DBFieldInfo* fi = ctx ? ctx->rdisp.GetFieldInfo() : nullptr;
  if (fi == nullptr || !IsVisible()) return;
  SetPort(nullptr);
  const Rect strip{extent.top, extent.left, static_cast<short>(extent.top + csiz.v), extent.right};
  const RGBColor white{0xFFFF, 0xFFFF, 0xFFFF};
  RGBBackColor(&white);
  EraseRect(&strip);
  if (listh != nullptr) {
    ListBounds vis;
    GetListVisibleCells(listh, &vis);
    PortPainter p;
    p.setClipRect(QRect(extent.left, extent.top, extent.right - 15 - extent.left, csiz.v));
    p.setPen(QColor(0, 0, 0));
    QFont bold = p.font();
    bold.setBold(true);
    p.setFont(bold);
    for (int c = vis.left; c < dfCount && c < vis.right; ++c) {
      const char* name = fi->GetName(dfOrder[c]);
      if (name == nullptr) continue;
      const QRect box(extent.left + (c - vis.left) * csiz.h + 2, extent.top, csiz.h - 4, csiz.v);
      p.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(name));
    }
    p.setPen(QColor(0xA0, 0xA0, 0xA0));
    p.drawLine(extent.left, extent.top + csiz.v - 1, extent.right - 16, extent.top + csiz.v - 1);
  }
  ResetPort();
}

void PBrowser::SortDisplay(int fid, bool rev) {
  PContext* ctx = GetContext();
  Clear();
  if (ctx == nullptr || ctx->rdisp.GetSize() < 1) {
    Redraw();
    return;
  }
  if (fid >= 0) {
    const DBFieldInfo* fi = ctx->rdisp.GetFieldInfo();
    const int id = fi ? fi->XlateID(&PDBFInfo, fid) : -1;
    if (id >= 0) ctx->rdisp.sord.PushSort(id, rev);
  }
  if (ctx->rdisp.sord.GetSort(0) >= 0) {
    ctx->SortDisplay();
    if (strcmp(ctx->rsrc, "*DB") == 0 && ctx->Ready() && !ctx->ReadOnly()) {
      ctx->phd.sord = ctx->rdisp.sord;
      ctx->phd.SetChangedFlag(true);
    }
  }
  Redraw();
}

int PBrowser::GetSort(bool* rev) const {
  const PContext* ctx = GetContext();
  if (ctx == nullptr) return -1;
  bool desc = false;
  const int id = ctx->rdisp.sord.GetSort(0, &desc);
  if (id < 0) return -1;
  const DBFieldInfo* fi = ctx->rdisp.GetFieldInfo();
  const int photo = fi ? PDBFInfo.XlateID(fi, id) : -1;
  if (photo >= 0 && rev) *rev = desc;
  return photo;
}
