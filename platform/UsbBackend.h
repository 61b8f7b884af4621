// What every backend that keeps handles of its own shares: device lists of paths, file and
// WinUSB handle tables, pipe time-outs, the descriptors and interface settings a device gave
// at the open, and a Sleep in real time. A backend says only what differs: which devices a
// list holds, how a path opens (filling in what the device gave), when an open device refuses,
// and its transfers. Handles are numbers never handed out twice. A WinUSB handle outlives its
// file, as on Windows: it answers nothing after the close, and is still to be freed.
#pragma once

#include "platform/Descriptors.h"
#include "platform/UsbPlatform.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kp {

class UsbBackend : public UsbPlatform {
 public:
  UsbBackend();
  ~UsbBackend() override;
  UsbBackend(const UsbBackend&) = delete;
  UsbBackend& operator=(const UsbBackend&) = delete;

  DevInfoHandle SetupDiGetClassDevsA(const Guid& interfaceClass) override;
  // Members are numbered in the order ListDevices gave the paths.
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
  // The device descriptor, and the serial-number string in any language, from what the
  // device gave at the open; any other descriptor from ReadDescriptor.
  bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
                            uint8_t* buffer, uint32_t length, uint32_t* transferred) override;
  // From the interface settings the device described when it was opened.
  bool WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                     InterfaceDescriptor* descriptor) override;
  bool WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
                        PipeInformation* pipe) override;
  // Only kPipeTransferTimeout, 4 bytes, on a pipe the device accepts (MayTakePipePolicy).
  bool WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                            uint32_t valueLength, const void* value) override;
  // Real time.
  void Sleep(uint32_t milliseconds) override;

 protected:
  // One alternate setting of the interface the link talks to.
  struct AltSetting {
    InterfaceDescriptor descriptor;
    std::vector<PipeInformation> pipes;
  };
  // What a file handle stands for; each backend keeps its own kind.
  struct OpenFile {
    virtual ~OpenFile();
    // The IN time-out set on a pipe, 0 when none was set (WinUSB then waits without limit).
    uint32_t PipeTimeout(uint8_t pipeId) const;
    // A pipe of alternate setting 0, the only one ever selected; nullptr if there is none.
    const PipeInformation* Pipe(uint8_t pipeId) const;
    std::map<uint8_t, uint32_t> pipeTimeouts;
    std::vector<AltSetting> altSettings;  // as the device described them at the open
    std::array<uint8_t, kDeviceDescriptorLength> deviceDescriptor{};
    std::optional<std::vector<uint8_t>> serialDescriptor;  // none: the device has no serial
  };

  // The paths of the present devices of a class, in list order; nothing when no list can be
  // made.
  virtual std::optional<std::vector<std::string>> ListDevices(const Guid& interfaceClass) = 0;
  // Opens a path; nullptr when it cannot be opened.
  virtual std::unique_ptr<OpenFile> Open(const std::string& path) = 0;
  // Called as a file handle goes, before the open device is destroyed.
  virtual void Closing(OpenFile& /*file*/) {}
  virtual bool MayInitialize(OpenFile& /*file*/) { return true; }
  // A descriptor the device did not give at the open; none by default.
  virtual bool ReadDescriptor(OpenFile& /*file*/, uint8_t /*type*/, uint8_t /*index*/,
                              uint16_t /*languageId*/, uint8_t* /*buffer*/, uint32_t /*length*/,
                              uint32_t* /*transferred*/) {
    return false;
  }
  // Whether the device answers for its interface settings and pipes now.
  virtual bool Describes(OpenFile& /*file*/) { return true; }
  virtual bool MayTakePipePolicy(OpenFile& /*file*/, uint8_t /*pipeId*/) { return true; }

  OpenFile* FileOf(FileHandle file) const;
  OpenFile* FileOfWinUsb(WinUsbHandle handle) const;
  template <class File>
  File* FileOfWinUsb(WinUsbHandle handle) const {
    return static_cast<File*>(FileOfWinUsb(handle));
  }
  // Every open device, by its file handle.
  const std::map<FileHandle, std::unique_ptr<OpenFile>>& Files() const { return files_; }
  void CloseAll();
  // Lists, files and WinUSB handles not yet released.
  size_t HandleCount() const { return lists_.size() + files_.size() + winUsb_.size(); }

  // Answers a descriptor read from bytes the backend holds: at most `length` of them.
  static bool CopyDescriptor(std::span<const uint8_t> known, uint8_t* buffer, uint32_t length,
                             uint32_t* transferred);
  // Alternate setting 0 of a vendor-specific interface 0 with these pipes.
  static AltSetting OneSetting(std::vector<PipeInformation> pipes);

 private:
  std::map<DevInfoHandle, std::vector<std::string>> lists_;
  std::map<FileHandle, std::unique_ptr<OpenFile>> files_;
  std::map<WinUsbHandle, FileHandle> winUsb_;
  intptr_t nextHandle_ = 0x100;
};

}  // namespace kp
