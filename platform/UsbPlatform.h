// The seam between the link and the operating system: the SetupAPI, kernel and WinUSB
// operations the link uses, one virtual operation each, named after the Windows call it
// stands for. Backends: VirtualBus (in-process devices, virtual clock), SimSocketPlatform
// (kpr50-sim over sockets), LibusbPlatform (real devices on Linux), WinUsbPlatform (the real
// Windows calls). Nothing above this seam includes a system header for USB, sockets or time.
#pragma once

#include <cstdint>

namespace kp {

// 128-bit GUID in the Windows layout.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  friend bool operator==(const Guid&, const Guid&) = default;
};

// Opaque handles; kInvalidHandle is the platform's invalid value (INVALID_HANDLE_VALUE, -1).
using DevInfoHandle = intptr_t;
using FileHandle = intptr_t;
using WinUsbHandle = intptr_t;
inline constexpr intptr_t kInvalidHandle = -1;

// One member of a device-interface list (SP_DEVICE_INTERFACE_DATA without its size field,
// which is the backend's business).
struct DeviceInterfaceData {
  Guid interfaceClassGuid{};
  uint32_t flags = 0;
  uintptr_t reserved = 0;  // backend's own identification of the member
};

// USB_INTERFACE_DESCRIPTOR.
struct InterfaceDescriptor {
  uint8_t bLength = 9;
  uint8_t bDescriptorType = 4;
  uint8_t bInterfaceNumber = 0;
  uint8_t bAlternateSetting = 0;
  uint8_t bNumEndpoints = 0;
  uint8_t bInterfaceClass = 0xFF;
  uint8_t bInterfaceSubClass = 0;
  uint8_t bInterfaceProtocol = 0;
  uint8_t iInterface = 0;
};

// USBD_PIPE_TYPE.
enum class PipeType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

// WINUSB_PIPE_INFORMATION.
struct PipeInformation {
  PipeType pipeType = PipeType::Control;
  uint8_t pipeId = 0;  // endpoint address, bit 7 set for IN
  uint16_t maximumPacketSize = 0;
  uint8_t interval = 0;
};

inline constexpr uint8_t kUsbDeviceDescriptorType = 1;
inline constexpr uint8_t kUsbStringDescriptorType = 3;
inline constexpr uint32_t kPipeTransferTimeout = 3;  // WinUSB policy PIPE_TRANSFER_TIMEOUT

class UsbPlatform {
 public:
  virtual ~UsbPlatform() = default;

  // Present device interfaces of one class (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).
  // Returns the list, or kInvalidHandle when no list can be made.
  virtual DevInfoHandle SetupDiGetClassDevsA(const Guid& interfaceClass) = 0;

  // Member `index` of the list. Returns false when no member has that index.
  virtual bool SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                           uint32_t index, DeviceInterfaceData* data) = 0;

  // The member's device path. Called first with path == nullptr (and size 0): returns false
  // and sets *requiredSize to the bytes the zero-terminated path needs. Called again with a
  // buffer of at least that size: writes the path, returns true. False on any failure.
  virtual bool SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list, const DeviceInterfaceData& data,
                                                char* path, uint32_t pathSize,
                                                uint32_t* requiredSize) = 0;

  // Releases a list. Returns false for an unknown handle.
  virtual bool SetupDiDestroyDeviceInfoList(DevInfoHandle list) = 0;

  // Opens a device path for reading and writing (shared, overlapped). Returns kInvalidHandle
  // when the path does not exist, has gone, or is held open by someone else.
  virtual FileHandle CreateFileA(const char* path) = 0;

  // Closes a file handle. Returns false for an unknown handle.
  virtual bool CloseHandle(FileHandle file) = 0;

  // Initialises WinUSB on an open file. Returns false (and leaves *handle alone) on failure.
  virtual bool WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) = 0;

  // Releases a WinUSB handle. Returns false for an unknown handle.
  virtual bool WinUsb_Free(WinUsbHandle handle) = 0;

  // Reads a descriptor (device: type 1; string: type 3) into buffer, at most `length` bytes.
  // Returns false on failure; on success *transferred holds the count.
  virtual bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                    uint16_t languageId, uint8_t* buffer, uint32_t length,
                                    uint32_t* transferred) = 0;

  // Interface descriptor of an alternate setting. Returns false on failure.
  virtual bool WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                             InterfaceDescriptor* descriptor) = 0;

  // Pipe `pipeIndex` of an alternate setting. Returns false on failure or past the last pipe.
  virtual bool WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
                                PipeInformation* pipe) = 0;

  // Sets a pipe policy; the link sets only kPipeTransferTimeout (4-byte milliseconds).
  // Returns false when the platform refuses.
  virtual bool WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                                    uint32_t valueLength, const void* value) = 0;

  // Writes one transfer. Returns false on failure; on success *transferred holds the count
  // written, which may be short.
  virtual bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                uint32_t length, uint32_t* transferred) = 0;

  // Reads one transfer of at most `length` bytes, waiting at most the pipe's transfer
  // time-out. Returns false on time-out or failure; on success *transferred holds the count.
  virtual bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                               uint32_t length, uint32_t* transferred) = 0;

  // Suspends the calling thread for `milliseconds`.
  virtual void Sleep(uint32_t milliseconds) = 0;
};

}  // namespace kp
