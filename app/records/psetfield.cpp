// The setting commands, their shared state and the typo check.
#include "app/records/psetfield.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "catalog/pdbheader.h"
#include "catalog/pfieldset.h"
#include "platform/pmenu.h"
#include "support/cnumber.h"
#include "toolkit/pcommand.h"

PDBFieldID lastFieldSet = PDBFend;
DBField lastSetVal;

void repeatSetting(PDBFieldID f, const char* value) {
  if (f < 0 || f >= PDBFend || value == nullptr) {
    lastFieldSet = PDBFend;
    lastSetVal.Clear();
    return;
  }
  lastFieldSet = f;
  lastSetVal.Set(value);  // a shared copy: the caller's text may go
}

void repeatSetting(PDBFieldID f, const DBField& value) {
  DBField first;
  if (f < 0 || f >= PDBFend || value.Get(&first, 0) != 1) {
    lastFieldSet = PDBFend;
    lastSetVal.Clear();
    return;
  }
  lastFieldSet = f;
  lastSetVal = first;
}

namespace {

inline int Low(char c) {
  return static_cast<unsigned char>(Clower(c));
}

// The slips between s and m, counted until they reach limit, plus m's unread rest.
int Slips(const char* s, size_t sl, const char* m, size_t ml, int limit) {
  size_t i = 0, j = 0;
  int count = 0;
  while (i < sl) {
    if (j >= ml) {
      count += static_cast<int>(sl - i);  // m ended: the rest of s counts
      break;
    }
    if (Low(s[i]) == Low(m[j])) {
      ++i, ++j;
      continue;
    }
    const int sn = i + 1 < sl ? Low(s[i + 1]) : 0, mn = j + 1 < ml ? Low(m[j + 1]) : 0;
    if (sn == mn) {
      ++i, ++j;  // one letter for another
    } else if (Low(s[i]) == mn) {
      ++j;  // m has a letter more
    } else if (Low(m[j]) == sn) {
      ++i;  // s has a letter more
    } else {
      ++i, ++j;
    }
    if (++count >= limit) break;
  }
  return count + static_cast<int>(ml - (j < ml ? j : ml));
}

}  // namespace

const char* typoMatch(const char* s, const PStringSet& set) {
  if (s == nullptr || set.GetSize() == 0) return nullptr;
  const size_t sl = strlen(s);
  if (sl < 2 || set.InSet(s)) return nullptr;
  int limit = static_cast<int>(sl / 8) + 2;
  const char* best = nullptr;
  for (int k = set.GetSize(); k-- > 0;) {
    const char* m = set[k];
    if (m == nullptr) continue;
    const size_t ml = strlen(m);
    if (std::labs(static_cast<long>(ml) - static_cast<long>(sl)) >= limit) continue;
    const int total = Slips(s, sl, m, ml, limit);
    if (total < limit) {
      best = m;
      limit = total;
    }
  }
  return best;
}

// ---- The setting commands

