// The Microsoft OS descriptor parsers on byte fixtures: well-formed descriptors with one or
// several GUIDs, in functions and configurations, and malformed ones that must give nothing.
// Every parse gets an exact-size heap copy, so the sanitizer build sees any over-read; every
// prefix of a good descriptor is parsed too.
#include "platform/usb/MsOsDescriptors.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kp::test {
using namespace kp::msos;
namespace {

using Bytes = std::vector<uint8_t>;

const Guid kKpR50 = {0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};
const Guid kOther = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};
constexpr std::string_view kKpR50Text = "{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}";
constexpr std::string_view kOtherText = "{01234567-89ab-cdef-0102-030405060708}";

// ---- byte builders -------------------------------------------------------------------

void Le16(Bytes& b, size_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(Bytes& b, size_t v) {
  Le16(b, v & 0xFFFF);
  Le16(b, v >> 16);
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
// UTF-16LE, each string followed by a zero unit; `extraZero` ends a REG_MULTI_SZ.
Bytes Utf16(std::initializer_list<std::string_view> strings, bool extraZero = false) {
  Bytes b;
  for (std::string_view s : strings) {
    for (char c : s) Le16(b, static_cast<uint8_t>(c));
    Le16(b, 0);
  }
  if (extraZero) Le16(b, 0);
  return b;
}

// 2.0 descriptor set pieces.
Bytes Set(std::initializer_list<Bytes> body) {
  const Bytes inner = Cat(body);
  Bytes b;
  Le16(b, 10);
  Le16(b, 0);           // MS_OS_20_SET_HEADER_DESCRIPTOR
  Le32(b, 0x06030000);  // Windows 8.1
  Le16(b, 10 + inner.size());
  return Cat({b, inner});
}
Bytes Subset(uint16_t type, uint8_t number, std::initializer_list<Bytes> body) {
  const Bytes inner = Cat(body);
  Bytes b;
  Le16(b, 8);
  Le16(b, type);
  b.push_back(number);
  b.push_back(0);
  Le16(b, 8 + inner.size());
  return Cat({b, inner});
}
Bytes Configuration(uint8_t index, std::initializer_list<Bytes> body) {
  return Subset(1, index, body);
}
Bytes Function(uint8_t firstInterface, std::initializer_list<Bytes> body) {
  return Subset(2, firstInterface, body);
}
Bytes CompatibleId() {
  Bytes b;
  Le16(b, 20);
  Le16(b, 3);
  for (char c : std::string_view("WINUSB\0\0", 8)) b.push_back(static_cast<uint8_t>(c));
  b.insert(b.end(), 8, 0);
  return b;
}
Bytes Property20(uint16_t dataType, std::string_view name, const Bytes& data) {
  const Bytes n = Utf16({name});
  Bytes b;
  Le16(b, 10 + n.size() + data.size());
  Le16(b, 4);
  Le16(b, dataType);
  Le16(b, n.size());
  b.insert(b.end(), n.begin(), n.end());
  Le16(b, data.size());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes Guids20(std::initializer_list<std::string_view> guids) {
  return Property20(kRegMultiSz, "DeviceInterfaceGUIDs", Utf16(guids, true));
}

// 1.0 extended properties.
Bytes Section10(uint32_t dataType, std::string_view name, const Bytes& data) {
  const Bytes n = Utf16({name});
  Bytes b;
  Le32(b, 14 + n.size() + data.size());
  Le32(b, dataType);
  Le16(b, n.size());
  b.insert(b.end(), n.begin(), n.end());
  Le32(b, data.size());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes Extended(std::initializer_list<Bytes> sections) {
  const Bytes inner = Cat(sections);
  Bytes b;
  Le32(b, 10 + inner.size());
  Le16(b, 0x0100);
  Le16(b, 5);
  Le16(b, sections.size());
  return Cat({b, inner});
}

// BOS with capabilities.
Bytes Bos(std::initializer_list<Bytes> capabilities) {
  const Bytes inner = Cat(capabilities);
  Bytes b = {5, 0x0F};
  Le16(b, 5 + inner.size());
  b.push_back(static_cast<uint8_t>(capabilities.size()));
  return Cat({b, inner});
}
Bytes Usb20Extension() { return {7, 0x10, 0x02, 0x02, 0, 0, 0}; }
Bytes Platform(const Guid& uuid, std::initializer_list<Bytes> sets) {
  const Bytes inner = Cat(sets);
  Bytes b = {static_cast<uint8_t>(20 + inner.size()), 0x10, 0x05, 0};
  Le32(b, uuid.data1);
  Le16(b, uuid.data2);
  Le16(b, uuid.data3);
  b.insert(b.end(), uuid.data4, uuid.data4 + 8);
  return Cat({b, inner});
}
Bytes SetInfo(uint32_t windowsVersion, uint16_t setLength, uint8_t vendorCode) {
  Bytes b;
  Le32(b, windowsVersion);
  Le16(b, setLength);
  b.push_back(vendorCode);
  b.push_back(0);
  return b;
}
const Guid kWebUsbUuid = {
    0x3408B638, 0x09A9, 0x47A0, {0x8B, 0xFD, 0xA0, 0x76, 0x88, 0x15, 0xB6, 0x65}};

Bytes With(Bytes b, size_t at, std::initializer_list<uint8_t> bytes) {
  for (uint8_t v : bytes) b.at(at++) = v;
  return b;
}

// Exact-size copies, so that one byte past the end is outside the allocation.
template <typename Parse>
auto OnHeap(const Bytes& bytes, Parse parse) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return parse(std::span<const uint8_t>(copy.get(), bytes.size()));
}
std::vector<Guid> Set20(const Bytes& b, uint8_t interfaceNumber = 0) {
  return OnHeap(b, [&](auto s) { return ParseMsOs20DescriptorSet(s, interfaceNumber); });
}
std::vector<Guid> Extended10(const Bytes& b) {
  return OnHeap(b, [](auto s) { return ParseMsOs10ExtendedProperties(s); });
}

// ---- 2.0 descriptor set ---------------------------------------------------------------

TEST(MsOs20DescriptorSet, CommonWinUsbDeviceAsBytes) {
  // Header, WINUSB compatible ID, DeviceInterfaceGUIDs with the programmer's GUID.
  const Bytes set = {
      0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0xA2, 0x00,  // set header, 162 bytes
      0x14, 0x00, 0x03, 0x00, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x84,
      0x00, 0x04, 0x00, 0x07, 0x00, 0x2A, 0x00,  // property, REG_MULTI_SZ, name 42 bytes
      'D', 0, 'e', 0, 'v', 0, 'i', 0, 'c', 0, 'e', 0, 'I', 0, 'n', 0, 't', 0, 'e', 0, 'r', 0, 'f',
      0, 'a', 0, 'c', 0, 'e', 0, 'G', 0, 'U', 0, 'I', 0, 'D', 0, 's', 0, 0, 0, 0x50,
      0x00,  // 80 bytes of data: 38 characters,
             // two zeros
      '{', 0, '5', 0, 'B', 0, '6', 0, '6', 0, '3', 0, '8', 0, 'C', 0, '7', 0, '-', 0, 'B', 0, '7',
      0, 'E', 0, 'A', 0, '-', 0, '4', 0, 'B', 0, 'F', 0, '3', 0, '-', 0, '8', 0, 'A', 0, '8', 0,
      '3', 0, '-', 0, '3', 0, 'E', 0, 'A', 0, 'F', 0, '3', 0, '2', 0, '6', 0, 'C', 0, '4', 0, 'F',
      0, '7', 0, '3', 0, '}', 0, 0, 0, 0, 0};
  ASSERT_EQ(set.size(), 0xA2u);
  EXPECT_EQ(Set20(set), std::vector<Guid>{kKpR50});
  EXPECT_EQ(set, Set({CompatibleId(), Guids20({kKpR50Text})}));  // the builders agree
}

struct SetCase {
  const char* name;
  Bytes set;
  uint8_t interfaceNumber;
  std::vector<Guid> guids;
};
void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }

class WellFormedSets : public testing::TestWithParam<SetCase> {};

TEST_P(WellFormedSets, GiveTheGuidsOfTheInterface) {
  const SetCase& c = GetParam();
  EXPECT_EQ(Set20(c.set, c.interfaceNumber), c.guids);
  // No prefix is a set (the header's total no longer matches): nothing, and no over-read.
  for (size_t n = 0; n < c.set.size(); ++n) {
    EXPECT_TRUE(Set20(Bytes(c.set.begin(), c.set.begin() + n), c.interfaceNumber).empty()) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    MsOs20, WellFormedSets,
    testing::Values(
        SetCase{"SeveralGuidsInOneProperty",
                Set({CompatibleId(), Guids20({kOtherText, kKpR50Text})}),
                0,
                {kOther, kKpR50}},
        SetCase{"SingularNameAsRegSz",
                Set({Property20(kRegSz, "DeviceInterfaceGUID", Utf16({kKpR50Text}))}),
                0,
                {kKpR50}},
        SetCase{"NameInAnotherCaseAndBareLowerCaseGuid",
                Set({Property20(kRegMultiSz, "deviceinterfaceguids",
                                Utf16({"5b6638c7-b7ea-4bf3-8a83-3eaf326c4f73"}, true))}),
                0,
                {kKpR50}},
        SetCase{"MultiSzWithoutItsSecondZero",
                Set({Property20(kRegMultiSz, "DeviceInterfaceGUIDs", Utf16({kKpR50Text}))}),
                0,
                {kKpR50}},
        SetCase{"ConfigurationSubsetOfANonCompositeDevice",
                Set({Configuration(0, {CompatibleId(), Guids20({kKpR50Text})})}),
                0,
                {kKpR50}},
        SetCase{"FunctionOfInterfaceZero",
                Set({Configuration(0, {Function(0, {CompatibleId(), Guids20({kKpR50Text})}),
                                       Function(1, {CompatibleId(), Guids20({kOtherText})})})}),
                0,
                {kKpR50}},
        SetCase{"FunctionOfInterfaceOne",
                Set({Configuration(0, {Function(0, {CompatibleId(), Guids20({kKpR50Text})}),
                                       Function(1, {CompatibleId(), Guids20({kOtherText})})})}),
                1,
                {kOther}},
        SetCase{"OnlyConfigurationIndexZeroCounts",
                Set({Configuration(0, {Guids20({kKpR50Text})}),
                     Configuration(1, {Guids20({kOtherText})})}),
                0,
                {kKpR50}},
        SetCase{"OtherFeaturesAndUnknownTypesAreSkipped",
                Set({Bytes{6, 0, 5, 0, 0x20, 0x00},     // minimum resume time
                     Bytes{4, 0, 7, 0},                 // CCGP device
                     Bytes{6, 0, 8, 0, 1, 0},           // vendor revision
                     Bytes{6, 0, 0x20, 0, 0xAA, 0xBB},  // a type newer than ours
                     Property20(1, "Label", Utf16({"x"})), Guids20({kKpR50Text})}),
                0,
                {kKpR50}},
        SetCase{"PropertiesOfOtherNamesOrTypesGiveNothing",
                Set({Property20(kRegSz, "DeviceInterfaceGUIDs", Utf16({kKpR50Text})),
                     Property20(kRegMultiSz, "DeviceInterfaceGUID", Utf16({kKpR50Text}, true)),
                     Property20(kRegMultiSz, "DeviceInterfaceGUIDsX", Utf16({kKpR50Text}, true)),
                     Property20(kRegMultiSz, "DeviceInterfaceGUIDs",
                                Utf16({"{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F7}"}, true))}),
                0,
                {}},
        SetCase{"EmptySubsets", Set({Configuration(0, {Function(0, {})})}), 0, {}},
        SetCase{"HeaderOnly", Set({}), 0, {}}),
    [](const auto& row) { return std::string(row.param.name); });

struct BadCase {
  const char* name;
  Bytes bytes;
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class MalformedSets : public testing::TestWithParam<BadCase> {};

TEST_P(MalformedSets, GiveNoGuid) { EXPECT_TRUE(Set20(GetParam().bytes).empty()); }

// Each case holds the programmer's GUID in a property that would count if the set were sound.
const Bytes kGood = Set({CompatibleId(), Guids20({kKpR50Text})});
constexpr size_t kPropertyAt = 30;  // after the header and the compatible ID

INSTANTIATE_TEST_SUITE_P(
    MsOs20, MalformedSets,
    testing::Values(
        BadCase{"Empty", {}}, BadCase{"TotalTooLarge", With(kGood, 8, {0xA3, 0x00})},
        BadCase{"TotalTooSmall", With(kGood, 8, {0xA1, 0x00})},
        BadCase{"TrailingByte",
                [] {
                  Bytes b = kGood;
                  b.push_back(0);
                  return b;
                }()},
        BadCase{"HeaderLengthNotTen", With(kGood, 0, {0x0B})},
        BadCase{"HeaderOfAnotherType", With(kGood, 2, {0x01})},
        BadCase{"ZeroLengthDescriptor", With(kGood, 10, {0x00, 0x00})},
        BadCase{"DescriptorShorterThanItsPrefix", With(kGood, 10, {0x03, 0x00})},
        BadCase{"DescriptorOverrunsTheSet", With(kGood, kPropertyAt, {0x85, 0x00})},
        BadCase{"CompatibleIdOfWrongLength",
                Set({Bytes{0x10, 0, 3, 0, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0, 0, 0, 0, 0},
                     Guids20({kKpR50Text})})},
        BadCase{"SecondSetHeader",
                Set({Bytes{10, 0, 0, 0, 0, 0, 3, 6, 10, 0}, Guids20({kKpR50Text})})},
        BadCase{"PropertyNameLengthOverruns", With(kGood, kPropertyAt + 6, {0x7F, 0x00})},
        BadCase{"PropertyNameLengthOdd", With(kGood, kPropertyAt + 6, {0x29, 0x00})},
        BadCase{"PropertyDataLengthShort", With(kGood, kPropertyAt + 50, {0x4E, 0x00})},
        BadCase{"PropertyDataLengthLong", With(kGood, kPropertyAt + 50, {0x52, 0x00})},
        BadCase{"PropertyNameUnterminated", Set({[] {
                  Bytes p =
                      Property20(kRegMultiSz, "DeviceInterfaceGUIDs", Utf16({kKpR50Text}, true));
                  p[8 + 40] = 'X';  // the name's zero unit
                  return p;
                }()})},
        BadCase{"PropertyDataOddLength",  // after a sound property, which must not count either
                Set({Guids20({kOtherText}), Property20(kRegMultiSz, "DeviceInterfaceGUIDs",
                                                       [] {
                                                         Bytes d = Utf16({kKpR50Text}, true);
                                                         d.push_back(0);
                                                         return d;
                                                       }())})},
        BadCase{"ConfigurationOverrunsTheSet",
                With(Set({Configuration(0, {Guids20({kKpR50Text})})}), 16, {0xFF, 0x00})},
        BadCase{"ConfigurationShorterThanItsHeader",
                With(Set({Configuration(0, {Guids20({kKpR50Text})})}), 16, {0x07, 0x00})},
        BadCase{"ConfigurationHeaderOfWrongLength",
                With(Set({Configuration(0, {Guids20({kKpR50Text})})}), 10, {0x09, 0x00})},
        BadCase{"ConfigurationInsideConfiguration",
                Set({Configuration(0, {Configuration(0, {Guids20({kKpR50Text})})})})},
        BadCase{"FunctionOutsideAnyConfiguration", Set({Function(0, {Guids20({kKpR50Text})})})},
        BadCase{"FunctionInsideFunction",
                Set({Configuration(0, {Function(0, {Function(0, {Guids20({kKpR50Text})})})})})},
        BadCase{
            "PropertyStraddlesTheEndOfItsFunction",
            With(Set({Configuration(0, {Function(0, {Guids20({kKpR50Text})}), CompatibleId()})}),
                 24, {0x10, 0x00})}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(MsOs20DescriptorSet, FunctionLongerThanItsConfigurationGivesNothing) {
  // The function claims the compatible ID that follows its configuration.
  Bytes set = Set({Configuration(0, {Function(0, {Guids20({kKpR50Text})})}), CompatibleId()});
  const size_t functionLength = set[24] | (set[25] << 8);
  set[24] = static_cast<uint8_t>(functionLength + 20);
  EXPECT_TRUE(Set20(set).empty());
}

TEST(MsOs20DescriptorSet, EveryCutWithAPatchedTotalInventsNothing) {
  // The header agrees with the cut, so only the inner lengths can catch it.
  const Bytes full = Set({Configuration(0, {Function(0, {CompatibleId(), Guids20({kKpR50Text})}),
                                            Function(1, {Guids20({kOtherText})})})});
  ASSERT_EQ(Set20(full), std::vector<Guid>{kKpR50});
  for (size_t n = 10; n < full.size(); ++n) {
    Bytes cut(full.begin(), full.begin() + n);
    cut[8] = static_cast<uint8_t>(n);
    cut[9] = static_cast<uint8_t>(n >> 8);
    EXPECT_TRUE(Set20(cut).empty()) << n;  // the configuration's length overruns every cut
  }
}

// ---- BOS platform capability ------------------------------------------------------------

struct BosCase {
  const char* name;
  Bytes bos;
  std::optional<MsOs20SetInfo> info;
};
void PrintTo(const BosCase& c, std::ostream* os) { *os << c.name; }

class BosDescriptors : public testing::TestWithParam<BosCase> {};

TEST_P(BosDescriptors, FindTheDescriptorSet) {
  const BosCase& c = GetParam();
  const auto info = OnHeap(c.bos, [](auto s) { return ParseBosForMsOs20(s); });
  ASSERT_EQ(info.has_value(), c.info.has_value());
  if (info) {
    EXPECT_EQ(info->vendorCode, c.info->vendorCode);
    EXPECT_EQ(info->setLength, c.info->setLength);
  }
  if (c.info) {
    for (size_t n = 0; n < c.bos.size(); ++n) {
      EXPECT_FALSE(OnHeap(Bytes(c.bos.begin(), c.bos.begin() + n), [](auto s) {
        return ParseBosForMsOs20(s);
      })) << n;
    }
  }
}

const Bytes kMsOs = Platform(kMsOs20PlatformCapabilityUuid, {SetInfo(0x06030000, 0xA2, 0x21)});

INSTANTIATE_TEST_SUITE_P(
    MsOs20, BosDescriptors,
    testing::Values(
        BosCase{"AfterAUsb20Extension", Bos({Usb20Extension(), kMsOs}), MsOs20SetInfo{0x21, 0xA2}},
        BosCase{"AfterWebUsb", Bos({Platform(kWebUsbUuid, {Bytes{0x00, 0x01, 0x22, 0x01}}), kMsOs}),
                MsOs20SetInfo{0x21, 0xA2}},
        BosCase{"NewestWindowsVersionWins",
                Bos({Platform(kMsOs20PlatformCapabilityUuid,
                              {SetInfo(0x06030000, 0x40, 0x01), SetInfo(0x0A000000, 0x80, 0x02),
                               SetInfo(0x06040000, 0x60, 0x03)})}),
                MsOs20SetInfo{0x02, 0x80}},
        BosCase{"OnlyWebUsb",
                Bos({Usb20Extension(), Platform(kWebUsbUuid, {Bytes{0, 1, 0x22, 1}})}),
                std::nullopt},
        BosCase{"OnlyWindowsBefore81",
                Bos({Platform(kMsOs20PlatformCapabilityUuid, {SetInfo(0x06020000, 0xA2, 0x21)})}),
                std::nullopt},
        BosCase{"SetShorterThanItsHeader",
                Bos({Platform(kMsOs20PlatformCapabilityUuid, {SetInfo(0x06030000, 9, 0x21)})}),
                std::nullopt},
        BosCase{"TotalTooLarge", With(Bos({kMsOs}), 2, {34}), std::nullopt},
        BosCase{"MoreCapabilitiesCountedThanPresent", With(Bos({kMsOs}), 4, {2}), std::nullopt},
        BosCase{"BytesBeyondTheCountedCapabilities", With(Bos({kMsOs, Usb20Extension()}), 4, {1}),
                std::nullopt},
        BosCase{"CapabilityOfZeroLength", With(Bos({Usb20Extension(), kMsOs}), 5, {0}),
                std::nullopt},
        BosCase{"CapabilityOverruns", With(Bos({kMsOs}), 5, {29}), std::nullopt},
        BosCase{"CapabilityOfAnotherDescriptorType", With(Bos({kMsOs}), 6, {0x11}), std::nullopt},
        BosCase{"PlatformCapabilityTooShort",
                Bos({Bytes{19, 0x10, 0x05, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}),
                std::nullopt},
        BosCase{"SetInformationNotWhole",
                Bos({Platform(kMsOs20PlatformCapabilityUuid,
                              {SetInfo(0x06030000, 0xA2, 0x21), Bytes{1}})}),
                std::nullopt},
        BosCase{"HeaderLengthNotFive", With(Bos({kMsOs}), 0, {6}), std::nullopt}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- 1.0 string descriptor and extended properties --------------------------------------

TEST(MsOs10StringDescriptor, GivesTheVendorCodeOfMsft100Only) {
  const Bytes good = {0x12, 0x03, 'M', 0,   'S', 0,   'F', 0,    'T',
                      0,    '1',  0,   '0', 0,   '0', 0,   0x5A, 0x00};
  auto parse = [](const Bytes& b) {
    return OnHeap(b, [](auto s) { return ParseMsOs10StringDescriptor(s); });
  };
  EXPECT_EQ(parse(good), std::optional<uint8_t>(0x5A));
  EXPECT_FALSE(parse(With(good, 0, {0x10})));  // bLength
  EXPECT_FALSE(parse(With(good, 1, {0x02})));  // not a string descriptor
  EXPECT_FALSE(parse(With(good, 12, {'1'})));  // "MSFT110"
  EXPECT_FALSE(parse(With(good, 3, {0x01})));  // a unit outside ASCII
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(parse(Bytes(good.begin(), good.begin() + n)));
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(parse(longer));
}

struct ExtendedCase {
  const char* name;
  Bytes descriptor;
  std::vector<Guid> guids;
};
void PrintTo(const ExtendedCase& c, std::ostream* os) { *os << c.name; }

class ExtendedProperties : public testing::TestWithParam<ExtendedCase> {};

TEST_P(ExtendedProperties, GiveTheInterfaceGuids) {
  const ExtendedCase& c = GetParam();
  EXPECT_EQ(Extended10(c.descriptor), c.guids);
  for (size_t n = 0; n < c.descriptor.size(); ++n) {
    EXPECT_TRUE(Extended10(Bytes(c.descriptor.begin(), c.descriptor.begin() + n)).empty()) << n;
  }
}

const Bytes kClassic = Extended({Section10(kRegSz, "DeviceInterfaceGUID", Utf16({kKpR50Text}))});

INSTANTIATE_TEST_SUITE_P(
    MsOs10, ExtendedProperties,
    testing::Values(ExtendedCase{"SingularRegSz", kClassic, {kKpR50}},
                    ExtendedCase{"PluralMultiSzAfterAnotherProperty",
                                 Extended({Section10(kRegSz, "Label", Utf16({"KP-R50"})),
                                           Section10(kRegMultiSz, "DeviceInterfaceGUIDs",
                                                     Utf16({kKpR50Text, kOtherText}, true))}),
                                 {kKpR50, kOther}},
                    ExtendedCase{
                        "WrongValueType",
                        Extended({Section10(4, "DeviceInterfaceGUID", Utf16({kKpR50Text}))}),
                        {}},
                    ExtendedCase{"RegSzWithoutItsZero",
                                 Extended({Section10(kRegSz, "DeviceInterfaceGUID",
                                                     [] {
                                                       Bytes d = Utf16({kKpR50Text});
                                                       d.resize(d.size() - 2);
                                                       return d;
                                                     }())}),
                                 {}}),
    [](const auto& row) { return std::string(row.param.name); });

class MalformedExtendedProperties : public testing::TestWithParam<BadCase> {};

TEST_P(MalformedExtendedProperties, GiveNoGuid) {
  EXPECT_TRUE(Extended10(GetParam().bytes).empty());
}

INSTANTIATE_TEST_SUITE_P(
    MsOs10, MalformedExtendedProperties,
    testing::Values(
        BadCase{"Empty", {}},
        BadCase{"TotalTooLarge", With(kClassic, 0, {static_cast<uint8_t>(kClassic.size() + 1)})},
        BadCase{"TrailingByte",
                [] {
                  Bytes b = kClassic;
                  b.push_back(0);
                  b[0] = static_cast<uint8_t>(b.size());
                  return b;
                }()},
        BadCase{"AnotherVersion", With(kClassic, 4, {0x00, 0x02})},
        BadCase{"AnotherIndex", With(kClassic, 6, {0x04})},
        BadCase{"MoreSectionsCountedThanPresent", With(kClassic, 8, {2})},
        BadCase{"FewerSectionsCountedThanPresent", With(kClassic, 8, {0})},
        BadCase{"SectionOfZeroSize", With(kClassic, 10, {0, 0, 0, 0})},
        BadCase{"SectionShorterThanItsFields", With(kClassic, 10, {13, 0, 0, 0})},
        BadCase{"SectionOverruns", With(kClassic, 10, {0xFF, 0, 0, 0})},
        BadCase{"SectionSizeNearFourGigabytes", With(kClassic, 10, {0xF0, 0xFF, 0xFF, 0xFF})},
        BadCase{"NameLengthOverruns", With(kClassic, 18, {0xFF, 0x00})},
        BadCase{"NameLengthOdd", With(kClassic, 18, {39, 0x00})},
        BadCase{"DataLengthWrong", With(kClassic, 20 + 40, {76, 0, 0, 0})},
        BadCase{"DataLengthNearFourGigabytes", With(kClassic, 20 + 40, {0xF0, 0xFF, 0xFF, 0xFF})}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- GUID text ----------------------------------------------------------------------------

TEST(GuidText, ReadsTheWindowsLayoutWithOrWithoutBraces) {
  for (std::string_view text :
       {"{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}", "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73",
        "{5b6638c7-b7ea-4bf3-8a83-3eaf326c4f73}", "5b6638C7-b7EA-4bf3-8A83-3eaf326C4F73"}) {
    EXPECT_EQ(ParseGuidText(text), std::optional<Guid>(kKpR50)) << text;
  }
  EXPECT_EQ(ParseGuidText(kOtherText), std::optional<Guid>(kOther));
  for (std::string_view bad :
       {"", "{}", "{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73", "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}",
        "(5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73)", "5B6638C7B-7EA-4BF3-8A83-3EAF326C4F73",
        "5B6638C7-B7EA-4BF3-8A833EAF326C4F73-", "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F7G",
        "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F7", "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F733",
        " 5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73", "+B6638C7-B7EA-4BF3-8A83-3EAF326C4F73",
        "5B6638C70B7EA-4BF3-8A83-3EAF326C4F73"}) {  // a digit where a hyphen belongs
    EXPECT_FALSE(ParseGuidText(bad)) << bad;
  }
}

TEST(GuidText, ListsAsUdevPropertiesHoldThem) {
  const std::vector<Guid> both = {kKpR50, kOther};
  EXPECT_EQ(ParseGuidList(
                "{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73},{01234567-89AB-CDEF-0102-030405060708}"),
            both);
  EXPECT_EQ(ParseGuidList(
                " 5b6638c7-b7ea-4bf3-8a83-3eaf326c4f73 ;  01234567-89ab-cdef-0102-030405060708\n"),
            both);
  EXPECT_EQ(ParseGuidList("none,{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}"),
            std::vector<Guid>{kKpR50});
  EXPECT_TRUE(ParseGuidList("").empty());
  EXPECT_TRUE(ParseGuidList(",,; ").empty());
}

}  // namespace
}  // namespace kp::test
