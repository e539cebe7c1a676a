// localecalls ROOT [--allow FILE]... [--cloexec] PATH...: lists the calls in the C and C++
// sources under ROOT/PATH (folders are walked, files taken as they are) whose result follows
// the process locale: number conversions, scanf, printf with a float conversion (or with a
// format that is not written out in the call), ctype classes, case folding and case-blind
// comparison. Stored and exchanged text goes through support/cnumber.h instead. With --cloexec
// it lists instead the files and descriptors opened without close-on-exec: fopen without 'e'
// in its mode, open without O_CLOEXEC, the calls that have no such flag (creat, mkstemp, pipe,
// dup, TIFFOpen ...) and the C++ file streams. Prints one line per call and exits 1 when there
// is any.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Called anywhere, these follow the locale.
const std::set<std::string> kAlways = {
    "atof",    "strtod",  "strtof",     "strtold",     "strfromd", "strfromf", "strfroml",
    "stod",    "stof",    "stold",      "sscanf",      "vsscanf",  "fscanf",   "vfscanf",
    "scanf",   "vscanf",  "toupper",    "tolower",     "isalpha",  "isdigit",  "isalnum",
    "isspace", "isupper", "islower",    "isxdigit",    "ispunct",  "isprint",  "isgraph",
    "iscntrl", "isblank", "strcasecmp", "strncasecmp", "strcoll",  "strxfrm",  "localeconv"};
// These follow it when their format converts a float.
const std::set<std::string> kPrintf = {"printf",   "fprintf",   "sprintf",  "snprintf",
                                       "dprintf",  "asprintf",  "vprintf",  "vfprintf",
                                       "vsprintf", "vsnprintf", "vdprintf", "vasprintf"};

// Opening calls: those whose mode argument (the second) must hold 'e', those whose arguments
// must name a close-on-exec flag, and those that cannot be asked for one.
const std::set<std::string> kModeE = {"fopen", "fopen64", "freopen", "freopen64", "popen"};
const std::set<std::string> kFlagged = {
    "open",          "open64",        "openat",   "openat64",       "mkostemp",    "mkostemps",
    "pipe2",         "dup3",          "accept4",  "socket",         "socketpair",  "eventfd",
    "inotify_init1", "epoll_create1", "signalfd", "timerfd_create", "memfd_create"};
const std::set<std::string> kNoFlag = {"creat",    "creat64",     "mkstemp",      "mkstemps",
                                       "tmpfile",  "tmpfile64",   "pipe",         "dup",
                                       "dup2",     "accept",      "inotify_init", "epoll_create",
                                       "TIFFOpen", "TIFFOpenExt", "TIFFOpenW",    "TIFFOpenWExt"};
// File stream types, which open without the flag.
const std::set<std::string> kStreams = {
    "ifstream",       "ofstream",      "fstream",       "filebuf",     "basic_ifstream",
    "basic_ofstream", "basic_fstream", "basic_filebuf", "StdIFStream", "StdOFStream"};

struct Token {
  enum Kind { kName, kString, kPunct } kind;
  std::string text;
  int line;
};

bool nameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The file as names, string literals (their bytes, escapes kept) and punctuation; comments,
// character literals and preprocessor lines' ends are dropped.
std::vector<Token> tokens(const std::string& s) {
  std::vector<Token> out;
  int line = 1;
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '/') {
      while (i < n && s[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      i += 2;
      while (i < n && !(s[i] == '*' && i + 1 < n && s[i + 1] == '/')) line += s[i++] == '\n';
      i += 2;
    } else if (c == 'R' && i + 1 < n && s[i + 1] == '"' && (i == 0 || !nameChar(s[i - 1]))) {
      const size_t open = s.find('(', i + 2);
      if (open == std::string::npos) break;
      const std::string end = ")" + s.substr(i + 2, open - i - 2) + "\"";
      const size_t close = s.find(end, open);
      const size_t stop = close == std::string::npos ? n : close;
      out.push_back({Token::kString, s.substr(open + 1, stop - open - 1), line});
      line += static_cast<int>(std::count(s.begin() + i, s.begin() + stop, '\n'));
      i = close == std::string::npos ? n : close + end.size();
    } else if (c == '"' || c == '\'') {
      std::string text;
      ++i;
      while (i < n && s[i] != c && s[i] != '\n') {
        if (s[i] == '\\' && i + 1 < n) text += s[i++];
        text += s[i++];
      }
      ++i;
      if (c == '"') out.push_back({Token::kString, text, line});
    } else if (nameChar(c)) {
      const size_t b = i;
      while (i < n && nameChar(s[i])) ++i;
      out.push_back({Token::kName, s.substr(b, i - b), line});
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
    } else {
      out.push_back({Token::kPunct, std::string(1, c), line});
      ++i;
    }
  }
  return out;
}

