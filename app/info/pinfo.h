// The record info window: one record's fields in a header row and five tabs (settings, file,
// capture, the user's own fields, the thumbnail), stepping through the main window's selected
// records. It shows either a record of a browser's display, linked so that edits show in the
// browser at once and can be made here, or a lone record handed over by the image window (a
// copy, shown only).
//
// Steppers stand for an index into a multi-valued field: their value is the index plus 50, and
// an index outside the field is wrapped into it when shown. Editing leans on the controls: the
// field being edited is the text control with the keyboard focus, and the field that Return
// commits is the one whose button is the window's default button. A first press of a field's
// button arms the row (its text selected, "(Add ...)" on the slot after the last value), a
// second press or Return stores the text as one undoable change named "Set". Text typed
// straight into a field's box is stored the same way when the typing ends: Return, Tab, a click
// elsewhere, another record, another command, closing the window or leaving it. A box whose
// value cannot be stored (a record shown only, a caption without an album) takes no typing.
#pragma once

#include <string>

#include "app/core/pwindows.h"

class PInfoWindow;

// The text of a control, cleaned (white space around it gone, control characters and broken
// bytes '?'), cut to at most len - 1 bytes before a character that would not fit; false when
// it cannot be read.
bool PcontrolText(ControlRef c, std::string* out, int len);

// The thumbnail tab: the shown record's thumbnail, oriented and centred.
class PThumbDrawer : public PDrawer {
 public:
  explicit PThumbDrawer(const DBRecord* rec) : trecp(rec) {}
  void Redraw() override;
  const DBRecord* trecp;
};

// A stepper of the info window: a click or wheel turn first takes the keyboard focus from the
// text being edited, so that the refresh that follows the step is not held back by it.
// Text typed into the box beside it is stored first, as the step leaves that box.
class MyLittleArrowsDrawer : public PLittleArrowsDrawer {
 public:
  MyLittleArrowsDrawer(WindowPtr w, unsigned long sig, long cid, PInfoWindow* win)
      : PLittleArrowsDrawer(w, sig, cid, 1), owner(win) {}
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;

 private:
  PInfoWindow* owner;
};

class PInfoWindow : public IInfoWindow {
 public:
  // One row of the user-defined fields' tab, numbered 1 to 9.
  struct OtherRow {
    int fieldID = -1;  // field of irec's schema, -1 when the row shows none
    PControlDrawer* button = nullptr;
    MyLittleArrowsDrawer* arrows = nullptr;
    PControlDrawer* editField = nullptr;
  };
  static constexpr int kOtherRows = 9;
  // Text of one value as shown or edited.
  static constexpr int kTextLen = 8192;

  explicit PInfoWindow(IBNibRef nib);
  ~PInfoWindow() override;
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;

  // Record i of b's display (false, the window closed, when it has no file name), or a lone
  // record; raise brings the window forward.
  bool ShowInfo(IBrowser* b, int i, bool raise) override;
  bool ShowInfo(const DBRecord& dr, bool raise) override;
  void UpdateFields() override;
  // Puts value ndx of field fid (of irec's schema) into control (sig, cid); edit selects it
  // with the keyboard focus and offers the slot after the last value.
  bool ShowField(unsigned long sig, long cid, int fid, int ndx, bool edit) const;
  void ResetControls();
  int ControlIndex(unsigned long sig, long cid) const;
  bool SetControlIndex(unsigned long sig, long cid, int pos) const;
  bool SetDefaultButton(unsigned long sig, long cid) const;
  bool IsDefaultButton(unsigned long sig, long cid) const;
  IBrowser* GetBrowser() const override { return browser; }
  void Close() override;
  OSStatus HandleClose(EventRef event);
  // Where the typing in a box ends: a click outside it (but on its own armed button, which
  // commits it), Tab and Return, and the window losing the front.
  OSStatus HandleContentClick(EventRef event);
  OSStatus HandleKey(EventRef event);
  OSStatus HandleDeactivated(EventRef event);

  // Commands and their enabling (pinfoedit.cpp).
  OSStatus HandleCommand(EventRef event);
  OSStatus HandleCommandUpdate(EventRef event);
  // Stores the text of control (sig, cid) as a value of field fid at the index of stepper ndxid
  // on the same signature (0: a single-valued row); false when nothing changed.
  bool SetField(unsigned long sig, long cid, int fid, long ndxid);
  bool Reorient(unsigned long cmd);
  // Stores the text typed into a field's box and not stored yet, as the field's button and
  // Return would (one undoable change "Set"); nothing while the record cannot be edited or
  // another change is open. True when a value was stored.
  bool StoreTyped();
  // The box holding typed text not stored yet, -1 when none.
  int TypedBox() const;

  // The text length a value of field fid is formatted with for control c.
  static int TextLength(const DBFDetails* det, ControlRef c);

  const DBRecord& Record() const { return irec; }
  PTabControlDrawer* Tabs() const { return tabDrawer; }
  const OtherRow& Other(int n) const { return other[n]; }

 private:
  ControlRef Control(unsigned long sig, long cid) const;
  // ShowField's work on the control once it is found and not being typed into.
  bool ShowValue(ControlRef c, int fid, int ndx, bool edit) const;
  // The field of irec's schema for a photo field; -1 when absent.
  int Field(int photoField) const;
  // The shown record's index in the browser's display, -1 when it is not there.
  int DisplayIndex() const;
  // The boxes text is typed into: the settings tab's subject, title, owner, keyword, comment
  // and caption, then the user rows 1-9; each with its button and the stepper whose index it
  // edits (0: none).
  static constexpr int kBoxes = 6 + kOtherRows;
  struct Box {
    unsigned long sig;
    long text, button, stepper;
  };
  static Box BoxAt(int k);
  static int BoxOf(unsigned long sig, long cid);
  // The field box k edits (of irec's schema), -1 when none.
  int BoxField(int k) const;
  // What the window put into a box, read back: text that differs from it was typed.
  void Remember(unsigned long sig, long cid) const;
  // Boxes whose value cannot be stored take no typing.
  void LockBoxes() const;
  bool ReadOnlyRecord() const;
  // The commit protocol of a field button (pinfoedit.cpp).
  void FieldButton(unsigned long code);
  void ShowCaption(bool edit);
  void Advance();
  bool OpenRecord();

  PTabControlDrawer* tabDrawer;
  IBrowser* browser;
  DBRecord irec;
  OtherRow other[kOtherRows + 1];
  PThumbDrawer* thumbDrawer;
  mutable std::string shownText[kBoxes];
  bool storing;  // a typed value is being stored (its question may pump events)
};
