#include "support/dmessage.h"
#include "support/bytetext.h"
#include "support/cnumber.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

uint32_t dmessage_class_flags[DMCnerr + 1] = {0x2F, 0x1F, 0x0F, 0x0F, 0x0F, 0x0F,
                                              0x0F, 0x03, 0x03, 0x01, 0};
const char* dmessage_class_name[DMCnerr + 1] = {"assert",   "memory", "system", "parameter",
                                                "resource", "data",   "input",  "warning",
                                                "info",     "trace",  "none"};
char dmessage_buf[DMESSAGE_BUFSIZ];
FILE* dmessage_logfp = nullptr;

static void default_abort() {
  std::abort();
}
static void default_exit(int status) {
  std::exit(status);
}

void (*dmessage_abort)() = default_abort;
void (*dmessage_exit)(int) = default_exit;
DMalertHook dmessage_alert = nullptr;
DMcallHook dmessage_call = nullptr;
const char* dmessage_record[DMCnerr];
char* dmessage_mine[DMCnerr];
const char* dmessage_file[DMCnerr];
int dmessage_line[DMCnerr];
uint32_t dmessage_class_done[DMCnerr];
unsigned dmessage_last_class = DMCnerr;

uint32_t dmessage(unsigned cls, const char* text, const char* file, int line) {
  return dmessage_errno(cls, errno, text, file, line);
}

uint32_t dmessage_errno(unsigned cls, int syserr, const char* text, const char* file, int line) {
  if (cls >= DMCnerr) return 0;
  const int callerErr = errno;
  errno = syserr;
  const uint32_t flags = dmessage_class_flags[cls];
  uint32_t pending = flags;
  if (text == nullptr || *text == '\0') text = "(missing message)";
  if (file != nullptr) {
    const char* slash = std::strrchr(file, '/');
    if (slash != nullptr) file = slash + 1;
    if (*file == '\0') file = nullptr;  // no file name left: the short line form
  }
  dmessage_file[cls] = file;
  dmessage_line[cls] = line;
  if (cls < dmessage_last_class) dmessage_last_class = cls;

  if (dmessage_call != nullptr) pending &= ~dmessage_call(cls, text, file, line);

  if (pending & DMArecord) {
    // Copy before freeing the previous copy: the text may be that very copy (a caller
    // reporting the class's last message again), so from here on only the new copy is used.
    char* copy = strdup(text);
    if (copy != nullptr) {
      std::free(dmessage_mine[cls]);
      dmessage_mine[cls] = copy;
      dmessage_record[cls] = copy;
      text = copy;
    } else if (text != dmessage_mine[cls]) {
      dmessage_record[cls] = text;
    }
    pending &= ~DMArecord;
  }
  // The log and standard error get one line per message, a name in it shown apart from every
  // other name (support/bytetext.h): a name holding a line feed makes no line of its own.
  std::string oneLine;
  const char* logged = text;
  if ((pending & (DMAlog | DMAstderr)) && !ShownAsIs(text, kShownLine)) {
    oneLine = ShownLine(text);
    logged = oneLine.c_str();
  }
  if ((pending & DMAlog) && dmessage_logfp != nullptr) {
    if (file != nullptr)
      std::fprintf(dmessage_logfp, "%s@%d>%s: %s\n", file, line, dmessage_class_name[cls], logged);
    else
      std::fprintf(dmessage_logfp, "%s: %s\n", dmessage_class_name[cls], logged);
    if (std::fflush(dmessage_logfp) == 0) pending &= ~DMAlog;
  }
  if (pending & DMAstderr) {
    if (file != nullptr)
      std::fprintf(stderr, "%s@%d>%s: %s", file, line, dmessage_class_name[cls], logged);
    else
      std::fprintf(stderr, "%s: %s", dmessage_class_name[cls], logged);
    if (DMtellsSystemError(cls) && syserr != 0)
      std::fprintf(stderr, ": %s\n", std::strerror(syserr));
    else
      std::fputc('\n', stderr);
    if (std::fflush(stderr) == 0) pending &= ~DMAstderr;
  }
  if ((pending & DMAalert) && dmessage_alert != nullptr) {
    if (dmessage_alert(text) != 0) pending &= ~DMAalert;
  }
  if ((pending & DMAabort) && dmessage_abort != nullptr) {
    pending &= ~DMAabort;
    dmessage_abort();
  }
  if ((pending & DMAexit) && dmessage_exit != nullptr) {
    pending &= ~DMAexit;
    dmessage_exit(1);
  }
  const uint32_t done = flags & ~pending;
  dmessage_class_done[cls] = done;
  errno = callerErr;
  return done;
}

namespace {

// Formats aside first, so an argument that points into dmessage_buf (such as a message being
// passed on) is read whole before the buffer is overwritten.
uint32_t Vreport(unsigned cls, int syserr, const char* file, int line, const char* fmt,
                 va_list ap) {
  char text[DMESSAGE_BUFSIZ];
  Cvsnprintf(text, sizeof text, fmt, ap);
  std::memcpy(dmessage_buf, text, std::strlen(text) + 1);
  return dmessage_errno(cls, syserr, dmessage_buf, file, line);
}

}  // namespace

uint32_t dmessagef(unsigned cls, const char* file, int line, const char* fmt, ...) {
  const int syserr = errno;  // before formatting can change it
  va_list ap;
  va_start(ap, fmt);
  const uint32_t done = Vreport(cls, syserr, file, line, fmt, ap);
  va_end(ap);
  return done;
}

uint32_t dmessagef_errno(unsigned cls, int syserr, const char* file, int line, const char* fmt,
                         ...) {
  va_list ap;
  va_start(ap, fmt);
  const uint32_t done = Vreport(cls, syserr, file, line, fmt, ap);
  va_end(ap);
  return done;
}
