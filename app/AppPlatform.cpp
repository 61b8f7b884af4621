#include "AppPlatform.h"

#include "NullPlatform.h"

kp::UsbPlatform& ApplicationPlatform() {
  static kp::NullPlatform platform;
  return platform;
}
