// What the commands of the export library share: the context they work on, the records they
// take, and questions that a volume mount must not answer.
#pragma once

#include "platform/ptypes.h"
#include "support/abitmap.h"

class PContext;
class PContextState;

// The context a command callback was given, or the main window's; NULL when there is none.
PContext* PexchangeContext(void* ctx);
// confirmDialog, asked again when a volume mount broke off the wait.
OSType PconfirmAgain(const char* msg, const char* cbut, OSType dfb);
// The records a command takes: a copy of the selection, or every displayed record when none is
// selected. With one record selected among several the question msg is asked first; its
// custom button cbut takes every record. False when the user cancelled.
bool PchooseRecords(PContextState* st, ABitMap* chosen, const char* msg, const char* cbut);
// The number of bits set.
int PcountChosen(const ABitMap& chosen);
// The status after an export of total records: "Exported n records", or, when its Stop ended it,
// that it stopped and how far it came.
void PechoExported(int count, int total, bool stopped);
// Sets bits 16 (automatic exposure) and 32 (human response) of *setM or *clrM from the image
// window's default exposure mode, as the export dialogs first show them.
void PexposureOptionMasks(int* setM, int* clrM);
