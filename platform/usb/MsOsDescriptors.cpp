#include "platform/usb/MsOsDescriptors.h"

#include "base/ByteOrder.h"
#include "base/NumberText.h"

#include <algorithm>
#include <array>
#include <string>

namespace kp::msos {

namespace {

using Bytes = std::span<const uint8_t>;

// Descriptor types inside a 2.0 descriptor set, and the lengths of those with a fixed one.
enum : uint16_t {
  kSetHeader = 0,
  kConfigurationSubset = 1,
  kFunctionSubset = 2,
  kCompatibleId = 3,
  kRegistryProperty = 4,
  kMinResumeTime = 5,
  kModelId = 6,
  kCcgpDevice = 7,
  kVendorRevision = 8,
};
constexpr std::array<uint16_t, 9> kFixedLength = {10, 8, 8, 20, 0, 6, 20, 4, 6};
constexpr size_t kSetHeaderLength = 10;
constexpr size_t kSubsetHeaderLength = 8;
constexpr size_t kDescriptorPrefix = 4;  // wLength, wDescriptorType

constexpr size_t kBosHeaderLength = 5;
constexpr size_t kCapabilityPrefix = 3;           // bLength, bDescriptorType, bDevCapabilityType
constexpr size_t kPlatformCapabilityHeader = 20;  // ... bReserved, PlatformCapabilityUUID
constexpr size_t kSetInfoLength = 8;

constexpr size_t kMsOs10StringLength = 18;
constexpr uint16_t kMsOs10Version = 0x0100;
constexpr size_t kExtendedHeaderLength = 10;
constexpr size_t kExtendedSectionFixed = 14;  // dwSize, dwType, wNameLength, dwDataLength

// Callers check the bounds first.
uint16_t Le16(Bytes b, size_t at) { return GetLe16(&b[at]); }
uint32_t Le32(Bytes b, size_t at) { return GetLe32(&b[at]); }

Guid GuidAt(Bytes b, size_t at) {
  Guid g{};
  g.data1 = Le32(b, at);
  g.data2 = Le16(b, at + 4);
  g.data3 = Le16(b, at + 6);
  for (size_t i = 0; i < 8; ++i) g.data4[i] = b[at + 8 + i];
  return g;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// UTF-16LE text up to (not including) its terminating zero unit. Malformed when the byte
// count is odd or the last unit is not zero; none of the names or GUIDs we look for has a
// character outside ASCII.
enum class Text { kAscii, kNotAscii, kMalformed };
Text AsciiUnits(Bytes bytes, std::string* out) {
  out->clear();
  if (bytes.size() < 2 || bytes.size() % 2 != 0 || Le16(bytes, bytes.size() - 2) != 0) {
    return Text::kMalformed;
  }
  bool ascii = true;
  for (size_t at = 0; at + 2 < bytes.size(); at += 2) {
    const uint16_t unit = Le16(bytes, at);
    if (unit >= 0x80) ascii = false;
    out->push_back(static_cast<char>(unit & 0x7F));
  }
  return ascii ? Text::kAscii : Text::kNotAscii;
}

enum class Property { kOther, kGuids, kGuid };

Property PropertyNamed(const std::string& name) {
  auto equals = [&](std::string_view want) {
    if (name.size() != want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i) {
      if (AsciiLower(name[i]) != AsciiLower(want[i])) return false;
    }
    return true;
  };
  if (equals("DeviceInterfaceGUIDs")) return Property::kGuids;
  if (equals("DeviceInterfaceGUID")) return Property::kGuid;
  return Property::kOther;
}

// One registry property, shared by both descriptor versions. False when its name or data
// has a length that cannot be UTF-16 text; a property of another name or of the wrong
// value type is well-formed and gives nothing.
bool CollectPropertyGuids(uint32_t dataType, Bytes name, Bytes data, std::vector<Guid>* out) {
  std::string text;
  const Text nameText = AsciiUnits(name, &text);
  if (nameText == Text::kMalformed || data.size() % 2 != 0) return false;
  if (nameText != Text::kAscii || text.find('\0') != std::string::npos) return true;
  const Property property = PropertyNamed(text);
  if (property == Property::kOther) return true;
  if (dataType != (property == Property::kGuids ? kRegMultiSz : kRegSz)) return true;
  if (AsciiUnits(data, &text) != Text::kAscii) return true;
  // REG_SZ ends at its first zero; REG_MULTI_SZ is zero-separated strings.
  if (property == Property::kGuid) text.erase(std::min(text.find('\0'), text.size()));
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      if (auto g = ParseGuidText(std::string_view(text).substr(start, end - start)))
        out->push_back(*g);
    }
    start = end + 1;
  }
  return true;
}

// A 2.0 registry property descriptor: wLength, wDescriptorType, wPropertyDataType,
// wPropertyNameLength, PropertyName, wPropertyDataLength, PropertyData.
bool ParseRegistryProperty20(Bytes d, std::vector<Guid>* out) {
  constexpr size_t kFixed = 10;
  if (d.size() < kFixed) return false;
  const uint16_t dataType = Le16(d, 4);
  const size_t nameLength = Le16(d, 6);
  if (nameLength > d.size() - kFixed) return false;
  const size_t dataLength = Le16(d, 8 + nameLength);
  if (kFixed + nameLength + dataLength != d.size()) return false;
  return CollectPropertyGuids(dataType, d.subspan(8, nameLength),
                              d.subspan(kFixed + nameLength, dataLength), out);
}

}  // namespace

