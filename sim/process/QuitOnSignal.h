// Ends the Qt event loop on SIGINT, SIGTERM and SIGHUP, so that kpr50-sim leaves the normal
// way and its servers remove their socket files. The handler only writes a byte to a pipe;
// the event loop reads it and quits.
#pragma once

class QObject;

namespace kp {

// Call once, after the application object exists; `context` owns the pipe's notifier.
// False when the pipe or the handlers cannot be set up.
bool QuitOnSignal(QObject* context);

}  // namespace kp
