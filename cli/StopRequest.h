// Ctrl+C and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and closing the console) only ask the
// running command to stop: it ends after the card in hand, logs the programmer out and
// closes it. The handlers do nothing but set the flag.
#pragma once

#include <atomic>

namespace kp {

const std::atomic<bool>& InstallStopHandlers();

// The command has ended and the programmer is logged out. Windows ends a process as soon as
// the handler of a closing console returns, so that handler waits for this (a few seconds
// at most, as long as Windows allows).
void StopHandled();

}  // namespace kp