// Whether a printf format converts a float (%f, %e, %g, %a in any case, with any flags).
bool floatFormat(const std::string& f) {
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') continue;
    size_t j = i + 1;
    if (j < f.size() && f[j] == '%') {
      i = j;
      continue;
    }
    while (j < f.size() && strchr("-+ #0'123456789.*$hlLqjzt", f[j]) != nullptr) ++j;
    if (j < f.size() && strchr("fFeEgGaA", f[j]) != nullptr) return true;
    i = j;
  }
  return false;
}

// Whether token k (a name) is called as the C library's function: followed by '(', not a
// member (after '.' or '->'), and not qualified by a name other than std.
bool libraryCall(const std::vector<Token>& t, size_t k) {
  if (k + 1 >= t.size() || t[k + 1].text != "(") return false;
  if (k >= 1 && t[k - 1].text == ".") return false;
  if (k >= 2 && t[k - 1].text == ">" && t[k - 2].text == "-") return false;
  if (k >= 2 && t[k - 1].text == ":" && t[k - 2].text == ":")
    return k < 3 || t[k - 3].kind != Token::kName || t[k - 3].text == "std";
  // A declaration or definition of a function of that name is no call of the library's.
  if (k >= 1 && t[k - 1].kind == Token::kName && t[k - 1].text != "return") return false;
  return true;
}

// The top-level arguments of the call whose '(' is token k + 1, each as its tokens.
std::vector<std::vector<Token>> arguments(const std::vector<Token>& t, size_t k) {
  std::vector<std::vector<Token>> args(1);
  int depth = 0;
  for (size_t j = k + 1; j < t.size(); ++j) {
    const std::string& x = t[j].text;
    if (t[j].kind == Token::kPunct && (x == "(" || x == "[" || x == "{") && depth++ == 0) continue;
    if (t[j].kind == Token::kPunct && (x == ")" || x == "]" || x == "}") && --depth == 0) break;
    if (depth == 1 && t[j].kind == Token::kPunct && x == ",")
      args.emplace_back();
    else
      args.back().push_back(t[j]);
  }
  return args;
}

// Whether token k is a file stream type being made: a variable, a temporary or a member of
// that type (std:: or Imf:: qualified, or plain), not the name in an #include.
bool streamMade(const std::vector<Token>& t, size_t k) {
  if (kStreams.count(t[k].text) == 0 || k + 1 >= t.size()) return false;
  if (k >= 1 && (t[k - 1].text == "." || t[k - 1].text == "<")) return false;
  if (k >= 2 && t[k - 1].text == ">" && t[k - 2].text == "-") return false;
  if (k >= 3 && t[k - 1].text == ":" && t[k - 2].text == ":" && t[k - 3].kind == Token::kName &&
      t[k - 3].text != "std" && t[k - 3].text != "Imf")
    return false;
  const Token& n = t[k + 1];
  return n.kind == Token::kName || n.text == "(" || n.text == "{" || n.text == "<" ||
         n.text == "*" || n.text == "&";
}

