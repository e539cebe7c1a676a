// Numbers typed by the user into number fields and searches: decimal numbers and fractions
// ("1/125"), always read in the C locale whatever the user's locale says.
#pragma once

// The value of a decimal number, or of a fraction written as numerator, slash, denominator (each
// a decimal number), as a float. Reads as much as it can, as atof does: 0 for NULL and for text
// that starts with no number; 0 also for a result that is not a finite float (1/0, 1e99).
float fracEval(const char* s);

// The number check of typed values: true, with the value in *v, when the whole text (white
// space around it aside) is one decimal number or fraction with a non-zero denominator whose
// value is a finite float. False, *v untouched, for anything else.
bool fracCheck(const char* s, float* v);

// True, with the value in *v, when the whole text (white space around it aside) is a decimal
// integer within 32 bits.
bool intCheck(const char* s, long* v);

// Names in natural order without case: qsort's comparison over const char* elements.
int strpcmp(const void* a, const void* b);
