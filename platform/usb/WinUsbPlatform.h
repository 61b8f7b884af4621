// The real Windows backend of the seam: SetupAPI, CreateFileA/CloseHandle, WinUSB and Sleep,
// one call each, nothing added. The seam's records are mapped to the Windows ones here, at
// the edge; no Windows header leaks out of this backend.
#pragma once

#include "platform/UsbPlatform.h"

namespace kp {

class WinUsbPlatform final : public UsbPlatform {
 public:
  // The list handle is the HDEVINFO itself.
  DevInfoHandle SetupDiGetClassDevsA(const Guid& interfaceClass) override;
  // `data->reserved` carries the member's own Reserved field, so the member can be handed
  // back to SetupAPI exactly as SetupAPI gave it.
  bool SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass, uint32_t index,
                                   DeviceInterfaceData* data) override;
  // SetupAPI sizes the whole detail record; the seam sizes only the path, with its zero.
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
  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;
  void Sleep(uint32_t milliseconds) override;
};

}  // namespace kp
