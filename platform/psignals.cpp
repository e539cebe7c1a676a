// The quit signals, noted by their handler through a pipe and acted on from the event loop.
#include "platform/psignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include <QCoreApplication>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QThread>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The pipe's ends; the handler reads only the writing end, set before it is installed.
int readEnd = -1;
volatile sig_atomic_t writeEnd = -1;
QPointer<QSocketNotifier> notifier;  // goes with the application
void (*callback)(int) = nullptr;

void Noted(int signo) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(signo);
  // A full pipe drops the byte: the signals already in it do the same work.
  if (writeEnd >= 0) {
    const ssize_t n = write(writeEnd, &b, 1);
    (void)n;
  }
  errno = saved;
}

void Drain() {
  unsigned char buf[64];
  for (;;) {
    const ssize_t n = read(readEnd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; i++)
      if (callback != nullptr) callback(buf[i]);
  }
}

}  // namespace

bool WatchQuitSignals(void (*onSignal)(int signo)) {
  if (notifier != nullptr) {
    callback = onSignal;
    return true;
  }
  if (readEnd >= 0) StopQuitSignals();  // the application it went with has gone
  callback = onSignal;
  if (QCoreApplication::instance() == nullptr) return false;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  readEnd = fds[0];
  writeEnd = fds[1];
  notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [] { Drain(); });
  struct sigaction sa = {};
  sa.sa_handler = Noted;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  bool ok = true;
  for (int s : kSignals)
    if (sigaction(s, &sa, nullptr) != 0) ok = false;
  if (!ok) StopQuitSignals();
  return ok;
}

void StopQuitSignals() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals) sigaction(s, &sa, nullptr);
  delete notifier.data();
  const int w = writeEnd;
  writeEnd = -1;
  if (w >= 0) close(w);
  if (readEnd >= 0) close(readEnd);
  readEnd = -1;
  callback = nullptr;
}

namespace {

// Taken once, by the first broken-connection message: the quit path runs once.
std::atomic<int (*)()> displayLost{nullptr};
QtMessageHandler earlier = nullptr;

// The platform plugins' own words for a broken display connection, after which they end the
// process, as they say them: a plain message (no category) from the thread of the event loop.
bool DisplayBroke(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg) return false;
  if (ctx.category != nullptr && strcmp(ctx.category, "default") != 0) return false;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() != app->thread()) return false;
  // Built anew for a message that could be one, so that only constant data is kept.
  if (!msg.startsWith(QLatin1String("The "))) return false;
  const QRegularExpression words(
      QStringLiteral("^(The X11 connection broke \\(error \\d+\\)\\. Did the X11 server die\\?"
                     "|The X11 connection broke: .+ \\(code \\d+\\)"
                     "|The Wayland connection broke\\. Did the Wayland compositor die\\?"
                     "|The Wayland connection experienced a fatal error: .+)$"));
  return words.match(msg).hasMatch();
}

void OnMessage(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  if (DisplayBroke(type, ctx, msg)) {
    // What the quit path does may report the same again: it goes on to the earlier handler.
    if (int (*const lost)() = displayLost.exchange(nullptr)) {
      fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
      const int status = lost();
      fflush(nullptr);
      // Nothing more runs: the platform's own teardown would reach for the display.
      _exit(status);
    }
  }
  if (earlier != nullptr)
    earlier(type, ctx, msg);
  else
    fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
}

}  // namespace

void WatchDisplayLoss(int (*onLost)()) {
  if (onLost != nullptr) {
    QtMessageHandler before = qInstallMessageHandler(OnMessage);
    if (before != OnMessage) earlier = before;
  }
  displayLost = onLost;
}

const char* QuitSignalName(int signo) {
  switch (signo) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGINT:
      return "SIGINT";
    default:
      return "signal";
  }
}
