// Ctrl+C and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and closing the console) only ask the
// running command to stop: it ends after the card in hand, logs the programmer out and
// closes it. The handlers do nothing but set the flag and note which request came first.
#pragma once

#include <atomic>

namespace kp {

const std::atomic<bool>& InstallStopHandlers();

// The exit code that tells a caller how the command was stopped, as a shell tells a killed
// one: 130 for Ctrl+C (SIGINT; on Windows also Ctrl+Break), 143 for SIGTERM (on Windows the
// console closing, a logoff or a shutdown), 129 for SIGHUP; 0 when no stop was requested.
int StopExitCode();

// The command has ended and the programmer is logged out. Windows ends a process as soon as
// the handler of a closing console returns, so that handler waits for this (a few seconds
// at most, as long as Windows allows).
void StopHandled();

}  // namespace kp
