#include "cli/StopRequest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace kp {

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<bool> commandEnded{false};
std::atomic<int> stopExitCode{0};  // of the first request
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports it
constexpr int kExitTerminated = 143;   // 128 + SIGTERM
constexpr int kExitHangUp = 129;       // 128 + SIGHUP

void NoteRequest(int exitCode) {
  int none = 0;
  stopExitCode.compare_exchange_strong(none, exitCode);
  stopRequested = true;
}

#ifdef _WIN32
// Windows gives a closing console's handler about five seconds.
constexpr int kCloseWaitSteps = 90;
constexpr DWORD kCloseWaitStepMs = 50;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool closing =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  NoteRequest(closing ? kExitTerminated : kExitInterrupted);
  if (closing) {
    for (int i = 0; i < kCloseWaitSteps && !commandEnded; ++i) Sleep(kCloseWaitStepMs);
  }
  return TRUE;
}
#else
void OnSignal(int signal) {
  NoteRequest(signal == SIGINT   ? kExitInterrupted
              : signal == SIGHUP ? kExitHangUp
                                 : kExitTerminated);
}
#endif

}  // namespace

const std::atomic<bool>& InstallStopHandlers() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read of the terminal returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
#endif
  return stopRequested;
}

int StopExitCode() { return stopExitCode; }

void StopHandled() { commandEnded = true; }

}  // namespace kp
