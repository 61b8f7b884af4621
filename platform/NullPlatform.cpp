#include "platform/NullPlatform.h"

#include <chrono>
#include <thread>

namespace kp {

namespace {
// The one list there is to hand out; it never has a member.
constexpr DevInfoHandle kEmptyList = 1;
}  // namespace

DevInfoHandle NullPlatform::SetupDiGetClassDevsA(const Guid&) { return kEmptyList; }

bool NullPlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle, const Guid&, uint32_t,
                                               DeviceInterfaceData*) {
  return false;
}

bool NullPlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle, const DeviceInterfaceData&,
                                                    char*, uint32_t, uint32_t*) {
  return false;
}

bool NullPlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) { return list == kEmptyList; }

FileHandle NullPlatform::CreateFileA(const char*) { return kInvalidHandle; }

bool NullPlatform::CloseHandle(FileHandle) { return false; }

bool NullPlatform::WinUsb_Initialize(FileHandle, WinUsbHandle*) { return false; }

bool NullPlatform::WinUsb_Free(WinUsbHandle) { return false; }

bool NullPlatform::WinUsb_GetDescriptor(WinUsbHandle, uint8_t, uint8_t, uint16_t, uint8_t*,
                                        uint32_t, uint32_t*) {
  return false;
}

bool NullPlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle, uint8_t, InterfaceDescriptor*) {
  return false;
}

bool NullPlatform::WinUsb_QueryPipe(WinUsbHandle, uint8_t, uint8_t, PipeInformation*) {
  return false;
}

bool NullPlatform::WinUsb_SetPipePolicy(WinUsbHandle, uint8_t, uint32_t, uint32_t, const void*) {
  return false;
}

bool NullPlatform::WinUsb_WritePipe(WinUsbHandle, uint8_t, const uint8_t*, uint32_t, uint32_t*) {
  return false;
}

bool NullPlatform::WinUsb_ReadPipe(WinUsbHandle, uint8_t, uint8_t*, uint32_t, uint32_t*) {
  return false;
}

void NullPlatform::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kp
