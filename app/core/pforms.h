// Registration of the interface descriptions: the core's, and the helper every window library
// registers its own forms with.
#pragma once

#include <cstring>

#include "platform/pwindow.h"

// Registers the "MainMenu" form and the core's dialog forms under the nib name; a form named omit
// is left out (tests make a nib that lacks one).
void PregisterCoreForms(const char* nib, const char* omit = nullptr);

// Registers the compiled form Form under name in nib, unless name is omit.
template <class Form>
void PregisterForm(const char* nib, const char* name, const char* omit) {
  if (omit != nullptr && std::strcmp(omit, name) == 0) return;
  RegisterNibWindow(nib, name, [](QWidget* w) { Form().setupUi(w); });
}