namespace {

constexpr int kMaxAlbums = 128;
constexpr int kValuesPerRecord = 16;
constexpr int kInputBytes = 8192;

struct SetKind {
  UInt32 ask;      // the asking command
  char prefix[4];  // the recent items' code without the digit
  PDBFieldID field;
  const char* recent;  // the catalogue header's list
  int capacity;        // recent items
  int tab;             // the selector showing the field's values, 0 for none
};

const SetKind kKinds[] = {
    {kCmdSetSubject, "sub", PDBFsubject, PDBLastSubjName, 7, 3},
    {kCmdSetTitle, "", PDBFtitle, nullptr, 0, 0},
    {kCmdSetOwner, "own", PDBFowner, PDBLastOwnrName, 5, 6},
    {kCmdSetAlbum, "alb", PDBFalbum, PDBLastAlbmName, 7, 4},
    {kCmdSetKeyword, "key", PDBFkeyword, PDBLastKeywName, 9, 5},
    {kCmdAddComment, "", PDBFcomment, nullptr, 0, 0},
};

UInt32 RecentCode(const SetKind& k, int item) {
  return FourCC({k.prefix[0], k.prefix[1], k.prefix[2], static_cast<char>('0' + item), 0});
}

// The kind of cmd and its recent item number (0 for the asking command); NULL when unknown.
const SetKind* KindOf(unsigned long cmd, int* item) {
  for (const SetKind& k : kKinds) {
    if (cmd == k.ask) {
      *item = 0;
      return &k;
    }
    for (int i = 1; i <= k.capacity; ++i)
      if (cmd == RecentCode(k, i)) {
        *item = i;
        return &k;
      }
  }
  return nullptr;
}

const SetKind* KindOfField(PDBFieldID f) {
  for (const SetKind& k : kKinds)
    if (k.field == f) return &k;
  return nullptr;
}

// The catalogue's set of existing values of a field with a selector.
const PStringSet* ValueSet(const PContext& bc, PDBFieldID f) {
  switch (f) {
    case PDBFsubject:
      return &bc.subjSet;
    case PDBFalbum:
      return &bc.albmSet;
    case PDBFkeyword:
      return &bc.keywSet;
    case PDBFowner:
      return &bc.ownrSet;
    default:
      return nullptr;
  }
}

std::vector<std::string> Strings(const DBRecord& r, PDBFieldID f, int most) {
  std::vector<std::string> out;
  const DBField& v = PDBgetField(r, f);
  if (v.GetDT() != DBDTstring) return out;
  for (int i = 0; i < v.GetNV() && i < most; ++i) {
    const char* s = static_cast<const char*>(v.GetPointer(i));
    out.emplace_back(s ? s : "");
  }
  return out;
}

std::vector<long> Positions(const DBRecord& r) {
  std::vector<long> out;
  const DBField& v = PDBgetField(r, PDBFposition);
  for (int i = 0; i < v.GetNV() && i < kMaxAlbums; ++i) out.push_back(v.GetInt(i));
  return out;
}

int LastIndex(const std::vector<std::string>& list, const char* name) {
  for (size_t i = list.size(); i-- > 0;)
    if (list[i] == name) return static_cast<int>(i);
  return -1;
}

void PutStrings(DBRecord* r, PDBFieldID f, const std::vector<std::string>& list) {
  if (list.empty()) {
    const int id = PDBid(*r, f);
    if (id >= 0) r->ClearField(id);
    return;
  }
  std::vector<const char*> ptrs;
  for (const std::string& s : list) ptrs.push_back(s.c_str());
  PDBsetStrings(r, f, ptrs.data(), static_cast<int>(ptrs.size()));
}

void PutPositions(DBRecord* r, const std::vector<long>& pos) {
  if (pos.empty()) {
    const int id = PDBid(*r, PDBFposition);
    if (id >= 0) r->ClearField(id);
    return;
  }
  PDBsetInts(r, PDBFposition, pos.data(), static_cast<int>(pos.size()));
}

// The menu item bearing code; false when no menu has it.
bool ItemOf(UInt32 code, MenuRef* m, MenuItemIndex* i) {
  return GetIndMenuItemWithCommandID(nullptr, code, 1, m, i) == noErr && *m != nullptr;
}

// What follows a change of field f that changed n records.
void AfterSetting(IMainWindow* mw, IBrowser* b, PDBFieldID f, int n) {
  const SetKind* k = KindOfField(f);
  if (n >= 1 && k != nullptr && k->tab != 0) mw->UpdateSelectorList(k->tab);
  if ((f == PDBFtitle || f == PDBFcaption) && gImager != nullptr &&
      gImager->GetCurrentIR() != nullptr)
    gImager->Redraw();
  if (f == PDBFsubject && n >= 1) mw->UpdateSelectorList(2);
  if (gInfo != nullptr) gInfo->UpdateFields();
  if (b->GetSort(nullptr) == static_cast<int>(f)) b->SortDisplay(-1, false);
  if (n > 0)
    mw->EchoAction("Changed", n);
  else
    mw->NoChange();
}

// Sets (or with unset takes away) value in field f of record r of a schema where the field is
// multi-valued or not; an empty value clears the field.
void SetValue(DBRecord* r, PDBFieldID f, const char* value, bool multi, bool unset) {
  const int id = PDBid(*r, f);
  if (id < 0) return;
  if (value == nullptr || *value == '\0') {
    r->ClearField(id);
    return;
  }
  if (!multi && !unset) {
    r->SetField(id, value);
    return;
  }
  DBField cur(PDBgetField(*r, f));
  const DBField v(value);
  if (unset) {
    cur -= v;
  } else {
    cur |= v;
    cur.SortArray();
  }
  if (cur.IsSet())
    r->SetField(id, cur);
  else
    r->ClearField(id);
}

}  // namespace

