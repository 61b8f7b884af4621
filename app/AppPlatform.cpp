#include "app/AppPlatform.h"

#include "platform/system/SystemPlatform.h"

#include <memory>

kp::UsbPlatform& ApplicationPlatform() {
  static const std::unique_ptr<kp::UsbPlatform> platform = kp::MakeSystemPlatform();
  return *platform;
}
