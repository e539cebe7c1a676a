// Commands that change image files together with their catalogue records a batch at a time
// (Rename Files, Delete Files). From the moment a batch's files or records begin to change until
// its files follow the records on disk, the two disagree; the batch is registered here
// meanwhile, so that an end that cannot wait for the command (the display connection lost,
// acted on wherever events were being pumped) ends it consistently before the catalogue is
// closed. A quit signal needs none of this: its quit waits for the command, which stops between
// batches (PquitRequested).
#pragma once

class PContext;

class PFileBatch {
 public:
  virtual ~PFileBatch() = default;
  // The program ends while the batch is registered: nothing is shown and no event is pumped
  // from here on. onDisk: what the batch stored of its records is in the catalogue's file for
  // good (its sync committed). Then the batch makes the file changes those records say (the
  // user asked for them); else it leaves its files as they were (new names dropped) and, when
  // mayEdit, takes its records back out of the store, so that nothing writes them (otherwise
  // the store is part way through the library's work, and the catalogue is closed without
  // writing). The log tells which.
  virtual void EndAtQuit(bool onDisk, bool mayEdit) = 0;
};

// The batch under way (null: none); a batch registers itself and clears its registration.
void PsetFileBatch(PFileBatch* batch);
PFileBatch* PfileBatch();

// Ends the batch under way, if any, for an end without the display, the catalogue still open in
// ctx: asks it whether its records reached the file, and with mayEdit (not inside the library's
// work) marks what the store then holds as whole steps (PmarkWhole), so that none of it is
// taken back. True when there was a batch.
bool PendFileBatch(PContext* ctx, bool mayEdit);