bool isSetFieldCommand(unsigned long cmd) {
  int item = 0;
  return KindOf(cmd, &item) != nullptr;
}

void addAlbum(const char* name) {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (name == nullptr || *name == '\0' || b == nullptr) return;
  PContext& bc = mw->bc;
  long next = 0;
  if (bc.Ready()) {
    const int aid = bc.phd.GetID(PDBFInfo.GetName(PDBFalbum));
    if (aid >= 0) {
      DBRecord query(&bc.phd);
      query.SetField(aid, name);
      DBSearch search(&bc.pdb);
      search.AddSelector(query, false);
      DBRecordList found;
      search.FindAll(&found);
      for (int i = 0; i < found.GetSize(); ++i) {
        const DBRecord& r = found.Get(i);
        // The search ignores case: a record of another spelling is not in this album.
        const int n = LastIndex(Strings(r, PDBFalbum, kMaxAlbums), name);
        if (n < 0) continue;
        const std::vector<long> pos = Positions(r);
        if (static_cast<size_t>(n) < pos.size()) next = std::max(next, pos[n] + 1);
      }
    }
  }
  for (int i = 0; bc.NextSelected(&i); ++i) {
    std::vector<std::string> albums = Strings(bc.rdisp[i], PDBFalbum, kMaxAlbums);
    const int n = LastIndex(albums, name);
    if (n < 0 && static_cast<int>(albums.size()) >= kMaxAlbums) continue;
    const int shown = mw->AlbumIndex(&bc.rdisp[i]);
    DBRecord* r = b->ChangeRecord(i);
    if (r == nullptr) continue;
    std::vector<long> pos = Positions(*r);
    if (n >= 0) {
      if (pos.size() <= static_cast<size_t>(n)) pos.resize(static_cast<size_t>(n) + 1, 0);
      pos[static_cast<size_t>(n)] = next++;
      PutPositions(r, pos);
      continue;
    }
    // Positions and captions sit at their album's index.
    if (pos.size() < albums.size()) pos.resize(albums.size(), 0);
    pos.push_back(next++);
    std::vector<std::string> caps = Strings(*r, PDBFcaption, kMaxAlbums);
    std::string caption;
    const int from = shown >= 0 ? shown : (albums.empty() ? -1 : 0);
    if (from >= 0 && static_cast<size_t>(from) < caps.size()) caption = caps[from];
    if (!caption.empty()) {
      caps.resize(albums.size(), "");
      caps.push_back(caption);
      PutStrings(r, PDBFcaption, caps);
    }
    albums.emplace_back(name);
    PutStrings(r, PDBFalbum, albums);
    PutPositions(r, pos);
  }
}

