#include "platform/NullPlatform.h"

namespace kp {

bool NullPlatform::WinUsb_WritePipe(WinUsbHandle, uint8_t, const uint8_t*, uint32_t, uint32_t*) {
  return false;
}

bool NullPlatform::WinUsb_ReadPipe(WinUsbHandle, uint8_t, uint8_t*, uint32_t, uint32_t*) {
  return false;
}

}  // namespace kp
