// Where the programs look for programmers, chosen in one place for the window and kpnox-cli.
#pragma once

#include "platform/UsbPlatform.h"

#include <memory>
#include <string>

namespace kp {

// One list, a real programmer first: on Windows the real WinUSB devices and kpr50-sim's
// programmers over TCP on 127.0.0.1; on Linux the real devices (libusb) and kpr50-sim's
// programmers on its sockets and over TCP; elsewhere none.
std::unique_ptr<UsbPlatform> MakeSystemPlatform();

// For a trace's header: the backends MakeSystemPlatform chooses and where each looks, e.g.
// "libusb; kpr50-sim over AF_UNIX in /run/user/1000/kpr50-sim; kpr50-sim over TCP on
// 127.0.0.1, announced in /run/user/1000/kpr50-sim-tcp".
std::string SystemBackendsText();

// For a trace's header: the system as uname names it ("Linux 6.1.0-18-amd64 #1 SMP ...
// x86_64"), or the Windows version and build (and Wine's version under Wine).
std::string SystemText();

}  // namespace kp