void delAlbum(const char* name) {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (name == nullptr || *name == '\0' || b == nullptr) return;
  PContext& bc = mw->bc;
  for (int i = 0; bc.NextSelected(&i); ++i) {
    std::vector<std::string> albums = Strings(bc.rdisp[i], PDBFalbum, kMaxAlbums);
    const int n = LastIndex(albums, name);
    if (n < 0) continue;
    DBRecord* r = b->ChangeRecord(i);
    if (r == nullptr) continue;
    if (albums.size() == 1) {
      for (PDBFieldID f : {PDBFalbum, PDBFposition, PDBFcaption}) {
        const int id = PDBid(*r, f);
        if (id >= 0) r->ClearField(id);
      }
      continue;
    }
    std::vector<long> pos = Positions(*r);
    std::vector<std::string> caps = Strings(*r, PDBFcaption, kMaxAlbums);
    if (static_cast<size_t>(n) < pos.size()) {
      pos.erase(pos.begin() + n);
      PutPositions(r, pos);
    }
    if (static_cast<size_t>(n) < caps.size()) {
      caps.erase(caps.begin() + n);
      PutStrings(r, PDBFcaption, caps);
    }
    albums.erase(albums.begin() + n);
    PutStrings(r, PDBFalbum, albums);
  }
}

namespace {

// Carries out a setting in the open change: value set (or with unset taken away) in field f of
// the selected records, or the album added or deleted; then what follows it.
void ApplySetting(IMainWindow* mw, IBrowser* b, PDBFieldID f, const char* value, bool multi,
                  bool unset) {
  if (f == PDBFalbum) {
    if (unset)
      delAlbum(value);
    else
      addAlbum(value);
  } else {
    for (int i = 0; mw->bc.NextSelected(&i); ++i)
      if (DBRecord* r = b->ChangeRecord(i)) SetValue(r, f, value, multi, unset);
  }
  AfterSetting(mw, b, f, b->CompleteChange());
}

}  // namespace

void setField(unsigned long cmd) {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (b == nullptr) return;
  PContext& bc = mw->bc;
  if (bc.TotalSelected() == 0) {
    mw->ShowMessage("No selection", false);
    return;
  }
  int item = 0;
  const SetKind* kind = KindOf(cmd, &item);
  if (kind == nullptr) {
    DMESSAGE(DMCparameter, "Unrecognized command in setField");
    return;
  }
  const PDBFieldID f = kind->field;
  const DBFieldInfo* schema = bc.rdisp.GetFieldInfo();
  const int id = schema ? schema->GetID(PDBFInfo.GetName(f)) : -1;
  if (id < 0) {
    DMESSAGE(DMCwarning, "Missing DB field in setField");
    return;
  }
  const DBFDetails* det = schema->GetDetails(id);
  if (det->dtype != DBDTstring) {
    DMESSAGE(DMCparameter, "Non-ASCII field in setField");
    return;
  }
  const bool multi = (det->flags & DBFDmulti) != 0;
  const bool keep = (det->flags & PDBFLrequired) != 0;
  std::string value;
  bool unset = false;
  if (item > 0) {
    MenuRef m = nullptr;
    MenuItemIndex mi = 0;
    if (!ItemOf(static_cast<UInt32>(cmd), &m, &mi)) {
      DMESSAGE(DMCparameter, "Menu item botch in setField");
      return;
    }
    std::vector<char> text(kInputBytes);
    UInt32 len = 0;
    if (GetMenuItemText(m, mi, text.data(), static_cast<UInt32>(text.size()), &len) != noErr) {
      DMESSAGE(DMCparameter, "Missing menu item text in setField");
      return;
    }
    value.assign(text.data(), std::min<size_t>(len, text.size() - 1));
    value = value.c_str();  // up to the first NUL
    if (!keep) {
      unset = true;
      for (int i = 0; unset && bc.NextSelected(&i); ++i)
        unset = PDBgetField(bc.rdisp[i], f).Match(value.c_str());
    }
  } else {
    std::string prompt = multi ? "Add " : "Set ";
    prompt += det->descrip[0] ? det->descrip : schema->GetName(id);
    std::vector<char> buf(kInputBytes, '\0');
    if (!multi) {
      // The value every selected record shares.
      bool first = true, same = true;
      std::string shared;
      for (int i = 0; same && bc.NextSelected(&i); ++i) {
        const char* s = PDBgetString(bc.rdisp[i], f);
        const std::string v = s ? s : "";
        if (first)
          shared = v, first = false;
        else
          same = v == shared;
      }
      if (same) snprintf(buf.data(), buf.size(), "%s", shared.c_str());
    }
    if (getInput(buf.data(), static_cast<int>(buf.size()), prompt.c_str()) != kResponseOK) return;
    value = buf.data();
    if (value.empty() && (multi || keep)) return;
    const PStringSet* set = ValueSet(bc, f);
    const char* near = set && !value.empty() ? typoMatch(value.c_str(), *set) : nullptr;
    if (near != nullptr) {
      const std::string match = near;
      const std::string question = "You entered '" + value + "' -- use existing " +
                                   schema->GetName(id) + " '" + match + "' instead?";
      for (;;) {
        const OSType r = confirmDialog(question.c_str(), "No", kResponseOK);
        if (r == kResponseCancel) return;
        if (r == kResponseOK) value = match;
        if (r == kResponseOK || r == kResponseCustom) break;
        if (gInterfaceReady != 1) return;
      }
    }
  }
  const bool clearing = value.empty() || unset;
  if (!b->NewChange(clearing ? "Unset" : "Set")) return;
  if (clearing)
    repeatSetting(PDBFend, static_cast<const char*>(nullptr));
  else
    repeatSetting(f, value.c_str());
  ApplySetting(mw, b, f, value.c_str(), multi, unset);
  // The value goes to the front of the catalogue's recent list.
  if (clearing || kind->recent == nullptr || !bc.Ready()) return;
  const int p = bc.phd.FindRecent(kind->recent, value.c_str());
  if (p == 0) return;
  if (p > 0)
    bc.phd.DeleteRecent(kind->recent, p);
  else if (bc.phd.GetNRecent(kind->recent) >= kind->capacity)
    bc.phd.DeleteRecent(kind->recent, -1);
  bc.phd.InsertRecent(kind->recent, value.c_str(), 0);
}

