#include "platform/Descriptors.h"

#include "base/ByteOrder.h"
#include "platform/UsbPlatform.h"

#include <algorithm>

namespace kp {

std::array<uint8_t, kDeviceDescriptorLength> DeviceDescriptor(const DeviceDescriptorFields& f) {
  std::array<uint8_t, kDeviceDescriptorLength> raw{};
  raw[0] = kDeviceDescriptorLength;
  raw[1] = kUsbDeviceDescriptorType;
  PutLe16(&raw[2], f.bcdUSB);
  raw[4] = f.bDeviceClass;
  raw[5] = f.bDeviceSubClass;
  raw[6] = f.bDeviceProtocol;
  raw[7] = f.bMaxPacketSize0;
  PutLe16(&raw[8], f.idVendor);
  PutLe16(&raw[10], f.idProduct);
  PutLe16(&raw[12], f.bcdDevice);
  raw[14] = f.iManufacturer;
  raw[15] = f.iProduct;
  raw[16] = f.iSerialNumber;
  raw[17] = f.bNumConfigurations;
  return raw;
}

std::vector<uint8_t> StringDescriptor(std::u16string_view text) {
  const size_t units = std::min(text.size(), kMaxStringDescriptorUnits);
  std::vector<uint8_t> descriptor(2 + 2 * units);
  descriptor[0] = static_cast<uint8_t>(descriptor.size());
  descriptor[1] = kUsbStringDescriptorType;
  for (size_t i = 0; i < units; ++i) PutLe16(&descriptor[2 + 2 * i], text[i]);
  return descriptor;
}

}  // namespace kp
