// Virtual programmers served by kpr50-sim over AF_UNIX SOCK_SEQPACKET sockets (Linux and other
// Unix systems). The device path is the socket's path; open is connect plus the server's
// hello; one message is one bulk transfer each way; the IN time-out is a poll on the socket.
// A device serves one client at a time, so a second open fails as on Windows. Socket files
// with no server behind them fail to open and are skipped by the link.
#pragma once

#include "platform/SimSocketProtocol.h"
#include "platform/UsbPlatform.h"

#include <map>
#include <string>
#include <vector>

namespace kp {

class SimSocketPlatform : public UsbPlatform {
 public:
  explicit SimSocketPlatform(std::string directory = simsock::SocketDirectory());
  ~SimSocketPlatform() override;
  SimSocketPlatform(const SimSocketPlatform&) = delete;
  SimSocketPlatform& operator=(const SimSocketPlatform&) = delete;

  const std::string& Directory() const { return directory_; }

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

 private:
  struct Connection {
    int fd = -1;
    simsock::Hello hello;
    std::map<uint8_t, uint32_t> pipeTimeouts;
    bool broken = false;  // the server closed or failed: every later transfer fails
  };

  Connection* ConnectionOf(WinUsbHandle handle);

  std::string directory_;
  std::map<DevInfoHandle, std::vector<std::string>> lists_;
  std::map<FileHandle, Connection> files_;
  std::map<WinUsbHandle, FileHandle> winUsb_;
  intptr_t nextHandle_ = 0x100;
};

}  // namespace kp
