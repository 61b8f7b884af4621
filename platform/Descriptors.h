// The standard USB descriptors a backend hands out as bytes, built one way for every backend
// and for the simulator's hello: the device descriptor and a UTF-16LE string descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kp {

inline constexpr uint8_t kDeviceDescriptorLength = 18;
// bLength is one byte: 2 + 2 * 126 = 254 is the longest string descriptor.
inline constexpr size_t kMaxStringDescriptorUnits = 126;

// The fields of USB_DEVICE_DESCRIPTOR after bLength and bDescriptorType.
struct DeviceDescriptorFields {
  uint16_t bcdUSB = 0x0200;
  uint8_t bDeviceClass = 0;  // the class is in the interface
  uint8_t bDeviceSubClass = 0;
  uint8_t bDeviceProtocol = 0;
  uint8_t bMaxPacketSize0 = 64;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 1;
  uint8_t iProduct = 2;
  uint8_t iSerialNumber = 0;
  uint8_t bNumConfigurations = 1;
};

std::array<uint8_t, kDeviceDescriptorLength> DeviceDescriptor(const DeviceDescriptorFields& fields);

// A string descriptor of the first kMaxStringDescriptorUnits code units of `text`.
std::vector<uint8_t> StringDescriptor(std::u16string_view text);

}  // namespace kp
