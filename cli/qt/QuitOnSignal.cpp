#include "cli/qt/QuitOnSignal.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kp {

namespace {

int signalPipe[2] = {-1, -1};

// The handler may do nothing but write: the event loop does the rest.
extern "C" void OnQuitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool CallOnQuitSignal(QObject* context, std::function<void()> onQuit) {
  if (signalPipe[0] >= 0) return false;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
    return false;
  }
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [onQuit = std::move(onQuit)] {
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    onQuit();
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(signal, &action, nullptr) != 0) return false;
  }
  return true;
}

}  // namespace kp
