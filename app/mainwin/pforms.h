// Registration of the main window's form.
#pragma once

void PregisterMainWindowForm(const char* nib, const char* omit = nullptr);
