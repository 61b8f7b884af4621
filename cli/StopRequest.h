// Ctrl+C and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and closing the console) only ask the
// running command to stop: it ends after the card in hand, logs the programmer out and
// closes it. The handlers do nothing but set the flag.
#pragma once

#include <atomic>

namespace kp {

const std::atomic<bool>& InstallStopHandlers();

}  // namespace kp