std::optional<MsOs20SetInfo> ParseBosForMsOs20(Bytes bos) {
  if (bos.size() < kBosHeaderLength || bos[0] != kBosHeaderLength || bos[1] != kBosDescriptorType ||
      Le16(bos, 2) != bos.size()) {
    return std::nullopt;
  }
  std::optional<MsOs20SetInfo> best;
  uint32_t bestVersion = 0;
  size_t at = kBosHeaderLength;
  for (unsigned i = 0; i < bos[4]; ++i) {
    if (bos.size() - at < kCapabilityPrefix) return std::nullopt;
    const size_t length = bos[at];
    if (length < kCapabilityPrefix || length > bos.size() - at ||
        bos[at + 1] != kDeviceCapabilityType) {
      return std::nullopt;
    }
    const Bytes capability = bos.subspan(at, length);
    at += length;
    if (capability[2] != kPlatformCapability) continue;
    if (length < kPlatformCapabilityHeader) return std::nullopt;
    if (!(GuidAt(capability, 4) == kMsOs20PlatformCapabilityUuid)) continue;
    const Bytes sets = capability.subspan(kPlatformCapabilityHeader);
    if (sets.empty() || sets.size() % kSetInfoLength != 0) return std::nullopt;
    for (size_t k = 0; k < sets.size(); k += kSetInfoLength) {
      const uint32_t version = Le32(sets, k);
      const uint16_t setLength = Le16(sets, k + 4);
      if (version < kMsOs20MinWindowsVersion || setLength < kSetHeaderLength) continue;
      if (!best || version > bestVersion) {
        best = MsOs20SetInfo{sets[k + 6], setLength};
        bestVersion = version;
      }
    }
  }
  if (at != bos.size()) return std::nullopt;
  return best;
}

namespace {

// Where the walk through a 2.0 descriptor set stands: the subsets it is inside, and the
// GUIDs found so far for the interface.
struct SetWalk {
  Bytes set;
  uint8_t interfaceNumber = 0;
  bool inConfiguration = false;
  bool inFunction = false;
  size_t configurationEnd = 0;
  size_t functionEnd = 0;
  uint8_t configurationIndex = 0;
  uint8_t firstInterface = 0;
  std::vector<Guid> guids;

  // Leaves the subsets that end at `at` (subsets end exactly where their length says;
  // nothing straddles their end) and gives the end of what may follow.
  size_t Limit(size_t at) {
    if (inFunction && at == functionEnd) inFunction = false;
    if (inConfiguration && at == configurationEnd) inConfiguration = false;
    return inFunction ? functionEnd : inConfiguration ? configurationEnd : set.size();
  }

  // One descriptor `d` of `type` at `at`; false when the set is malformed.
  bool Take(uint16_t type, size_t at, Bytes d) {
    switch (type) {
      case kSetHeader: return false;
      case kConfigurationSubset: {
        const size_t total = Le16(d, 6);
        if (inConfiguration || total < kSubsetHeaderLength || total > set.size() - at) {
          return false;
        }
        inConfiguration = true;
        configurationIndex = d[4];
        configurationEnd = at + total;
        return true;
      }
      case kFunctionSubset: {
        const size_t total = Le16(d, 6);
        if (!inConfiguration || inFunction || total < kSubsetHeaderLength ||
            total > configurationEnd - at) {
          return false;
        }
        inFunction = true;
        firstInterface = d[4];
        functionEnd = at + total;
        return true;
      }
      case kRegistryProperty: return TakeProperty(d);
      default:  // features that do not name interfaces, and types newer than ours
        return true;
    }
  }

