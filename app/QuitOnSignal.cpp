#include "app/QuitOnSignal.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A modal window still up is looked at again after this long.
constexpr int kModalRecheckMs = 10;

int signalPipe[2] = {-1, -1};

// The handler may do nothing but write: the message loop does the rest.
extern "C" void OnQuitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(signalPipe[1], &byte, 1);
  errno = saved;
}

// A dialog's own loop runs below the main window's close; closing the dialog first lets the
// action under it end the way it ends when the operator closes the dialog. The action may
// open another box on its way out, so the check goes on until the window is gone.
void CloseInTurn(QTimer* timer, const QPointer<QWidget>& window) {
  if (window.isNull()) return;
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && modal != window.data()) {
    modal->close();
    return;
  }
  if (window->isVisible()) window->close();
  if (!window->isVisible()) timer->stop();
}

}  // namespace

bool CloseOnQuitSignals(QWidget* window) {
  if (window == nullptr || signalPipe[0] >= 0) return false;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
    return false;
  }
  auto* timer = new QTimer(window);
  timer->setInterval(kModalRecheckMs);
  const QPointer<QWidget> target(window);
  QObject::connect(timer, &QTimer::timeout, window,
                   [timer, target] { CloseInTurn(timer, target); });
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [timer, target] {
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    timer->start();
    CloseInTurn(timer, target);
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
