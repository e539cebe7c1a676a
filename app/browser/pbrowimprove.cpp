// Final thumbnails in idle time, and the sounds recorded beside pictures.
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pslice.h"
#include "app/records/precfile.h"
#include "platform/plaunch.h"

namespace {

constexpr double kPlayerWait = 30.0;  // seconds the opener may take
constexpr int kSoundPathLen = 4096;

}  // namespace

bool PBrowser::SoundCheck(int i) {
  PContext* ctx = GetContext();
  const int n = ctx ? ctx->rdisp.GetSize() : 0;
  if (i < 0 || i >= n) return false;
  const uint32_t bit = static_cast<uint32_t>(i);
  if (hasSound.Length() != static_cast<uint32_t>(n) ||
      soundChecked.Length() != static_cast<uint32_t>(n)) {
    // Another display: everything is learned again.
    hasSound.NewBitMap(static_cast<uint32_t>(n), false);
    soundChecked.NewBitMap(static_cast<uint32_t>(n), false);
  } else if (soundChecked.Check(bit)) {
    return hasSound.Check(bit);
  }
  const bool has = relatedSoundFile(ctx->rdisp.Get(i), nullptr, 0);
  hasSound.Set(bit, has);
  soundChecked.Set(bit);
  return has;
}

bool PBrowser::PlaySound(int i) {
  PContext* ctx = GetContext();
  if (ctx == nullptr || i < 0 || i >= ctx->rdisp.GetSize() ||
      !hasSound.Check(static_cast<uint32_t>(i)))
    return false;
  std::vector<char> path(kSoundPathLen);
  if (!relatedSoundFile(ctx->rdisp.Get(i), path.data(), kSoundPathLen)) return false;
  // The path goes to the opener as one argument: no command line is made of it. A player still
  // playing when the wait ends is left to play.
  const int result = OpenWithDesktopAndWait(path.data(), kPlayerWait);
  if (result == 0 || result == kLaunchTimedOut) return true;
  DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot play the sound '%s': %s", path.data(),
                 PlaunchFailure(result).c_str());
  return false;
}

int PBrowser::ImproveDisplay(bool doall) {
  PContext* ctx = GetContext();
  if (ctx == nullptr || tnDenom < 1) return 0;
  // A large picture's thumbnail is read a slice at a time, pumping events: what they bring may
  // ask for this again meanwhile. The cells are improved by one pass at a time; the one asked
  // meanwhile comes back later.
  static bool improving = false;
  if (improving) return 1;
  improving = true;
  struct Done {
    ~Done() { improving = false; }
  } done;
  const int top = topleftIndex, denom = tnDenom, generation = clearCount;
  // The cells stay what they were while the thumbnail is made, or it is given up.
  struct Watch {
    PBrowser* b;
    int top, denom, generation;
  } watch{this, top, denom, generation};
  auto same = [](void* d) {
    const Watch* w = static_cast<const Watch*>(d);
    return w->b->topleftIndex == w->top && w->b->tnDenom == w->denom &&
           w->b->clearCount == w->generation;
  };
  const int ts = ThumbSize();
  int count = 0;
  // The cell count is read again after every pump: the display may change under it.
  for (int i = 0; i < ThumbCount(); ++i) {
    const int r = top + i;
    if (r >= ctx->rdisp.GetSize()) break;
    const uint32_t cell = static_cast<uint32_t>(i);
    const bool final = thumbFinal.Check(cell);
    const bool known = soundChecked.Length() == static_cast<uint32_t>(ctx->rdisp.GetSize()) &&
                       soundChecked.Check(static_cast<uint32_t>(r));
    if (final && known) continue;
    bool changed = false;
    if (final) {
      changed = SoundCheck(r);
    } else {
      _ImgStruct t{};
      t.xres = ts;
      t.yres = ts;
      t.csp = &ICS_sRGB;
      const bool crop = tnMgr.doCrop, orient = tnMgr.doOrient;
      tnMgr.doCrop = true;
      tnMgr.doOrient = false;  // the cell orients the picture as it draws it
      bool made;
      {
        // The record is copied: events pumped meanwhile may replace the displayed ones.
        const DBRecord photo = ctx->rdisp[r];
        PSliceRead slices(nullptr, same, &watch);
        made = tnMgr.GetThumbnail(&t, photo);
      }
      tnMgr.doCrop = crop;
      tnMgr.doOrient = orient;
      if (!same(&watch) || GetContext() != ctx || r >= ctx->rdisp.GetSize()) {
        if (t.img != nullptr || t.mbase != nullptr) PfreeImage(&t);
        break;  // the cells changed while it was made
      }
      if (!made || t.img == nullptr) {
        if (t.img != nullptr || t.mbase != nullptr) PfreeImage(&t);
        continue;  // the quick thumbnail stays
      }
      FreeThumb(i);
      thumb[i] = t;
      thumbFinal.Set(cell);
      changed = true;
      SoundCheck(r);
    }
    if (changed) {
      DrawThumb(i);
      ++count;
      if (!doall) break;
    }
    checkEvents(0.0);
    if (topleftIndex != top || tnDenom != denom || clearCount != generation) break;
  }
  return count;
}