void repeatSetField() {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (b == nullptr || lastFieldSet == PDBFend) return;
  PContext& bc = mw->bc;
  const PDBFieldID f = lastFieldSet;
  const std::string value = lastSetVal.IsSet() && lastSetVal.GetDT() == DBDTstring
                                ? static_cast<const char*>(lastSetVal.GetPointer(0))
                                : "";
  const DBFieldInfo* schema = bc.rdisp.GetFieldInfo();
  const int id = schema ? schema->GetID(PDBFInfo.GetName(f)) : -1;
  if (id < 0 || value.empty()) return;
  const bool multi = (schema->GetDetails(id)->flags & DBFDmulti) != 0;
  if (!b->NewChange("Set")) return;
  ApplySetting(mw, b, f, value.c_str(), multi, false);
}

void checkRepeatSetting() {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (!ItemOf(kCmdRepeatSetting, &m, &i)) return;
  if (lastFieldSet == PDBFend) {
    SetMenuItemText(m, i, "Repeat Set");
    DisableMenuItem(m, i);
    return;
  }
  if (gMain == nullptr || gMain->bc.TotalSelected() == 0) {
    DisableMenuItem(m, i);
    return;
  }
  const std::string text = std::string("Repeat ") + PDBFInfo.GetName(lastFieldSet);
  SetMenuItemText(m, i, text.c_str());
  EnableMenuItem(m, i);
}

