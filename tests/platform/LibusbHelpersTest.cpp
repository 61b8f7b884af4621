// What the libusb backend builds without a device: the serial-number descriptor from the
// kernel's sysfs text, and the udev rule we ship.
#include "platform/usb/LibusbPlatform.h"
#include "platform/usb/MsOsDescriptors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace kp::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct TextCase {
  const char* name;
  std::string utf8;
  std::vector<uint16_t> units;  // expected UTF-16 code units
};
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class SerialFromSysfsText : public testing::TestWithParam<TextCase> {};

TEST_P(SerialFromSysfsText, BecomesAStringDescriptor) {
  const TextCase& c = GetParam();
  const auto descriptor = StringDescriptorFromUtf8(c.utf8);
  ASSERT_TRUE(descriptor);
  Bytes want = {static_cast<uint8_t>(2 + 2 * c.units.size()), kUsbStringDescriptorType};
  for (uint16_t u : c.units) {
    want.push_back(static_cast<uint8_t>(u));
    want.push_back(static_cast<uint8_t>(u >> 8));
  }
  EXPECT_EQ(*descriptor, want);
}

INSTANTIATE_TEST_SUITE_P(
    Libusb, SerialFromSysfsText,
    testing::Values(
        TextCase{
            "HexDigitsWithSysfsNewline", "00001A2B\n", {'0', '0', '0', '0', '1', 'A', '2', 'B'}},
        TextCase{"Empty", "", {}}, TextCase{"OnlyOneNewlineIsDropped", "7\n\n", {'7', '\n'}},
        TextCase{"TwoByteSequence",
                 "\xC5\x81"
                 "d\xC5\xBA",
                 {0x0141, 'd', 0x017A}},
        TextCase{"ThreeByteSequence", "\xE2\x82\xAC", {0x20AC}},
        TextCase{"OutsideTheBasicPlaneAsASurrogatePair", "\xF0\x9F\x94\x91", {0xD83D, 0xDD11}},
        TextCase{"LongestThatFits", std::string(126, 'F'), std::vector<uint16_t>(126, 'F')}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SerialFromSysfsText, RefusesWhatNoDeviceCouldHaveSent) {
  for (const std::string& bad : {std::string(127, 'F'),  // longer than one descriptor holds
                                 std::string(125, 'F') + "\xF0\x9F\x94\x91",  // 127 units
                                 std::string("\x80"),  // a continuation byte first
                                 std::string("\xC5"),  // cut short
                                 std::string("\xC5"
                                             "A"),                 // no continuation
                                 std::string("\xC0\x80"),          // over-long zero
                                 std::string("\xE0\x80\xAF"),      // over-long slash
                                 std::string("\xED\xA0\x80"),      // a surrogate
                                 std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
                                 std::string("\xFF")}) {
    EXPECT_FALSE(StringDescriptorFromUtf8(bad)) << testing::PrintToString(bad);
  }
}

TEST(UdevRule, NamesTheProgrammersInterfaceClassOnItsOneLineToFillIn) {
  std::ifstream file(KP_SOURCE_DIR "/packaging/70-kpnox-koder.rules");
  ASSERT_TRUE(file) << "packaging/70-kpnox-koder.rules";
  // Nothing in the file is an active rule until the marked line is filled in; that line,
  // without its "# ", must tag the device for the seat and name the programmer's class in
  // the property the backend reads.
  std::vector<std::string> templates;
  for (std::string line; std::getline(file, line);) {
    EXPECT_TRUE(line.empty() || line[0] == '#') << line;
    if (line.starts_with("# SUBSYSTEM==")) templates.push_back(line.substr(2));
  }
  ASSERT_EQ(templates.size(), 1u);
  const std::string& rule = templates[0];
  for (const char* part : {"ENV{DEVTYPE}==\"usb_device\"", "ATTR{idVendor}==\"VVVV\"",
                           "ATTR{idProduct}==\"PPPP\"", "TAG+=\"uaccess\""}) {
    EXPECT_NE(rule.find(part), std::string::npos) << part;
  }
  const std::string assignment = "ENV{" + std::string(kInterfaceGuidsProperty) + "}=\"";
  const size_t at = rule.find(assignment);
  ASSERT_NE(at, std::string::npos);
  const size_t value = at + assignment.size();
  const size_t close = rule.find('"', value);
  ASSERT_NE(close, std::string::npos);
  const Guid kpR50 = {0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};
  EXPECT_EQ(msos::ParseGuidList(rule.substr(value, close - value)), std::vector<Guid>{kpR50});
}

}  // namespace
}  // namespace kp::test
