// The record store of an open catalogue with undo and redo. Additions and deletions are not
// applied at once: they collect in a pending change, which the next checkpoint applies to the
// store and files as one step of the undo history. A step may carry a label (for the Undo and
// Redo menu items) and a snapshot of the display, restored when the step is undone or redone.
// Every read through the store commits the pending change first, so readers always see it.
#pragma once

#include <iosfwd>
#include <vector>

#include "db/dbaccess.h"
#include "db/dbheader.h"
#include "db/dbquery.h"
#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbschema.h"

class DBChangeList;

// A snapshot of the display state attached to a change.
class PSnapshot {
 public:
  virtual ~PSnapshot() = default;
  // Called with undo true when the change is undone, false when it is redone.
  virtual bool Restore(const DBChangeList* ch, bool undo) = 0;
};

// One change: the records it deletes and adds, its label and snapshot. Changes form lists
// through prev (toward older steps in the undo list, toward steps undone earlier in the redo
// list); a change owns its snapshot and the chain behind it.
class DBChangeList {
 public:
  // Empty lists over schema; the label is name cut to 31 characters (empty when null).
  explicit DBChangeList(const DBFieldInfo* schema, const char* label = nullptr,
                        PSnapshot* snapshot = nullptr);
  ~DBChangeList();
  DBChangeList(const DBChangeList&) = delete;
  DBChangeList& operator=(const DBChangeList&) = delete;

  bool Named() const { return name[0] != '\0'; }
  bool Empty() const { return rdel.GetSize() == 0 && radd.GetSize() == 0; }

  // Applies this change, and the unnamed changes chained behind it, to a list of displayed
  // records: forward (redo) removes the deletions and appends the additions; backward (undo)
  // the other way round. False for a null list, a change without records or no memory.
  // With from, from[i] ends as the change's record that list record i was copied from (null
  // for records the list had before); with inStep, that list loses and gains records at the
  // same indexes as list (empty records for the appended ones). With share, the appended
  // records share the change's field arrays (for a list whose records are never written).
  // With byStep, a removal takes the list record whose inStep record equals it, where that
  // one is set (a displayed record that stands for the catalogue version beside it), and the
  // list record itself where not.
  bool ReflectChange(DBRecordList* list, bool backward,
                     std::vector<const DBRecord*>* from = nullptr, DBRecordList* inStep = nullptr,
                     bool share = false, bool byStep = false) const;

  char name[32];
  DBRecordList rdel;
  DBRecordList radd;
  PSnapshot* snap;
  DBChangeList* prev;
};

class PDBAccess : public DBAccess {
 public:
  PDBAccess(DBHeader* hdr, std::iostream* dbstrm, bool ro);
  // Commits the pending change and forgets the undo history.
  ~PDBAccess() override;

  const char* ClassName() const override { return "PDBAccess"; }

  // Reads commit the pending change first; 0 when that fails.
  int ForEachBlock(int (*fn)(const DBRecordList&, void*), void* data,
                   const DBFieldSort* order) override;
  int GetRecords(DBRecord* out, int n, int start) override;
  int FindRecords(const DBQuery* query, DBRecord* out, int n, int* pos) override;
  // Queues copies of n records for addition; n, or 0.
  int AddRecords(const DBRecord* recs, int n) override;
  // Queues n records for deletion, cancelling pending additions of equal records; n, or 0.
  int DeleteRecords(const DBRecord* recs, int n) override;
  // The same for the records of list, whose field arrays the pending change takes rather than
  // copies (those that cancel a pending addition stay in list).
  int DeleteTaking(DBRecordList* list);
  // The stored count with the pending change counted in.
  int TotalRecords() override;
  // Commits, then writes the text table whatever the commit gave.
  void Write(std::ostream* os, char sep) override;
  // Commits and syncs the store; the unsynced count is 0 afterwards either way.
  bool Sync() override;
  // Commits and closes the store, then forgets the history; true when both succeeded. When the
  // store stays open (its sync failed: see DBAccess::Close) the history stays with it.
  bool Close() override;
  // Forgets the history and the pending change and closes the store without writing (see
  // DBAccess::Discard).
  bool Discard() override;

  // Applies the pending change as an undo step and, when a label or snapshot is given, opens
  // a new pending change with them. The store owns snap from here on in every case. Applying
  // is all or nothing: when the store cannot take every addition, it is put back as it was,
  // the change stays pending, snap is destroyed and the result is false.
  bool Checkpoint(const char* name, PSnapshot* snap);
  // Reverts steps back to and including the newest named one; that step, or null when no
  // named step was reverted. A step the store cannot revert in full stays applied.
  const DBChangeList* Undo();
  // Makes undone steps pending again up to and including the next named one; that step, or
  // null.
  const DBChangeList* Redo();
  // The label Undo and Redo would act on, null when none.
  const char* UndoName() const;
  const char* RedoName() const;
  // Commits, then forgets the undo and redo lists; the commit's result.
  bool ClearChanges();

  const DBChangeList* UndoList() const { return undoList; }
  const DBChangeList* RedoList() const { return redoList; }
  const DBChangeList* Pending() const { return pending; }
  // Records added to or deleted from the store since the last Sync.
  int GetNUnsynced() const { return nunsynced; }

 private:
  // Drops the pending change and the history, applying nothing.
  void ForgetChanges();
  DBChangeList* NewChange(const char* name, PSnapshot* snap) const;
  // DeleteRecords, taking the records' field arrays from taken (recs being its array) if given.
  int Delete(const DBRecord* recs, int n, DBRecordList* taken);
  // Deletes del's records from the store, then adds add's; all or nothing. The counts of
  // records deleted and added (before any rollback) go to *ndel and *nadd.
  bool ApplyChange(const DBRecordList& del, const DBRecordList& add, int* ndel, int* nadd);
  // Deep copies of the stored records the store's DeleteRecords would delete for recs.
  void CaptureStored(const DBRecord* recs, int n, DBRecordList* out);

  DBChangeList* undoList;
  DBChangeList* pending;
  DBChangeList* redoList;
  int nunsynced;
};
