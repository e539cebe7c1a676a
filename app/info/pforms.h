// Registration of the info and search windows' forms.
#pragma once

void PregisterInfoForms(const char* nib, const char* omit = nullptr);
