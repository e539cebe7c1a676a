// Starting other programs through QProcess, with argument lists only.
#include "platform/plaunch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "platform/ppriv.h"
#include "support/bytetext.h"

namespace {

const char kOpener[] = "xdg-open";

QString Text(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool Passable(const std::string& s) {
  return s.find('\0') == std::string::npos && plat::ValidUTF8(s.data(), s.size());
}

// The process set up to run, or false when the program or an argument cannot be given as it is.
bool Prepare(const std::string& program, const std::vector<std::string>& args, QProcess* p) {
  if (program.empty() || !Passable(program)) return false;
  QStringList list;
  list.reserve(static_cast<qsizetype>(args.size()));
  for (const std::string& a : args) {
    if (!Passable(a)) return false;
    list.push_back(Text(a));
  }
  p->setProgram(Text(program));
  p->setArguments(list);
  p->setStandardInputFile(QProcess::nullDevice());
  return true;
}

// The program started with the standard channels passed on, or null when it could not be.
QProcess* Start(const std::string& program, const std::vector<std::string>& args) {
  auto* p = new QProcess;
  if (!Prepare(program, args, p)) {
    delete p;
    return nullptr;
  }
  p->setProcessChannelMode(QProcess::ForwardedChannels);
  p->start();
  if (!p->waitForStarted()) {
    delete p;
    return nullptr;
  }
  return p;
}

// What an ended program gives back: its exit code, or kLaunchCrashed.
int Result(int code, QProcess::ExitStatus status) {
  return status == QProcess::CrashExit ? kLaunchCrashed : code;
}

// A file argument that cannot be taken for an option.
std::string FileArgument(const std::string& path) {
  return !path.empty() && path[0] == '-' ? "./" + path : path;
}

// The opener's argument for an item: non-UTF-8 absolute paths as file URLs.
std::string OpenerArgument(const std::string& item) {
  if (!item.empty() && item[0] == '/' && item.find('\0') == std::string::npos &&
      !plat::ValidUTF8(item.data(), item.size()))
    return FileUri(item);
  return FileArgument(item);
}

}  // namespace

bool LaunchDetached(const std::string& program, const std::vector<std::string>& args) {
  QProcess p;
  return Prepare(program, args, &p) && p.startDetached();
}

int LaunchAndWait(const std::string& program, const std::vector<std::string>& args,
                  double timeoutSeconds) {
  QProcess* p = Start(program, args);
  if (p == nullptr) return kLaunchFailed;
  const double limit = std::isfinite(timeoutSeconds) ? std::max(0.0, timeoutSeconds) : 0.0;
  const int ms = static_cast<int>(std::min(limit * 1000.0, 2.0e9));
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr) {
    // The end of the process arrives through the loop, so it cannot slip by before exec.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(p, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    if (p->state() != QProcess::NotRunning) loop.exec(QEventLoop::ExcludeUserInputEvents);
  } else {
    p->waitForFinished(ms);
  }
  if (p->state() != QProcess::NotRunning) {
    // Given up on, not killed: the object goes when the program ends (at exit without a loop).
    if (app != nullptr) {
      p->setParent(app);
      QObject::connect(p, &QProcess::finished, p, &QObject::deleteLater);
    }
    return kLaunchTimedOut;
  }
  const int result = Result(p->exitCode(), p->exitStatus());
  delete p;
  return result;
}

bool OpenWithDesktop(const std::string& pathOrUrl) {
  return !pathOrUrl.empty() && LaunchDetached(kOpener, {OpenerArgument(pathOrUrl)});
}

bool OpenWithDesktopWatched(const std::string& pathOrUrl, std::function<void(int result)> failed) {
  if (pathOrUrl.empty()) return false;
  if (QCoreApplication::instance() == nullptr) return OpenWithDesktop(pathOrUrl);
  // The openers still running: kept (never destroyed, so never killed) until they end.
  static auto* running = new std::vector<QProcess*>;
  QProcess* p = Start(kOpener, {OpenerArgument(pathOrUrl)});
  if (p == nullptr) return false;
  running->push_back(p);
  QObject::connect(p, &QProcess::finished, p,
                   [p, failed = std::move(failed)](int code, QProcess::ExitStatus status) {
                     running->erase(std::remove(running->begin(), running->end(), p),
                                    running->end());
                     p->deleteLater();
                     const int result = Result(code, status);
                     if (result != 0 && failed) failed(result);
                   });
  return true;
}

int OpenWithDesktopAndWait(const std::string& pathOrUrl, double timeoutSeconds) {
  if (pathOrUrl.empty()) return kLaunchFailed;
  return LaunchAndWait(kOpener, {OpenerArgument(pathOrUrl)}, timeoutSeconds);
}

bool OpenWithProgram(const std::string& program, const std::vector<std::string>& paths) {
  std::vector<std::string> args;
  args.reserve(paths.size());
  for (const std::string& p : paths) args.push_back(FileArgument(p));
  return LaunchDetached(program, args);
}
