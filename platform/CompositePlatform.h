// Several backends seen as one platform: their device lists are joined in the order the
// backends were added, and every handle is routed back to the backend that made it.
#pragma once

#include "platform/UsbPlatform.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kp {

class CompositePlatform : public UsbPlatform {
 public:
  CompositePlatform();
  ~CompositePlatform() override;
  CompositePlatform(const CompositePlatform&) = delete;
  CompositePlatform& operator=(const CompositePlatform&) = delete;

  // The first backend added also serves Sleep.
  void Add(std::unique_ptr<UsbPlatform> backend);
  size_t BackendCount() const { return backends_.size(); }

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
  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;
  void Sleep(uint32_t milliseconds) override;
  // Every backend's, in the order the backends were added.
  std::vector<UnreachableDevice> UnreachableDevices() const override;

 private:
  struct Routed {
    size_t backend = 0;
    intptr_t handle = kInvalidHandle;
  };
  struct Member {
    size_t backend = 0;
    DeviceInterfaceData data;
  };
  struct List {
    std::vector<DevInfoHandle> backendLists;  // one per backend, kInvalidHandle if refused
    std::vector<Member> members;
  };

  bool Find(const std::map<intptr_t, Routed>& table, intptr_t handle, Routed* routed) const;

  std::vector<std::unique_ptr<UsbPlatform>> backends_;
  std::map<DevInfoHandle, List> lists_;
  std::map<std::string, size_t> pathOwners_;  // where each path came from
  std::map<intptr_t, Routed> files_;
  std::map<intptr_t, Routed> winUsb_;
  intptr_t nextHandle_ = 0x100;
};

}  // namespace kp