namespace {

// Counts the distinct values of a string field over many records. Shared strings are pooled, so
// most records hold a pointer seen before: a small table from pointers to values answers them
// without reading the text; a text is read and hashed once per pointer the table misses.
class ValueTally {
 public:
  void Add(const DBField& f) {
    if (f.GetDT() != DBDTstring) return;
    int ids[kValuesPerRecord];
    int n = 0;
    const int nv = std::min(f.GetNV(), kValuesPerRecord);
    for (int j = 0; j < nv; ++j) {
      const int v = IdOf(static_cast<const char*>(f.GetPointer(j)));
      if (v >= 0) ids[n++] = v;
    }
    if (n > 1) {
      std::sort(ids, ids + n);
      n = static_cast<int>(std::unique(ids, ids + n) - ids);
    }
    for (int j = 0; j < n; ++j) ++count_[static_cast<size_t>(ids[j])];
  }

  void Collect(std::map<std::string, int>* out) const {
    for (size_t v = 0; v < values_.size(); ++v) out->emplace(std::string(values_[v]), count_[v]);
  }

 private:
  // The value's number, -1 for no text.
  int IdOf(const char* s) {
    if (s == nullptr) return -1;
    Slot& slot = slots_[(reinterpret_cast<uintptr_t>(s) >> 4) & (kSlots - 1)];
    if (slot.text == s) return slot.id;
    int v = -1;
    if (*s != '\0') {
      const auto [it, fresh] =
          ids_.try_emplace(std::string_view(s), static_cast<int>(values_.size()));
      if (fresh) {
        values_.push_back(it->first);
        count_.push_back(0);
      }
      v = it->second;
    }
    slot = {s, v};
    return v;
  }

  struct Slot {
    const char* text = nullptr;
    int id = -1;
  };
  static constexpr size_t kSlots = 256;
  Slot slots_[kSlots];
  std::unordered_map<std::string_view, int> ids_;
  std::vector<std::string_view> values_;
  std::vector<int> count_;
};

// How many of the selected records have each value of fields[0 .. n-1] (a value listed twice
// in one record counts once), into counts[0 .. n-1]; one walk over the selection serves them
// all. The records lie far apart in memory and each is three reads deep (its field array, the
// field, the array of several values): the walk fetches each level some records ahead of the
// record it reads, so that many fetches are under way at once.
void CountValues(const PContext& bc, const PDBFieldID* fields, int n,
                 std::map<std::string, int>* counts) {
  constexpr int kMost = 4;
  n = std::min(n, kMost);
  ValueTally tally[kMost];
  int id[kMost];
  const DBFieldInfo* fi = bc.rdisp.GetFieldInfo();
  for (int f = 0; f < n; ++f) id[f] = fi ? fi->XlateID(&PDBFInfo, fields[f]) : -1;
  const DBRecord* recs = bc.rdisp.GetArray();
  const uint32_t nrec = static_cast<uint32_t>(bc.rdisp.GetSize());
  std::vector<uint32_t> sel;
  sel.reserve(static_cast<size_t>(bc.TotalSelected()));
  PforSelectedBatches(bc, [&](const uint32_t* batch, uint32_t nb) {
    for (uint32_t k = 0; k < nb; ++k)
      if (batch[k] < nrec) sel.push_back(batch[k]);
    return true;
  });
  constexpr size_t kArrays = 24, kFields = 12, kValues = 6;
  const size_t total = sel.size();
  for (size_t k = 0; k < total; ++k) {
    if (k + kArrays < total) __builtin_prefetch(recs[sel[k + kArrays]].l);
    if (k + kFields < total) {
      const DBRecord& r = recs[sel[k + kFields]];
      for (int f = 0; f < n; ++f)
        if (const DBField* v = PschemaField(r, fi, id[f])) __builtin_prefetch(v);
    }
    if (k + kValues < total) {
      const DBRecord& r = recs[sel[k + kValues]];
      for (int f = 0; f < n; ++f) {
        const DBField* v = PschemaField(r, fi, id[f]);
        if (v != nullptr && v->GetNV() > 1) __builtin_prefetch(v->GetPointer());
      }
    }
    const DBRecord& r = recs[sel[k]];
    for (int f = 0; f < n; ++f) {
      if (const DBField* v = PschemaField(r, fi, id[f]))
        tally[f].Add(*v);
      else if (r.finfo != fi || id[f] < 0)  // (a record of the schema without it has no value)
        tally[f].Add(PDBgetField(r, fields[f]));
    }
  }
  for (int f = 0; f < n; ++f) tally[f].Collect(&counts[f]);
}

}  // namespace

