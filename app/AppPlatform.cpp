#include "AppPlatform.h"

#include "platform/SystemPlatform.h"

#include <memory>

kp::UsbPlatform& ApplicationPlatform() {
  static const std::unique_ptr<kp::UsbPlatform> platform = kp::MakeSystemPlatform();
  return *platform;
}
