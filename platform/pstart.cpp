// Starting the platform.
#include "platform/pstart.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<QApplication> made;

// Qt's notes while its platform starts, held back: a platform that cannot start is told in the
// program's own words; one that starts has them passed on as they came.
struct Note {
  QtMsgType type;
  std::string file, function, category;
  int line;
  QString text;
};
std::vector<Note>* held = nullptr;
QtMessageHandler before = nullptr;
const char* programName = "";

void Say(const char* why, const char* then = "") {
  fprintf(stderr, "%s: cannot open a display (%s)%s\n", programName, why, then);
  fflush(stderr);
}

void WhileStarting(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  if (type != QtFatalMsg) {
    held->push_back({type, ctx.file ? ctx.file : "", ctx.function ? ctx.function : "",
                     ctx.category ? ctx.category : "", ctx.line, msg});
    return;
  }
  // No platform could start; Qt would abort after this. The platform's last note says why
  // ("could not connect to display :1").
  std::string why = "no platform plug-in could start";
  for (auto n = held->rbegin(); n != held->rend(); ++n)
    if (n->category.rfind("qt.qpa", 0) == 0 && n->type != QtDebugMsg && n->type != QtInfoMsg) {
      why = n->text.trimmed().toStdString();
      break;
    }
  Say(why.c_str());
  std::_Exit(1);
}

// The platform the command line or the environment names; empty when neither does.
std::string NamedPlatform(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-platform") == 0 || strcmp(argv[i], "--platform") == 0) return argv[i + 1];
  const char* env = getenv("QT_QPA_PLATFORM");
  return env != nullptr ? env : "";
}

bool Set(const char* name) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0';
}

}  // namespace

bool PstartPlatform(int& argc, char** argv, const char* program, const char* appName,
                    const char* desktopName) {
  programName = program;
  if (QCoreApplication::instance() == nullptr) {
    if (NamedPlatform(argc, argv).empty() && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
      Say("neither DISPLAY nor WAYLAND_DISPLAY is set",
          ": run it from a desktop session, or over ssh -X from one");
      return false;
    }
    std::vector<Note> notes;
    held = &notes;
    before = qInstallMessageHandler(WhileStarting);
    made.reset(new QApplication(argc, argv));
    qInstallMessageHandler(before);
    held = nullptr;
    for (const Note& n : notes) {
      const QMessageLogContext ctx(n.file.empty() ? nullptr : n.file.c_str(), n.line,
                                   n.function.empty() ? nullptr : n.function.c_str(),
                                   n.category.empty() ? nullptr : n.category.c_str());
      qt_message_output(n.type, ctx, n.text);
    }
  }
  QApplication::setApplicationName(appName);
  QApplication::setDesktopFileName(desktopName);
  return true;
}

void PendPlatform() {
  made.reset();
}