void checkSettings(unsigned long cmd) {
  int item = 0;
  const SetKind* kind = KindOf(cmd, &item);
  if (kind == nullptr || kind->capacity == 0) {
    DMESSAGE(DMCparameter, "Unrecognized command in checkSettings");
    return;
  }
  const int slots = kind->capacity;
  MenuRef menu[10] = {};
  MenuItemIndex index[10] = {};
  for (int k = 1; k <= slots; ++k) ItemOf(RecentCode(*kind, k), &menu[k], &index[k]);
  // A slot without a value is hidden.
  auto unused = [&](int k) {
    if (menu[k] == nullptr) return;
    CheckMenuItem(menu[k], index[k], false);
    DisableMenuItem(menu[k], index[k]);
    HideMenuItem(menu[k], index[k]);
  };
  auto slot = [&](int k, const char* text, bool on, bool checked) {
    if (menu[k] == nullptr) return;
    ShowMenuItem(menu[k], index[k]);
    if (text != nullptr) SetMenuItemText(menu[k], index[k], text);
    CheckMenuItem(menu[k], index[k], checked);
    if (on)
      EnableMenuItem(menu[k], index[k]);
    else
      DisableMenuItem(menu[k], index[k]);
  };
  const PContext* bc = gMain ? &gMain->bc : nullptr;
  const int nsel = bc ? bc->TotalSelected() : 0;
  if (nsel == 0) {
    for (int k = slots; k >= 1; --k) unused(k);
    checkMenuCommand(kind->ask, false);
    enableMenuCommand(kind->ask, false);
    return;
  }
  enableMenuCommand(kind->ask, true);
  // The selected records' values and how many records have each (a value listed twice in one
  // record counts once). The menus ask before every showing, one after another: one walk counts
  // the values of every menu's field, and the counts are kept while the records and the
  // selection stay as they were.
  static PSelectionStamp keptStamp;
  static PDBFieldID keptFields[4];
  static std::map<std::string, int> keptCounts[4];
  static int nKept = 0;
  const PSelectionStamp stamp = PstampSelection(*bc);
  if (keptStamp != stamp) {
    nKept = 0;
    for (const SetKind& k : kKinds)
      if (k.capacity > 0 && nKept < 4) keptFields[nKept++] = k.field;
    for (auto& c : keptCounts) c.clear();
    CountValues(*bc, keptFields, nKept, keptCounts);
    keptStamp = stamp;
  }
  const std::map<std::string, int>* found = nullptr;
  for (int f = 0; f < nKept; ++f)
    if (keptFields[f] == kind->field) found = &keptCounts[f];
  static const std::map<std::string, int> none;
  const std::map<std::string, int>& counts = found ? *found : none;
  const bool onlyCommon = static_cast<int>(counts.size()) > slots;
  int k = 1;
  for (const auto& [v, c] : counts) {
    if (k > slots) break;
    if (onlyCommon && c < nsel) continue;
    slot(k++, v.c_str(), true, c == nsel);
  }
  if (bc->Ready()) {
    const int nr = bc->phd.GetNRecent(kind->recent);
    for (int r = 0; r < nr && k <= slots; ++r) {
      const char* v = bc->phd.GetRecent(kind->recent, r);
      const auto in = v ? counts.find(v) : counts.end();
      if (v == nullptr || *v == '\0' || (in != counts.end() && (!onlyCommon || in->second == nsel)))
        continue;
      slot(k++, v, true, false);
    }
  }
  for (; k <= slots; ++k) unused(k);
}
