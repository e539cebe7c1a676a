// Registration of the core's interface descriptions.
#pragma once

// Registers the "MainMenu" form and the core's dialog forms under the nib name; a form named omit
// is left out (tests make a nib that lacks one).
void PregisterCoreForms(const char* nib, const char* omit = nullptr);
