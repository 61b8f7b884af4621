// Microsoft OS descriptors, by which a WinUSB device names its own device-interface GUIDs:
// the 2.0 descriptor set (found through a BOS platform capability) and the 1.0 extended
// properties (found through string descriptor 0xEE). Pure functions over the bytes a device
// sent: every length is checked against the bytes actually there, and anything malformed
// gives no result rather than a partial one. Also the GUID text forms they carry.
#pragma once

#include "platform/UsbPlatform.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kp::msos {

// Requests and codes used to fetch the descriptors.
inline constexpr uint8_t kBosDescriptorType = 0x0F;
inline constexpr uint8_t kDeviceCapabilityType = 0x10;
inline constexpr uint8_t kPlatformCapability = 0x05;
inline constexpr uint16_t kMsOs20DescriptorIndex = 7;  // wIndex of the set request
inline constexpr uint8_t kMsOs10StringIndex = 0xEE;
inline constexpr uint16_t kMsOs10ExtendedPropertiesIndex = 5;  // wIndex of that request
inline constexpr uint16_t kMinBcdUsbForBos = 0x0201;
// Windows 8.1, the first version that reads a 2.0 descriptor set.
inline constexpr uint32_t kMsOs20MinWindowsVersion = 0x06030000;

// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F}: the platform capability of a 2.0 descriptor set.
inline constexpr Guid kMsOs20PlatformCapabilityUuid = {
    0xD8DD60DF, 0x4589, 0x4CC7, {0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F}};

// Registry value types of the properties.
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegMultiSz = 7;

struct MsOs20SetInfo {
  uint8_t vendorCode = 0;  // bRequest of the vendor request that returns the set
  uint16_t setLength = 0;  // wLength of that request
};

// A whole BOS descriptor (wTotalLength bytes). The descriptor-set information of the
// Microsoft OS 2.0 platform capability, choosing the entry for the newest Windows version
// (at least 8.1); nothing when there is no such capability or any length is wrong.
std::optional<MsOs20SetInfo> ParseBosForMsOs20(std::span<const uint8_t> bos);

// A whole 2.0 descriptor set. The GUIDs of its DeviceInterfaceGUIDs (REG_MULTI_SZ) and
// DeviceInterfaceGUID (REG_SZ) registry properties that apply to interface
// `interfaceNumber` of configuration index 0: those outside any function subset, and those
// in the function subset whose first interface it is. Empty when anything is malformed.
std::vector<Guid> ParseMsOs20DescriptorSet(std::span<const uint8_t> set,
                                           uint8_t interfaceNumber = 0);

// String descriptor 0xEE. The vendor code when it is the 18-byte "MSFT100" descriptor.
std::optional<uint8_t> ParseMsOs10StringDescriptor(std::span<const uint8_t> descriptor);

// A whole 1.0 extended properties descriptor (dwLength bytes) of one interface. The GUIDs
// of its DeviceInterfaceGUIDs / DeviceInterfaceGUID properties; empty when malformed.
std::vector<Guid> ParseMsOs10ExtendedProperties(std::span<const uint8_t> descriptor);

// "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73", with or without braces, in any case.
std::optional<Guid> ParseGuidText(std::string_view text);

// Several GUID texts separated by commas, semicolons or white space (the udev property).
// Words that are not GUIDs are left out.
std::vector<Guid> ParseGuidList(std::string_view text);

}  // namespace kp::msos
