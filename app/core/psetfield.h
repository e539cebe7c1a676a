// The setting commands shared by the main, info and image windows: the value last set (which
// the Repeat command applies again) and the check of a typed value against the values a
// catalogue already holds.
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
