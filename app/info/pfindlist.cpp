// The search window's value lists: every distinct value a field takes in the open catalogue and
// in the display, written to a text file in the private temporary folder and shown with the
// desktop's opener.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/info/pfind.h"
#include "platform/ptempfile.h"
#include "support/dmessage.h"
#include "support/pstrings.h"
#include "support/replacefile.h"

namespace {

constexpr int kBatch = 200;  // catalogue records read at a time

// The distinct texts met, each stored once; looking one up allocates nothing.
class ValueSet {
 public:
  void Insert(const char* s) {
    if (s == nullptr) return;
    const std::string_view v(s);
    if (seen_.count(v) != 0) return;
    store_.emplace_back(v);
    seen_.insert(std::string_view(store_.back()));
  }
  void Insert(const DBField& f) {
    for (int i = 0, n = f.GetNV(); i < n; ++i) Insert(f.GetString(i));
  }
  size_t Size() const { return store_.size(); }
  // The texts ascending by signed bytes.
  std::vector<const char*> Sorted() const {
    std::vector<const char*> out;
    out.reserve(store_.size());
    for (const std::string& s : store_) out.push_back(s.c_str());
    std::sort(out.begin(), out.end(),
              [](const char* a, const char* b) { return istrcmp(a, b) < 0; });
    return out;
  }

 private:
  std::deque<std::string> store_;  // a deque never moves what it holds
  std::unordered_set<std::string_view> seen_;
};

// Replaces path by text: written to a new file beside it, synced, then renamed over it, so the
// name always holds a whole list and is never followed through a link someone else planted.
bool ReplaceFile(const std::string& path, const std::string& text) {
  PWholeFile file(path.c_str(), 0600);  // private, as the folder is
  if (file.IsOpen() && file.Write(text.data(), text.size()) && file.Commit()) return true;
  DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot write the value list %s: %s", path.c_str(),
                 strerror(errno));
  return false;
}

}  // namespace

void PFindWindow::List(int fid) const {
  if (mainWindow == nullptr || fid < 0) return;
  PContext& ctx = mainWindow->bc;
  const DBFieldInfo* schema = SearchSchema();
  if (fid >= schema->GetNFields()) return;
  ValueSet values;
  if (ctx.Ready()) {
    std::vector<DBRecord> batch(kBatch);
    for (int first = 0;;) {
      const int n = ctx.pdb.GetRecords(batch.data(), kBatch, first);
      if (n <= 0) break;
      for (int i = 0; i < n; ++i)
        if (const DBField* f = batch[i].GetField(fid)) values.Insert(*f);
      first += n;
    }
  }
  if (const DBFieldInfo* shown = ctx.rdisp.GetFieldInfo()) {
    const int dfid = shown->XlateID(schema, fid);
    if (dfid >= 0)
      for (int i = 0, n = ctx.rdisp.GetSize(); i < n; ++i)
        if (const DBField* f = ctx.rdisp[i].GetField(dfid)) values.Insert(*f);
  }
  if (values.Size() == 0) return;

  std::string why;
  const std::string folder = TempFolder(kTempSmall, &why);
  if (folder.empty()) {
    DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot write the value list: %s", why.c_str());
    return;
  }
  const DBFDetails* det = schema->GetDetails(fid);
  std::string text = std::to_string(values.Size()) + " values for " +
                     (det != nullptr ? det->descrip : "") + ":\n\n";
  for (const char* v : values.Sorted()) {
    text += v;
    text += '\n';
  }
  const std::string path = folder + "/lumerin_list" + std::to_string(fid) + ".txt";
  if (!ReplaceFile(path, text)) return;
  PopenReported(path, "the value list '" + path + "'");
}
