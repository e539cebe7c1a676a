// Planted for the locale-call scan: strtod(text) in a comment is not a call.
#include <cstdio>
#include <cstdlib>
#include <strings.h>

double planted(const char* text, char* out, int n, struct Parser* p) {
  /* nor is atof(text) here */
  double v = strtod(text, nullptr);
  if (std::isspace(text[0])) v += 1;
  std::snprintf(out, n, "%d", 3);
  snprintf(out, n, "%s is the planted value %d, or with its fraction shown %5.2f, as written",
           "atof(", 2, v);
  v += p->atof(text) + Parser::tolower(text[1]);
  const char* s = "toupper(x)";
  std::puts(s);
  vsnprintf(out, n, s, nullptr);
  return v + strcasecmp(text, "X");
}
