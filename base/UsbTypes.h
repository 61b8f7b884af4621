// The seam's vocabulary, in the Windows layouts: GUIDs, the opaque handles, and the records of
// device interfaces, interface descriptors and pipes. Both ends of the simulator's link speak
// it too, so it lives below the seam, which only adds the operations.
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

}  // namespace kp
