// The preferences file's text: the variables over the program's globals, the migration and
// camera-response sub-blocks, and the safe replacement of the file on disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>

#include "app/core/pprefs.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "support/replacefile.h"
#include "support/cnumber.h"

int gStartupOption = 1;
char gRecentCatalogs[kRecentCatalogsSize];
char gShadowCatalog[1024];
char gErrLogFile[1024] = "/var/tmp/Lumerin.log";
int gMaxMigrations = 64;
DBRecordList gCamResponse;
int memoryCacheMegs = 32;
int thumbCacheMegs = 256;
char thumbCacheDir[1024];
char gPrefFile[1024];
DBHeaderLink* gPrefLink = nullptr;

namespace {

// Text budget of each sub-block.
constexpr int kSubBlockBudget = 10240;

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Takes blanks; the next character after them (not taken), EOF at the end.
int SkipBlanks(std::streambuf* sb) {
  for (;;) {
    const int c = sb->sgetc();
    if (c == EOF || !IsBlank(c)) return c;
    sb->sbumpc();
  }
}

int MissingBrace() {
  DMESSAGE(DMCdata, "Missing '}' in preferences file");
  return -1;
}

// Whether the file at path holds exactly text.
bool HoldsExactly(const char* path, const std::string& text) {
  const int fd = PopenRegular(path, O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string got;
  char buf[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    if (got.size() > text.size()) break;
  }
  close(fd);
  return ok && got == text;
}

}  // namespace

DBHeaderLink* PprefLink() {
  if (gPrefLink != nullptr) return gPrefLink;
  DBHeaderLink* v =
      new DBHeaderLink("RecentCatalog", gRecentCatalogs, kRecentCatalogsSize, nullptr);
  v = new DBHeaderLink("ShadowCatalog", gShadowCatalog, sizeof gShadowCatalog, v);
  v = new DBHeaderLink("ErrorLog", gErrLogFile, sizeof gErrLogFile, v);
  v = new DBHeaderLink("StartupOption", &gStartupOption, 1, v);
  v = new DBHeaderLink("DisplayExposureFlags", &PEMDefault, 1, v);
  v = new DBHeaderLink("MemoryCacheMegs", &memoryCacheMegs, 1, v);
  v = new DBHeaderLink("ThumbnailCacheMegs", &thumbCacheMegs, 1, v);
  v = new DBHeaderLink("ThumbnailCacheDirectory", thumbCacheDir, sizeof thumbCacheDir, v);
  v = new DBHeaderLink("MigrationPaths", &PFMigrations, writeMigrations, readMigrations,
                       kSubBlockBudget, v);
  v = new DBHeaderLink("CameraResponses", &gCamResponse, writeResponses, readResponses,
                       kSubBlockBudget, v);
  gPrefLink = v;
  return gPrefLink;
}

int writeMigrations(void*, std::ostream* os, int level) {
  if (os == nullptr) return -1;
  int n = 0;
  for (const PFileMigration* m = PFMigrations; m != nullptr && n < gMaxMigrations;
       m = m->GetNext()) {
    if (!m->IsValid()) continue;  // a rule that matches nothing
    const char* dirs[2] = {m->GetOldDir(), m->GetNewDir()};
    DBField f;
    f.Set(dirs, 2);
    for (int i = 0; i < level; i++) os->put('\t');
    *os << f << '\n';
    n++;
  }
  return os->bad() ? -1 : n;
}

int readMigrations(void*, std::istream* is) {
  delete PFMigrations;
  PFMigrations = nullptr;
  if (is == nullptr || is->rdbuf() == nullptr) return MissingBrace();
  std::streambuf* sb = is->rdbuf();
  int n = 0, kept = 0;
  for (;;) {
    const int c = SkipBlanks(sb);
    if (c == EOF || !is->good()) return MissingBrace();
    if (c == '}') {
      sb->sbumpc();
      return n;
    }
    DBField f;
    *is >> f;
    const char* dirs[2] = {nullptr, nullptr};
    if (is->fail() || f.GetDT() != DBDTstring || f.GetNV() != 2 || f.Get(dirs, 2) != 2) {
      DMESSAGE(DMCdata, "Bad migration path in preferences file");
      return -1;
    }
    is->clear(is->rdstate() & ~std::ios::eofbit);
    n++;
    // Only as many rules as are written back are kept; a pair that shows no change makes no
    // rule.
    char o[1024], w[1024];
    if (kept >= gMaxMigrations || !PFileMigration::GetChange(o, w, dirs[0], dirs[1])) continue;
    if (PFMigrations == nullptr)
      PFMigrations = new PFileMigration(dirs[0], dirs[1]);
    else
      PFMigrations->AddMigration(dirs[0], dirs[1]);
    kept++;
  }
}

int writeResponses(void*, std::ostream* os, int) {
  if (os == nullptr) return -1;
  if (gCamResponse.GetSize() == 0) return 0;
  gCamResponse.Write(os, '|');
  return os->bad() ? -1 : gCamResponse.GetSize();
}

int readResponses(void*, std::istream* is) {
  gCamResponse.Init(&CDBFInfo, 0);
  if (is == nullptr || is->rdbuf() == nullptr) return MissingBrace();
  std::streambuf* sb = is->rdbuf();
  int c = SkipBlanks(sb);
  if (c == '}') {  // an empty block
    sb->sbumpc();
    return 0;
  }
  if (c == EOF) return MissingBrace();
  char sep = '|';
  const int n = gCamResponse.Read(is, &sep);
  if (n < 0) return -1;
  is->clear(is->rdstate() & ~std::ios::failbit);
  c = is->eof() ? EOF : SkipBlanks(sb);
  if (c != '}') {
    gCamResponse.Resize(0);
    return MissingBrace();
  }
  sb->sbumpc();
  // A line whose columns the schema does not know gives a record without values.
  gCamResponse.Compact(true);
  return n < 0 ? n : gCamResponse.GetSize();
}

namespace {

// Whether text from at is the closing line of the block ("}", then at most a comment naming the
// block) followed by nothing but blanks.
bool ClosesTheBlock(const std::string& text, size_t at) {
  if (at >= text.size() || text[at] != '}') return false;
  size_t i = at + 1;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
  static const char kComment[] = "// LumerinPreferences";
  if (text.compare(i, sizeof kComment - 1, kComment) == 0) i += sizeof kComment - 1;
  for (; i < text.size(); i++)
    if (!IsBlank(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// The values of the variable name hold one value at most, and each is a full path (or empty,
// where empty means none).
bool PathValues(const char* name, bool single, std::string* why) {
  const DBHeaderLink* v = PprefLink()->GetVar(name);
  if (single && v->NSet() > 1) {
    *why = std::string(name) + " holds more than one value";
    return false;
  }
  for (int i = 0; i < v->NSet(); i++) {
    const char* p = v->GetSVal(i);
    if (p != nullptr && p[0] != '\0' && p[0] != '/') {
      *why = std::string(name) + " is not a full path";
      return false;
    }
  }
  return true;
}

bool OneNumber(const char* name, int value, int low, int high, std::string* why) {
  const DBHeaderLink* v = PprefLink()->GetVar(name);
  if (v->NSet() <= 0) return true;
  if (v->NSet() == 1 && value >= low && value <= high) return true;
  *why = std::string("bad ") + name;
  return false;
}

}  // namespace

bool PreadPreferencesText(const std::string& text, std::string* why) {
  std::string dummy;
  if (why == nullptr) why = &dummy;
  DBHeaderLink* vars = PprefLink();
  vars->Clear();
  if (text.find('\0') != std::string::npos) {
    *why = "it holds a NUL byte";
    return false;
  }
  // The first line opens the block, after the byte-order mark some editors put first.
  std::istringstream is(text);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) is.seekg(3);
  std::streambuf* sb = is.rdbuf();
  if (!MatchInput(&is, "LumerinPreferences")) {
    *why = "it does not begin with the preferences block";
    return false;
  }
  int c = sb->sgetc();
  while (c == ' ' || c == '\t') c = sb->snextc();
  if (c == '=') c = sb->snextc();
  while (c == ' ' || c == '\t') c = sb->snextc();
  if (c == '{') c = sb->snextc();
  while (c == ' ' || c == '\t' || c == '\r') c = sb->snextc();
  if (c != '\n') {
    *why = "it does not begin with the preferences block";
    return false;
  }
  sb->sbumpc();
  // Assignments of known variables, one after the other, up to the closing line: a comment, an
  // unknown name or anything the variables cannot read is damage (the program writes none).
  for (;;) {
    c = SkipBlanks(sb);
    if (c == EOF) {
      *why = "it ends before the block is closed";
      return false;
    }
    if (c == '}') {
      const std::streamoff at = is.tellg();
      if (at < 0 || !ClosesTheBlock(text, static_cast<size_t>(at))) {
        *why = "something follows the end of the block";
        return false;
      }
      break;
    }
    std::string name;
    while (c != EOF && c < 0x80 && (Calnum(static_cast<char>(c)) || c == '_') && name.size() < 64) {
      name.push_back(static_cast<char>(c));
      c = sb->snextc();
    }
    DBHeaderLink* v = name.empty() ? nullptr : vars->FindVar(name.c_str());
    if (v == nullptr || !Calpha(name[0])) {
      *why = "a line there is not a known setting";
      return false;
    }
    while (c == ' ' || c == '\t') c = sb->snextc();
    if (c != '=') {
      *why = "the setting " + name + " has no '='";
      return false;
    }
    c = sb->snextc();
    while (c == ' ' || c == '\t') c = sb->snextc();
    if (c == EOF || v->ReadVal(&is) < 0 || is.bad()) {
      *why = "the value of " + name + " cannot be read";
      return false;
    }
    is.clear(is.rdstate() & ~(std::ios::failbit | std::ios::eofbit));
    if (v->Type() == DBDTunknown) {
      // A sub-block's reader stops after its brace: the line ends with the comment naming it.
      c = sb->sgetc();
      while (c == ' ' || c == '\t') c = sb->snextc();
      const std::string comment = "// " + name;
      if (c == '/' && !MatchInput(&is, comment.c_str())) {
        *why = "the block of " + name + " is not closed as written";
        return false;
      }
      c = sb->sgetc();
      while (c == ' ' || c == '\t' || c == '\r') c = sb->snextc();
      if (c != '\n' && c != EOF) {
        *why = "the block of " + name + " is not closed as written";
        return false;
      }
    }
  }
  // Values the program never writes.
  return PathValues("RecentCatalog", false, why) && PathValues("ShadowCatalog", true, why) &&
         PathValues("ErrorLog", true, why) && PathValues("ThumbnailCacheDirectory", true, why) &&
         OneNumber("StartupOption", gStartupOption, INT_MIN, INT_MAX, why) &&
         OneNumber("DisplayExposureFlags", PEMDefault, 0, PEMauto | PEMlocal | PEMhuman, why) &&
         OneNumber("MemoryCacheMegs", memoryCacheMegs, 0, INT_MAX, why) &&
         OneNumber("ThumbnailCacheMegs", thumbCacheMegs, 0, INT_MAX, why);
}

bool PwritePreferences(std::ostream* os) {
  if (os == nullptr) return false;
  DBHeaderLink* vars = PprefLink();
  // The sub-blocks are written when they hold something.
  int rules = 0;
  for (const PFileMigration* m = PFMigrations; m != nullptr; m = m->GetNext())
    rules += m->IsValid();
  vars->FindVar("MigrationPaths")->SetNSet(rules > 0 ? 1 : 0);
  vars->FindVar("CameraResponses")->SetNSet(gCamResponse.GetSize() > 0 ? 1 : 0);
  *os << "LumerinPreferences = {\n";
  const int n = vars->WriteVars(os, 0);
  *os << "}\t// LumerinPreferences\n";
  return n >= 0 && !os->fail();
}

bool PwritePreferencesFile(const char* path, std::string* why) {
  std::string dummy;
  if (why == nullptr) why = &dummy;
  if (path == nullptr || path[0] == '\0') {
    *why = "no file name";
    return false;
  }
  std::ostringstream out;
  if (!PwritePreferences(&out)) {
    *why = "the preferences could not be formatted";
    return false;
  }
  const std::string text = out.str();
  // A file reached through a symbolic link is replaced where it lies, the link kept.
  std::string target = path;
  char real[PATH_MAX];
  if (realpath(path, real) != nullptr) target = real;
  // The preferences are the user's alone.
  PWholeFile file(target.c_str(), 0600);
  if (!file.IsOpen()) {
    *why = std::string("cannot make a new file beside it: ") + std::strerror(errno);
    return false;
  }
  if (!file.Write(text.data(), text.size())) {
    *why = std::string("cannot write: ") + std::strerror(errno);
    return false;
  }
  if (!file.Sync()) {
    *why = std::string("cannot sync: ") + std::strerror(errno);
    return false;
  }
  if (!file.Close()) {
    *why = std::string("cannot close: ") + std::strerror(errno);
    return false;
  }
  if (!HoldsExactly(file.TempName().c_str(), text)) {
    *why = "what was written does not read back";
    return false;
  }
  if (!file.Commit()) {
    *why = std::string("cannot replace the old file: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool PparseMegabytes(const char* text, int* megs) {
  if (text == nullptr || megs == nullptr) return false;
  const char* p = text;
  while (IsBlank(static_cast<unsigned char>(*p))) p++;
  long long v = 0;
  const char* digits = p;
  for (; *p >= '0' && *p <= '9'; p++) {
    v = v * 10 + (*p - '0');
    if (v > INT_MAX) return false;
  }
  if (p == digits) return false;
  while (IsBlank(static_cast<unsigned char>(*p))) p++;
  if (*p != '\0') return false;
  *megs = static_cast<int>(v);
  return true;
}
