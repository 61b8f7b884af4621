#include "platform/system/SystemPlatform.h"

#if defined(_WIN32)
#include "platform/CompositePlatform.h"
#include "platform/simclient/SimTcpPlatform.h"
#include "platform/usb/WinUsbPlatform.h"
#elif defined(__unix__)
#include "platform/CompositePlatform.h"
#include "platform/simclient/SimSocketPlatform.h"
#include "platform/simclient/SimTcpPlatform.h"
#if KP_HAVE_LIBUSB_PLATFORM
#include "platform/usb/LibusbPlatform.h"
#endif
#else
#include "platform/NullPlatform.h"
#endif

namespace kp {

std::unique_ptr<UsbPlatform> MakeSystemPlatform() {
#if defined(_WIN32)
  auto composite = std::make_unique<CompositePlatform>();
  composite->Add(std::make_unique<WinUsbPlatform>());
  composite->Add(std::make_unique<SimTcpPlatform>());
  return composite;
#elif defined(__unix__)
  auto composite = std::make_unique<CompositePlatform>();
#if KP_HAVE_LIBUSB_PLATFORM
  composite->Add(std::make_unique<LibusbPlatform>());
#endif
  composite->Add(std::make_unique<SimSocketPlatform>());
  composite->Add(std::make_unique<SimTcpPlatform>());
  return composite;
#else
  return std::make_unique<NullPlatform>();
#endif
}

}  // namespace kp
