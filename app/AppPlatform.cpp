#include "AppPlatform.h"

#include <memory>

#if defined(_WIN32)
#include "platform/CompositePlatform.h"
#include "platform/SimTcpPlatform.h"
#include "platform/WinUsbPlatform.h"
#elif defined(__unix__)
#include "platform/CompositePlatform.h"
#include "platform/SimSocketPlatform.h"
#include "platform/SimTcpPlatform.h"
#if KP_HAVE_LIBUSB_PLATFORM
#include "platform/LibusbPlatform.h"
#endif
#else
#include "NullPlatform.h"
#endif

namespace {

// Where programmers are looked for, as one list, a real programmer first: on Windows the real
// WinUSB devices and kpr50-sim's programmers over TCP on 127.0.0.1; on Linux the real devices
// and kpr50-sim's programmers on its sockets and over TCP.
std::unique_ptr<kp::UsbPlatform> MakePlatform() {
#if defined(_WIN32)
  auto composite = std::make_unique<kp::CompositePlatform>();
  composite->Add(std::make_unique<kp::WinUsbPlatform>());
  composite->Add(std::make_unique<kp::SimTcpPlatform>());
  return composite;
#elif defined(__unix__)
  auto composite = std::make_unique<kp::CompositePlatform>();
#if KP_HAVE_LIBUSB_PLATFORM
  composite->Add(std::make_unique<kp::LibusbPlatform>());
#endif
  composite->Add(std::make_unique<kp::SimSocketPlatform>());
  composite->Add(std::make_unique<kp::SimTcpPlatform>());
  return composite;
#else
  return std::make_unique<kp::NullPlatform>();
#endif
}

}  // namespace

kp::UsbPlatform& ApplicationPlatform() {
  static const std::unique_ptr<kp::UsbPlatform> platform = MakePlatform();
  return *platform;
}
