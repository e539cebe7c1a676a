// The rename or delete batch under way, ended consistently by an end that cannot wait for it.
#include "app/core/pfilebatch.h"

#include "app/core/pidle.h"
#include "catalog/pcontext.h"

namespace {
PFileBatch* underWay = nullptr;
}  // namespace

void PsetFileBatch(PFileBatch* batch) {
  underWay = batch;
}

PFileBatch* PfileBatch() {
  return underWay;
}

bool PendFileBatch(PContext* ctx, bool mayEdit) {
  PFileBatch* const batch = underWay;
  if (batch == nullptr) return false;
  underWay = nullptr;
  // The batch's changes are the store's newest: none left to write means they are on disk.
  batch->EndAtQuit(ctx == nullptr || !ctx->Unsynced(), mayEdit);
  if (mayEdit) PmarkWhole(ctx);
  return true;
}
