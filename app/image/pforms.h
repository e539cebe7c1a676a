// Registration of the image window's form.
#pragma once

void PregisterImageForm(const char* nib, const char* omit = nullptr);
