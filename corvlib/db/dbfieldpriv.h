// Helpers shared by the field, formatter and text-table sources of the record database.
#pragma once

#include <cmath>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <vector>

class DBRecord;
class DBFieldInfo;

namespace dbpriv {

// Largest magnitude a stored float may have.
constexpr float kFloatMax = 3.4028235e38f;

inline bool isBadFloat(float f) {
  return std::isnan(f) || std::fabs(f) > kFloatMax;
}
// A double as a float, rounded to nearest: values within rounding of the float range become
// the largest float, values beyond it infinite (never undefined).
float toFloat(double d);
// A long clamped to the 32-bit range of integer values.
int32_t saturate(long x);
// The text after s in a packed block of NUL-terminated strings.
const char* nextPacked(const char* s);
// Total order of floats with NaN first (all NaNs equal); -1, 0 or 1.
inline int floatOrder(float a, float b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return static_cast<int>(nb) - static_cast<int>(na);
  return (a > b) - (a < b);
}

// How many of the n records, from the first, a block can store as they are: a string field
// keeps at most DB_MAXARRAY values in a block, so a record with more could never be matched
// (and deleted) again. The first record refused is reported as a data problem.
int storablePrefix(const DBRecord* recs, int n);

// Reads the record lines of a table, counting lines from the first line of the input (the
// names line included when one was read), skipping empty lines and the LF of CR LF pairs.
// Bad lines are skipped and collected; Report() names them in one message.
class TableLines {
 public:
  TableLines(std::istream* is, char sep) : is_(is), sep_(sep) {}
  // After the names line was read: counts it, and notes whether it ended with a CR.
  void AfterNames();
  // Reads the next line with fields into rec (bound to schema rs); false at the end of the
  // input or of an enclosing block, or when rec cannot be renewed after a bad line.
  bool Next(DBRecord& rec, DBFieldInfo* rs);
  // Counts the current line as bad (its record was refused after it was read).
  void Refused() { Bad(line_); }
  // Reports the bad lines, when there were any: their count and their numbers.
  void Report() const;
  int BadLines() const { return nbad_; }

 private:
  void Bad(int line);
  std::istream* is_;
  char sep_;
  int line_ = 0;
  int nbad_ = 0;
  bool prevCR_ = false;
  std::vector<int> shown_;  // the first bad line numbers, for the message
};

}  // namespace dbpriv
