// Windows has no quit signals; a console's Ctrl+C, Ctrl+Break and close come to a handler on
// a thread of their own, which asks the event loop to quit as the signal pipe does on Unix.
#include "sim/process/QuitOnSignal.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

namespace kp {

namespace {

// How long a closing console waits for the clean-up; Windows ends the process after 5 s.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return FALSE;
  QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
  // Returning from a close, log-off or shut-down event ends the process at once: hold it
  // until the main thread has cleaned up and ended it.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(kCloseGraceMs);
  }
  return TRUE;
}

}  // namespace

bool QuitOnSignal(QObject*) {
  static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
  return installed;
}

}  // namespace kp
