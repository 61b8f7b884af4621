// A platform with no USB devices at all, whose Sleep really sleeps: what a program runs on
// where no backend stands behind it.
#pragma once

#include "platform/UsbPlatform.h"

namespace kp {

class NullPlatform : public UsbPlatform {
 public:
  // Every list is empty; everything else fails, as for a device that has gone.
  DevInfoHandle SetupDiGetClassDevsA(const Guid& interfaceClass) override;
  bool SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass, uint32_t index,
                                   DeviceInterfaceData* data) override;
  bool SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list, const DeviceInterfaceData& data,
                                        char* path, uint32_t pathSize,
                                        uint32_t* requiredSize) override;
  bool SetupDiDestroyDeviceInfoList(DevInfoHandle list) override;
  FileHandle CreateFileA(const char* path) override;
  bool CloseHandle(FileHandle file) override;
  bool WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) override;
  bool WinUsb_Free(WinUsbHandle handle) override;
  bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
                            uint8_t* buffer, uint32_t length, uint32_t* transferred) override;
  bool WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                     InterfaceDescriptor* descriptor) override;
  bool WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
                        PipeInformation* pipe) override;
  bool WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                            uint32_t valueLength, const void* value) override;
  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                        uint32_t length, uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;
  void Sleep(uint32_t milliseconds) override;
};

}  // namespace kp
