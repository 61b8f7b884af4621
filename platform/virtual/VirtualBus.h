// In-process USB bus for tests: virtual devices that a test plugs and unplugs, exclusive
// open as on Windows, a virtual clock, scripted or programmed replies, and fault injection
// per transfer. Nothing here waits in real time: a read that finds nothing advances the
// clock by the pipe's time-out and fails at once; Sleep advances the clock.
#pragma once

#include "platform/UsbBackend.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kp {

// One IN transfer that a device offers, `delayMs` after the moment it was queued.
struct InTransfer {
  std::vector<uint8_t> bytes;
  uint64_t delayMs = 0;
};

// What a device does with one OUT transfer: the IN transfers it answers with (none, one or
// several, each possibly late).
using Firmware = std::function<std::vector<InTransfer>(std::span<const uint8_t> out)>;

struct VirtualDeviceConfig {
  Guid interfaceClass{};  // the device-interface class it is listed under
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x0001;
  uint8_t iSerialNumber = 3;  // 0: the device has no serial-number string
  std::u16string serialNumber = u"1A2B";
  std::vector<PipeInformation> pipes = {
      {PipeType::Bulk, 0x81, 64, 0},
      {PipeType::Bulk, 0x02, 64, 0},
  };
  // Refusals of single platform operations, to test the paths that skip a device.
  bool createFileFails = false;
  bool initializeFails = false;
  bool deviceDescriptorFails = false;
  bool stringDescriptorFails = false;
  bool interfaceSettingsFails = false;
  bool setPipePolicyFails = false;
};

enum class Fault {
  WriteFails,  // the write reports failure; the device sees nothing
  ShortWrite,  // the write reports one byte fewer than asked; the device sees nothing
  ReadFails,   // the read reports failure at once, whatever is queued
  Vanish,      // the device is unplugged just before this transfer, which then fails
};

// One transfer as the bus saw it, for assertions.
struct TransferRecord {
  bool out = false;            // true: host to device
  bool ok = false;             // what the platform call reported
  std::vector<uint8_t> bytes;  // written (as asked) or read
  uint64_t atMs = 0;           // virtual time when the transfer ended
};

class VirtualBus : public UsbBackend {
 public:
  using DeviceId = int;

  VirtualBus();
  ~VirtualBus() override;

  // Devices. Plug returns an id that stays unique for the life of the bus.
  DeviceId Plug(VirtualDeviceConfig config, Firmware firmware = {});
  void Unplug(DeviceId id);
  bool IsPlugged(DeviceId id) const;
  void SetFirmware(DeviceId id, Firmware firmware);

  // Offers an IN transfer without a request, `delayMs` from now.
  void QueueIn(DeviceId id, std::vector<uint8_t> bytes, uint64_t delayMs = 0);
  size_t PendingIn(DeviceId id) const;

  // Fault on the device's transfer number `transfer` (0 = the first read or write after Plug;
  // reads and writes share one count).
  void InjectFault(DeviceId id, uint64_t transfer, Fault fault);
  uint64_t TransferCount(DeviceId id) const;

  // Observation.
  const std::vector<TransferRecord>& Transfers(DeviceId id) const;
  std::vector<std::vector<uint8_t>> Written(DeviceId id) const;  // the OUT transfers only
  void ClearTransfers(DeviceId id);
  // Whether Transfers() keeps a copy of every transfer (on by default). A fuzzer that never
  // looks at them turns it off: the copies cost more than the rest of a transfer.
  void KeepTransfers(bool keep) { keepTransfers_ = keep; }
  bool IsOpen(DeviceId id) const;  // a file handle holds it
  // The time-out set on a pipe of the open device (0: none set, or not open).
  uint32_t PipeTimeout(DeviceId id, uint8_t pipeId) const;
  int SetPipePolicyCalls() const { return setPipePolicyCalls_; }
  int OpenHandles() const;  // lists, files and WinUSB handles not yet released

  // The virtual clock.
  uint64_t NowMs() const { return nowMs_; }
  void AdvanceMs(uint64_t ms) { nowMs_ += ms; }
  uint64_t SleptMs() const { return sleptMs_; }

  // The device path Link would open for a device.
  static std::string PathOf(DeviceId id);

  // UsbPlatform
  bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
                            uint8_t* buffer, uint32_t length, uint32_t* transferred) override;
  bool WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                     InterfaceDescriptor* descriptor) override;
  bool WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                            uint32_t valueLength, const void* value) override;
  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;
  void Sleep(uint32_t milliseconds) override;

 protected:
  std::optional<std::vector<std::string>> ListDevices(const Guid& interfaceClass) override;
  std::unique_ptr<OpenFile> Open(const std::string& path) override;
  void Closing(OpenFile& file) override;
  bool MayInitialize(OpenFile& file) override;
  bool Describes(OpenFile& file) override;
  bool MayTakePipePolicy(OpenFile& file, uint8_t pipeId) override;

 private:
  struct Device;
  struct Opened;  // a file handle's device
  struct Queued {
    std::vector<uint8_t> bytes;
    uint64_t readyAtMs;
  };

  Device* Find(DeviceId id);
  const Device* Find(DeviceId id) const;
  Device* DeviceOf(const OpenFile& file);
  Device* DeviceBehind(WinUsbHandle handle);
  Device* DeviceOfWinUsb(WinUsbHandle handle);
  bool TakeFault(Device& d, Fault* fault);
  void Record(Device& d, bool out, bool ok, const uint8_t* bytes, uint32_t count);

  std::map<DeviceId, std::unique_ptr<Device>> devices_;
  DeviceId nextDevice_ = 1;
  uint64_t nowMs_ = 0;
  uint64_t sleptMs_ = 0;
  int setPipePolicyCalls_ = 0;
  bool keepTransfers_ = true;
};

}  // namespace kp
