// Capture dates: the arithmetic on the six parts of a date (year, month 1-12, day, hour, minute,
// second) and the commands that change the selected records' capture dates.
#pragma once

#include <cstddef>

// Room for any text sprintDate writes (six numbers of up to 11 characters and separators).
constexpr size_t kDateTextLen = 72;

// A date the catalogue can hold: year 1980-9999, month 1-12, a day of that month (Gregorian
// February), hour 0-23, minute and second 0-59.
bool legalDate(const int d[6]);
// Reads "YYYY:MM:DD hh:mm:ss" (each part a decimal integer, blanks allowed before each; text
// after the seconds is ignored) into d. d is zeroed first; true only when all six parts were
// integers in range of int and the date is legal. False for NULL.
bool sscanDate(int d[6], const char* s);
// Writes d as "%04d:%02d:%02d %02d:%02d:%02d" into s, which holds kDateTextLen bytes.
char* sprintDate(char* s, const int d[6]);
// Adds the offsets delta (same order) to d, carrying seconds into minutes, minutes into hours,
// hours into days and days into months; then months (carried into years) and years, the day
// brought within its month's length afterwards (31 January + 1 month is the last of February).
// False, d unchanged, when a part would leave the range of int.
bool adjDate(int d[6], const int delta[6]);
// The number of days of month m (1-12) of year y, Gregorian.
int monthDays(int y, int m);

// The synchronise command: of exactly two selected records with capture dates, the later one
// (the earlier with later) takes the other's date.
void syncDate(bool later);
// The adjust-time command: sets the lone selected record's date, or shifts several by an offset,
// through the date dialog.
void adjustDate();

// A whole text (blanks around allowed) read as one decimal integer within the range of int.
bool readDatePart(const char* s, int* v);
