// Where the programs look for programmers, chosen in one place for the window and kpnox-cli.
#pragma once

#include "platform/UsbPlatform.h"

#include <memory>

namespace kp {

// One list, a real programmer first: on Windows the real WinUSB devices and kpr50-sim's
// programmers over TCP on 127.0.0.1; on Linux the real devices (libusb) and kpr50-sim's
// programmers on its sockets and over TCP; elsewhere none.
std::unique_ptr<UsbPlatform> MakeSystemPlatform();

}  // namespace kp
