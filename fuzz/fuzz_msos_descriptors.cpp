// Fuzzes the Microsoft OS descriptor parsers, which read what any USB device sends back when
// the libusb backend probes it: the BOS descriptor, the 2.0 descriptor set, string descriptor
// 0xEE, the 1.0 extended properties, and the GUID texts inside them and in udev properties.
//
// Every input goes to every parser, as it is and once more with its leading total-length
// field made to agree with the input's size (BOS wTotalLength, set wTotalLength, extended
// properties dwLength), so that mutations get past the first length check and reach the
// subsets and properties behind it. Each parser gets a copy of exactly the input's size, so
// ASan sees any read past the end. A result must come from a descriptor whose own total
// length matches the bytes exactly.
#include "platform/usb/MsOsDescriptors.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace {

using kp::msos::ParseBosForMsOs20;
using kp::msos::ParseGuidList;
using kp::msos::ParseGuidText;
using kp::msos::ParseMsOs10ExtendedProperties;
using kp::msos::ParseMsOs10StringDescriptor;
using kp::msos::ParseMsOs20DescriptorSet;

void Check(bool condition) {
  if (!condition) std::abort();
}

size_t Le(std::span<const uint8_t> b, size_t at, size_t width) {
  size_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<size_t>(b[at + i]) << (8 * i);
  return v;
}

// Any result must come from a descriptor whose own total length is exactly the bytes given.
void ParseAll(std::span<const uint8_t> bytes) {
  if (const auto info = ParseBosForMsOs20(bytes)) {
    Check(info->setLength >= 10 && Le(bytes, 2, 2) == bytes.size());
  }
  for (uint8_t itf : {0, 1, 0xFF}) {
    if (!ParseMsOs20DescriptorSet(bytes, itf).empty()) Check(Le(bytes, 8, 2) == bytes.size());
  }
  if (ParseMsOs10StringDescriptor(bytes)) Check(bytes.size() == 18);
  if (!ParseMsOs10ExtendedProperties(bytes).empty()) Check(Le(bytes, 0, 4) == bytes.size());
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (ParseGuidText(text)) Check(text.size() == 36 || text.size() == 38);
  Check(ParseGuidList(text).size() <= text.size() / 36);
}

void Patch(uint8_t* p, size_t at, size_t width, size_t value) {
  for (size_t i = 0; i < width; ++i) p[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  ParseAll({copy.get(), size});

  if (size >= 10 && size <= 0xFFFF) {
    Patch(copy.get(), 2, 2, size);  // BOS wTotalLength
    ParseAll({copy.get(), size});
    std::memcpy(copy.get(), data, size);
    Patch(copy.get(), 8, 2, size);  // descriptor set wTotalLength
    ParseAll({copy.get(), size});
    std::memcpy(copy.get(), data, size);
    Patch(copy.get(), 0, 4, size);  // extended properties dwLength
    ParseAll({copy.get(), size});
  }
  return 0;
}