// The opening calls of a file that do not close their descriptor on exec.
void scanOpens(const std::vector<Token>& t, const std::string& shown,
               std::vector<std::string>* found) {
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind != Token::kName) continue;
    const std::string& name = t[k].text;
    const std::string at = shown + ":" + std::to_string(t[k].line) + ": ";
    if (streamMade(t, k)) {
      found->push_back(at + name + " (a file stream opens without close-on-exec)");
      continue;
    }
    if (!libraryCall(t, k)) continue;
    if (kNoFlag.count(name) != 0) {
      found->push_back(at + name + " (opens without close-on-exec)");
    } else if (kModeE.count(name) != 0) {
      const std::vector<std::vector<Token>> args = arguments(t, k);
      const bool literal =
          args.size() >= 2 && args[1].size() == 1 && args[1][0].kind == Token::kString;
      if (!literal)
        found->push_back(at + name + " with a mode not written out");
      else if (args[1][0].text.find('e') == std::string::npos)
        found->push_back(at + name + " without 'e' in its mode");
    } else if (kFlagged.count(name) != 0) {
      bool flag = false;
      for (const std::vector<Token>& a : arguments(t, k))
        for (const Token& x : a)
          flag = flag || (x.kind == Token::kName && x.text.size() >= 7 &&
                          x.text.compare(x.text.size() - 7, 7, "CLOEXEC") == 0);
      if (!flag) found->push_back(at + name + " without a close-on-exec flag");
    }
  }
}

void scanFile(const fs::path& file, const std::string& shown, bool opens,
              std::vector<std::string>* found) {
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<Token> t = tokens(text);
  if (opens) {
    scanOpens(t, shown, found);
    return;
  }
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind != Token::kName || !libraryCall(t, k)) continue;
    const std::string& name = t[k].text;
    if (kAlways.count(name) != 0) {
      found->push_back(shown + ":" + std::to_string(t[k].line) + ": " + name);
    } else if (kPrintf.count(name) != 0) {
      // The literals up to the call's closing parenthesis; a format passed in a variable may
      // convert anything.
      int depth = 0;
      bool flt = false, literal = false;
      for (size_t j = k + 1; j < t.size(); ++j) {
        if (t[j].text == "(") ++depth;
        if (t[j].text == ")" && --depth == 0) break;
        if (t[j].kind != Token::kString) continue;
        literal = true;
        flt = flt || floatFormat(t[j].text);
      }
      if (flt || !literal)
        found->push_back(shown + ":" + std::to_string(t[k].line) + ": " + name +
                         (flt ? " with a float conversion" : " with a format not written out"));
    }
  }
}

bool sourceFile(const fs::path& p) {
  const std::string e = p.extension().string();
  return e == ".c" || e == ".cc" || e == ".cpp" || e == ".h" || e == ".hpp";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: localecalls ROOT [--allow FILE]... [--cloexec] PATH...\n");
    return 2;
  }
  const fs::path root = argv[1];
  std::set<std::string> allowed;
  std::vector<std::string> paths;
  bool opens = false;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--allow") == 0 && i + 1 < argc)
      allowed.insert(argv[++i]);
    else if (strcmp(argv[i], "--cloexec") == 0)
      opens = true;
    else
      paths.push_back(argv[i]);
  }
  std::vector<std::string> files;
  for (const std::string& p : paths) {
    const fs::path full = root / p;
    if (fs::is_directory(full)) {
      for (const auto& e : fs::recursive_directory_iterator(full))
        if (e.is_regular_file() && sourceFile(e.path()))
          files.push_back(fs::relative(e.path(), root).generic_string());
    } else if (fs::is_regular_file(full)) {
      files.push_back(p);
    } else {
      fprintf(stderr, "localecalls: no such source: %s\n", full.c_str());
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> found;
  for (const std::string& f : files)
    if (allowed.count(f) == 0) scanFile(root / f, f, opens, &found);
  for (const std::string& f : found) printf("%s\n", f.c_str());
  if (opens) {
    printf("%zu opening%s without close-on-exec in %zu files\n", found.size(),
           found.size() == 1 ? "" : "s", files.size());
    return found.empty() ? 0 : 1;
  }
  printf("%zu locale-following call%s in %zu files%s\n", found.size(), found.size() == 1 ? "" : "s",
         files.size(),
         found.empty() ? "" : " (use support/cnumber.h for stored and exchanged text)");
  return found.empty() ? 0 : 1;
}
