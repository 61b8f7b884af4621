// SIGINT, SIGTERM and SIGHUP turned into a call on the Qt event loop, for the programs with a
// window. The handler only writes a byte to a pipe; the event loop reads it and calls back, so
// the call may do anything the program does elsewhere. Unix only.
#pragma once

#include <functional>

class QObject;

namespace kp {

// Call once, after the application object exists; `context` owns the pipe's notifier and
// `onQuit` runs on its thread at every signal. False on a second call, and when the pipe or
// the handlers cannot be set up.
bool CallOnQuitSignal(QObject* context, std::function<void()> onQuit);

}  // namespace kp
