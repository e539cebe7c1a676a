// Preferences, the log file and the caches, read at start-up and saved at quit.
#pragma once

// Opens the log file (rewritten at every start) at its place among the user's folders and sets
// the defaults of the shadow catalogue; later calls do nothing.
void InitPreferences();
void SavePreferences();
// The preferences dialog.
void ChangePreferences();
