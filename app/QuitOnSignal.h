// Closes the main window on SIGINT, SIGTERM and SIGHUP, as the operator's close would: the
// window drops its connection on the way out and the message loop ends with the last window.
// Without it a stop request from outside (a session ending, a service manager, a script)
// ends the process with the programmer still open.
#pragma once

class QWidget;

// Call once, after the window exists; the window owns the pipe's notifier. From the first
// signal on, every modal window is closed as it comes up, and the main window once none is
// up. False on a second call, and when the pipe or the handlers cannot be set up. Unix only.
bool CloseOnQuitSignal(QWidget* window);
