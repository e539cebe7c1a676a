// The hooks the shell registers for the core.
#include "app/core/phooks.h"

namespace {

PAppHooks& Hooks() {
  static PAppHooks hooks;
  return hooks;
}

}  // namespace

void PsetAppHooks(const PAppHooks& hooks) {
  Hooks() = hooks;
}

const PAppHooks& PappHooks() {
  return Hooks();
}

const char* PmissingAppHook() {
  const PAppHooks& h = Hooks();
  const struct {
    bool set;
    const char* name;
  } hooks[] = {{h.makeMainWindow != nullptr, "makeMainWindow"},
               {h.makeInfoWindow != nullptr, "makeInfoWindow"},
               {h.makeFindWindow != nullptr, "makeFindWindow"},
               {h.makeImageWindow != nullptr, "makeImageWindow"},
               {h.importRecords != nullptr, "importRecords"},
               {h.checkRecords != nullptr, "checkRecords"},
               {h.dragRecords != nullptr, "dragRecords"},
               {h.pageSetup != nullptr, "pageSetup"},
               {h.closePrintSession != nullptr, "closePrintSession"},
               {h.changePreferences != nullptr, "changePreferences"}};
  for (const auto& k : hooks)
    if (!k.set) return k.name;
  return nullptr;
}
