#include "AppPlatform.h"

#include <memory>

#if defined(_WIN32)
#include "platform/WinUsbPlatform.h"
#elif defined(__unix__)
#include "platform/CompositePlatform.h"
#include "platform/SimSocketPlatform.h"
#if KP_HAVE_LIBUSB_PLATFORM
#include "platform/LibusbPlatform.h"
#endif
#else
#include "NullPlatform.h"
#endif

namespace {

// Where programmers are looked for: on Windows the real WinUSB devices; on Linux the real
// devices and the virtual programmers of kpr50-sim, as one list.
std::unique_ptr<kp::UsbPlatform> MakePlatform() {
#if defined(_WIN32)
  return std::make_unique<kp::WinUsbPlatform>();
#elif defined(__unix__)
  auto composite = std::make_unique<kp::CompositePlatform>();
#if KP_HAVE_LIBUSB_PLATFORM
  composite->Add(std::make_unique<kp::LibusbPlatform>());  // a real programmer is listed first
#endif
  composite->Add(std::make_unique<kp::SimSocketPlatform>());
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