  bool TakeProperty(Bytes d) {
    std::vector<Guid> found;
    if (!ParseRegistryProperty20(d, &found)) return false;
    const bool applies = (!inConfiguration || configurationIndex == 0) &&
                         (!inFunction || firstInterface == interfaceNumber);
    if (applies) guids.insert(guids.end(), found.begin(), found.end());
    return true;
  }
};

}  // namespace

std::vector<Guid> ParseMsOs20DescriptorSet(Bytes set, uint8_t interfaceNumber) {
  if (set.size() < kSetHeaderLength || Le16(set, 0) != kSetHeaderLength ||
      Le16(set, 2) != kSetHeader || Le16(set, 8) != set.size()) {
    return {};
  }
  SetWalk walk;
  walk.set = set;
  walk.interfaceNumber = interfaceNumber;
  for (size_t at = kSetHeaderLength;;) {
    const size_t limit = walk.Limit(at);
    if (at == set.size()) break;
    if (limit - at < kDescriptorPrefix) return {};
    const size_t length = Le16(set, at);
    const uint16_t type = Le16(set, at + 2);
    if (length < kDescriptorPrefix || length > limit - at) return {};
    if (type < kFixedLength.size() && kFixedLength[type] != 0 && length != kFixedLength[type]) {
      return {};
    }
    if (!walk.Take(type, at, set.subspan(at, length))) return {};
    at += length;
  }
  return walk.guids;
}

std::optional<uint8_t> ParseMsOs10StringDescriptor(Bytes d) {
  static constexpr char kSignature[] = "MSFT100";
  if (d.size() != kMsOs10StringLength || d[0] != kMsOs10StringLength ||
      d[1] != kUsbStringDescriptorType) {
    return std::nullopt;
  }
  for (size_t i = 0; i < 7; ++i) {
    if (d[2 + 2 * i] != static_cast<uint8_t>(kSignature[i]) || d[3 + 2 * i] != 0)
      return std::nullopt;
  }
  return d[16];
}

std::vector<Guid> ParseMsOs10ExtendedProperties(Bytes d) {
  if (d.size() < kExtendedHeaderLength || Le32(d, 0) != d.size() || Le16(d, 4) != kMsOs10Version ||
      Le16(d, 6) != kMsOs10ExtendedPropertiesIndex) {
    return {};
  }
  std::vector<Guid> guids;
  size_t at = kExtendedHeaderLength;
  for (unsigned i = 0; i < Le16(d, 8); ++i) {
    if (d.size() - at < kExtendedSectionFixed) return {};
    const uint64_t size = Le32(d, at);
    if (size < kExtendedSectionFixed || size > d.size() - at) return {};
    const Bytes section = d.subspan(at, static_cast<size_t>(size));
    const uint32_t dataType = Le32(section, 4);
    const size_t nameLength = Le16(section, 8);
    if (nameLength > section.size() - kExtendedSectionFixed) return {};
    const uint64_t dataLength = Le32(section, 10 + nameLength);
    if (kExtendedSectionFixed + nameLength + dataLength != section.size()) return {};
    if (!CollectPropertyGuids(dataType, section.subspan(10, nameLength),
                              section.subspan(kExtendedSectionFixed + nameLength), &guids)) {
      return {};
    }
    at += section.size();
  }
  if (at != d.size()) return {};
  return guids;
}

std::optional<Guid> ParseGuidText(std::string_view text) {
  constexpr size_t kBare = 36;
  if (text.size() == kBare + 2) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, kBare);
  }
  if (text.size() != kBare) return std::nullopt;
  std::array<uint8_t, 16> bytes{};
  size_t nibble = 0;
  for (size_t i = 0; i < kBare; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int v = HexDigitValue(text[i]);
    if (v < 0) return std::nullopt;
    bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    ++nibble;
  }
  // The text reads as numbers, big-endian within each of the first three groups.
  Guid g{};
  g.data1 = GetBe32(&bytes[0]);
  g.data2 = GetBe16(&bytes[4]);
  g.data3 = GetBe16(&bytes[6]);
  for (size_t i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

std::vector<Guid> ParseGuidList(std::string_view text) {
  std::vector<Guid> guids;
  constexpr std::string_view kSeparators = ",; \t\r\n";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(kSeparators, start);
    if (end == std::string_view::npos) end = text.size();
    if (auto g = ParseGuidText(text.substr(start, end - start))) guids.push_back(*g);
    start = end + 1;
  }
  return guids;
}

}  // namespace kp::msos
