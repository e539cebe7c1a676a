// The setting commands of the selected records that work on the schema of the display: print
// density, position in the display, any other field (also the fields the user added) through
// the field-name menu, and the field editor dialog that adds fields or changes them.
#pragma once

// Sets XDensity and YDensity of the selected records, keeping their ratio; d <= 0 asks.
void setDensity(float d);
// Moves the selected records, in display order, to display position pos as one block; pos < 0
// asks.
void setPosition(int pos);
// Sets the field chosen by 'othr' (a new field from the field editor) or 'oth1' .. 'oth9' (the
// field named by the item's text) on the selected records.
void setOther(unsigned long cmd);
// Menu update of the field-name menu: the user fields of the displayed schema, at most nine,
// below the 'othr' item.
void checkOtherSettings();

// The field editor dialog for field fid of the editable schema, or for a new field when
// fid < 0: the field number added, updated or chosen (nothing needing a change), -1 when
// cancelled or refused.
int editField(int fid);
// Sets the editor's controls for the field chosen in its pop-up.
void updateFieldWindow();
// Whether name starts with a letter and holds only letters, digits and underscores; the first
// fault is reported (class "input").
bool checkFieldName(const char* name);

// The main window's share of these commands: 'dens', 'posn', 'othr' and 'oth1' .. 'oth9'
// carried out (true when cmd is one of them), and their menu state (true when cmd is one of
// them, with *enable set).
bool SettingCommand(unsigned long cmd);
bool SettingCommandState(unsigned long cmd, bool* enable);
