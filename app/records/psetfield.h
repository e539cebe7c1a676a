// The setting commands shared by the main, info and image windows: a text field (subject,
// title, owner, album, keyword, comment) set on every selected displayed record of the main
// window as one undo step, the recent values of the catalogue header offered in the menus, the
// value last set (which the Repeat command applies again) and the check of a typed value against
// the values a catalogue already holds.
#pragma once

#include "catalog/pdbase.h"
#include "db/dbfield.h"
#include "support/pstrings.h"

// The photo field last set (PDBFend: nothing to repeat) and its value.
extern PDBFieldID lastFieldSet;
extern DBField lastSetVal;

// Records the last setting for Repeat: the field and its first value (text, or the field's
// first value); PDBFend, or no value, forgets it.
void repeatSetting(PDBFieldID f, const char* value);
void repeatSetting(PDBFieldID f, const DBField& value);

// The member of set nearest to s when it is near enough to be a typing slip (a few letters
// swapped, left out, doubled or mistyped, without regard to case); NULL when s is NULL or
// shorter than 2 characters, the set is empty, s is in the set as typed, or nothing is near.
const char* typoMatch(const char* s, const PStringSet& set);

// The set command of code cmd: the asking commands 'subj', 'titl', 'ownr', 'albm', 'keyw',
// 'comm', and the recent-value items 'sub1'-'sub7', 'own1'-'own5', 'alb1'-'alb7',
// 'key1'-'key9' (a value every selected record already has is taken away again).
void setField(unsigned long cmd);
// Whether cmd is one of setField's codes.
bool isSetFieldCommand(unsigned long cmd);
// The Repeat command: the last value set, set again on the selected records.
void repeatSetField();
// Menu update of an asking command ('subj', 'albm', 'keyw', 'ownr') and its recent items: the
// selected records' values (checked when all have them), then the catalogue's recent values.
void checkSettings(unsigned long cmd);
// Menu update of the Repeat item.
void checkRepeatSetting();
// Adds the selected records to album name, after its highest position, or takes them out of
// it; each inside the open edit of the main window's browser.
void addAlbum(const char* name);
void delAlbum(const char* name);
