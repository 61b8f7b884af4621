// kpnox-cli doctor's judging: from the facts, the one verdict, its exit code and its next
// step; the udev rule's text read as udev would take it; and a report that stays valid JSON
// whatever names it carries.
#include "cli/CliRun.h"
#include "cli/Doctor.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kp::test {
using namespace kp::doctor;
namespace {

UsbDevice Device(Open open, FoundBy by = FoundBy::UdevRule, uint8_t address = 5) {
  UsbDevice d;
  d.foundBy = by;
  d.open = open;
  d.bus = 1;
  d.address = address;
  d.vendorId = 0x1209;
  d.productId = address == 5 ? 0x0001 : 0x0002;
  d.node.path = "/dev/bus/usb/001/00" + std::to_string(address);
  d.node.exists = true;
  return d;
}

UsbDevice WithHolder(UsbDevice d) {
  d.holders = {{4242, "kpnox-koder"}};
  return d;
}

UsbDevice Windows(FoundBy by, const std::string& service, bool present = true) {
  UsbDevice d;
  d.foundBy = by;
  d.instanceId = "USB\\VID_1209&PID_0001\\00001A2B";
  d.service = service;
  d.present = present;
  return d;
}

RuleFile Rule(const std::string& path, std::vector<std::string> ids, bool overridden = false) {
  RuleFile r;
  r.path = path;
  r.state = ids.empty() ? RuleFile::State::Template : RuleFile::State::Filled;
  r.ids = std::move(ids);
  r.overridden = overridden;
  return r;
}

const std::string kEtc = "/etc/udev/rules.d/70-kpnox-koder.rules";
const std::string kUsr = "/usr/lib/udev/rules.d/70-kpnox-koder.rules";

struct Machine {
  Facts facts;
  Machine(std::vector<UsbDevice> devices, std::vector<RuleFile> rules = {}) {
    facts.system = Facts::System::Linux;
    facts.udevRunning = true;
    facts.devices = std::move(devices);
    facts.rules = std::move(rules);
  }
  Machine& NoUdev(bool container) {
    facts.udevRunning = false;
    facts.container = container;
    return *this;
  }
  Machine& OnWindows() {
    facts.system = Facts::System::Windows;
    return *this;
  }
  Machine& Simulator(Open open) {
    facts.simulators.push_back({"kpr50-sim 4711.1", "unix", open});
    return *this;
  }
  Machine& NotListed() {
    facts.listed = false;
    return *this;
  }
};

struct JudgeRow {
  const char* name;
  Machine machine;
  Verdict verdict;
  std::string step;  // a part of the English step
};

TEST(Doctor, JudgesTheOneNextStep) {
  UsbDevice missingNode = Device(Open::NoPermission);
  missingNode.node.exists = false;
  UsbDevice unreadable = Device(Open::NotTried, FoundBy::VendorInterface, 6);
  unreadable.unreadable = true;
  const JudgeRow rows[] = {
      {"ready",
       Machine({Device(Open::Opened), Device(Open::NotTried, FoundBy::VendorInterface, 6)}),
       Verdict::Ready, "001/005 (1209:0001) is ready"},
      {"two real", Machine({Device(Open::Opened), Device(Open::Opened, FoundBy::UdevRule, 6)}),
       Verdict::TwoProgrammers, "leave one programmer connected"},
      {"real and simulator", Machine({Device(Open::Opened)}).Simulator(Open::Opened),
       Verdict::TwoProgrammers, "close the simulator kpr50-sim"},
      {"held, holder seen",
       Machine({Device(Open::NoPermission, FoundBy::UdevRule, 6), WithHolder(Device(Open::Held))}),
       Verdict::Held, "holds 001/005 (1209:0001): kpnox-koder (PID 4242)"},
      {"held, holder unseen", Machine({Device(Open::Held)}), Verdict::Held, "a second KpNOX Koder"},
      {"no rule", Machine({Device(Open::NoPermission)}), Verdict::NoPermission,
       "install the udev rule with the ids 1209:0001"},
      {"template of the package", Machine({Device(Open::NoPermission)}, {Rule(kUsr, {})}),
       Verdict::NoPermission,
       "copy " + kUsr + " to /etc/udev/rules.d/ and in " + kEtc + " put 1209:0001 in place of"},
      {"template in /etc hides a filled one",
       Machine({Device(Open::NoPermission)}, {Rule(kEtc, {}), Rule(kUsr, {"1209:0001"}, true)}),
       Verdict::NoPermission, "in " + kEtc + " put 1209:0001 in place of VVVV:PPPP"},
      {"other ids", Machine({Device(Open::NoPermission)}, {Rule(kEtc, {"1a2b:3c4d"})}),
       Verdict::NoPermission,
       "put 1209:0001 into " + kEtc + " (in lower case; it holds 1a2b:3c4d)"},
      // udev compares the text: sysfs has the ids in lower case.
      {"ids in upper case", Machine({Device(Open::NoPermission)}, {Rule(kEtc, {"1209:000A"})}),
       Verdict::NoPermission, "it holds 1209:000A"},
      {"rule in a container",
       Machine({Device(Open::NoPermission)}, {Rule(kEtc, {"1209:0001"})}).NoUdev(true),
       Verdict::NoPermission, "pass the node /dev/bus/usb/001/005 into the container"},
      {"udev stopped",
       Machine({Device(Open::NoPermission)}, {Rule(kEtc, {"1209:0001"})}).NoUdev(false),
       Verdict::NoPermission, "udev is not running"},
      {"tagged, not at the seat",
       Machine({Device(Open::NoPermission)}, {Rule(kEtc, {"1209:0001"})}), Verdict::NoPermission,
       "only to the user logged in at this computer"},
      {"node missing", Machine({missingNode}), Verdict::NoPermission,
       "the node /dev/bus/usb/001/005 is missing"},
      {"broken", Machine({Device(Open::Failed)}), Verdict::Broken,
       "unplug 001/005 (1209:0001) and plug it in again"},
      {"unnamed, rule not applied", Machine({unreadable}, {Rule(kEtc, {"1209:0002"})}),
       Verdict::NotNamed,
       "if 001/006 (1209:0002) is the KP-R50: the rule " + kEtc +
           " is there but udev has not applied it"},
      {"unnamed before the simulator", Machine({unreadable}).Simulator(Open::Opened),
       Verdict::NotNamed, "if 001/006 (1209:0002) is the KP-R50: install the udev rule"},
      {"training PC", Machine({}).Simulator(Open::Opened), Verdict::SimulatorOnly,
       "only the simulator"},
      {"simulator held", Machine({}).Simulator(Open::Held), Verdict::SimulatorOnly,
       "holds the simulator's programmer"},
      {"simulator gone, socket left", Machine({}).Simulator(Open::Failed), Verdict::NoDevice,
       "lsusb should show it"},
      {"no list", Machine({}).NotListed(), Verdict::NoList, "cannot be listed"},
      {"container", Machine({}).NoUdev(true), Verdict::NoDevice,
       "container without the host's USB devices"},
      {"nothing", Machine({}), Verdict::NoDevice, "lsusb should show it"},
      {"windows nothing", Machine({}).OnWindows(), Verdict::NoDevice, "install its WinUSB driver"},
      {"windows no driver", Machine({Windows(FoundBy::NoDriver, "")}).OnWindows(),
       Verdict::NoDriver,
       "install the programmer's WinUSB driver (it comes with the KP-R50) for "
       "USB\\VID_1209&PID_0001\\00001A2B"},
      {"windows other driver", Machine({Windows(FoundBy::DeviceRegistry, "usbser")}).OnWindows(),
       Verdict::NoDriver, "is served by the driver usbser"},
      {"windows unplugged",
       Machine({Windows(FoundBy::InterfaceClass, "WinUSB", false)}).OnWindows(), Verdict::Unplugged,
       "plug the programmer in (it has been connected to this PC before)"},
  };
  for (const JudgeRow& row : rows) {
    SCOPED_TRACE(row.name);
    const Judgement j = Judge(row.machine.facts);
    EXPECT_EQ(VerdictWord(j.verdict), std::string(VerdictWord(row.verdict)));
    EXPECT_EQ(j.exitCode, row.verdict == Verdict::Ready ? kExitDone : kExitNoUsableProgrammer);
    EXPECT_NE(j.stepEn.find(row.step), std::string::npos) << j.stepEn;
    EXPECT_FALSE(j.stepPl.empty());
  }
}

std::string ShippedTemplate() {
  std::ifstream file(KP_SOURCE_DIR "/packaging/70-kpnox-koder.rules");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The template's marked line, filled in as the README says.
std::string Filled(std::string rule, const std::string& vendor, const std::string& product) {
  const size_t line = rule.find("# SUBSYSTEM==");
  rule.erase(line, 2);
  rule.replace(rule.find("VVVV", line), 4, vendor);
  rule.replace(rule.find("PPPP", line), 4, product);
  return rule;
}

TEST(Doctor, ReadsTheRuleAsUdevWould) {
  const std::string shipped = ShippedTemplate();
  ASSERT_NE(shipped.find("KPNOX_DEVICE_INTERFACE_GUIDS"), std::string::npos);
  struct Row {
    const char* name;
    std::string text;
    RuleFile::State state;
    std::vector<std::string> ids;
  } rows[] = {
      {"as shipped", shipped, RuleFile::State::Template, {}},
      {"filled in", Filled(shipped, "1a2b", "3c4d"), RuleFile::State::Filled, {"1a2b:3c4d"}},
      {"two programmers",
       Filled(shipped, "1a2b", "3c4d") +
           "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1A2B\", "
           "ATTRS{idProduct}==\"0002\", ENV{KPNOX_DEVICE_INTERFACE_GUIDS}=\"x\"\n",
       RuleFile::State::Filled,
       {"1a2b:3c4d", "1A2B:0002"}},
      {"only uncommented", Filled(shipped, "VVVV", "PPPP"), RuleFile::State::Broken, {}},
      {"no product",
       "ATTR{idVendor}==\"1a2b\", ENV{KPNOX_DEVICE_INTERFACE_GUIDS}=\"x\"",
       RuleFile::State::Broken,
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RuleFile rule = ReadRule(row.text);
    EXPECT_EQ(static_cast<int>(rule.state), static_cast<int>(row.state));
    EXPECT_EQ(rule.ids, row.ids);
  }
}

// A strict reader of one JSON value: enough to tell that the report parses.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : t_(text) {}
  bool WholeObject() {
    if (!Value() || t_[at_] != '\n') return false;
    return ++at_ == t_.size();
  }

 private:
  bool Value() {
    if (at_ >= t_.size()) return false;
    switch (t_[at_]) {
      case '{': return Sequence('}', true);
      case '[': return Sequence(']', false);
      case '"': return String();
      default: break;
    }
    for (const char* word : {"true", "false", "null"}) {
      if (t_.compare(at_, std::strlen(word), word) == 0) {
        at_ += std::strlen(word);
        return true;
      }
    }
    const size_t start = at_;
    while (at_ < t_.size() &&
           (std::isdigit(static_cast<unsigned char>(t_[at_])) != 0 || t_[at_] == '-'))
      ++at_;
    return at_ > start;
  }
  bool Sequence(char close, bool keyed) {
    ++at_;
    if (at_ < t_.size() && t_[at_] == close) return ++at_, true;
    while (true) {
      if (keyed && !(String() && at_ < t_.size() && t_[at_++] == ':')) return false;
      if (!Value() || at_ >= t_.size()) return false;
      const char c = t_[at_++];
      if (c == close) return true;
      if (c != ',') return false;
    }
  }
  bool String() {
    if (at_ >= t_.size() || t_[at_] != '"') return false;
    for (++at_; at_ < t_.size(); ++at_) {
      const auto c = static_cast<unsigned char>(t_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        ++at_;
        if (at_ < t_.size() && t_[at_] == 'u')
          at_ += 4;
        else if (at_ >= t_.size() || std::string("\"\\/bfnrt").find(t_[at_]) == std::string::npos)
          return false;
      }
    }
    return false;
  }
  const std::string& t_;
  size_t at_ = 0;
};

TEST(Doctor, JsonReportParsesWhateverTheNamesHold) {
  UsbDevice held = Device(Open::Held);
  held.holders = {{7, "a\"b\\c\x01\xff"}};  // a process may call itself anything
  held.node.acl = std::vector<std::string>{"user:anna:rw-", "mask::rw-"};
  held.serial = "\xc5\x82\xc3";  // a letter, then a cut one
  Machine linux({held, Device(Open::NoPermission, FoundBy::VendorInterface, 6)},
                {Rule(kEtc, {"1209:0001"})});
  linux.Simulator(Open::Opened);
  Machine windows(
      {Windows(FoundBy::NoDriver, ""), Windows(FoundBy::InterfaceClass, "WinUSB", false)});
  windows.OnWindows();
  for (const Facts& facts : {linux.facts, windows.facts, Machine({}).facts}) {
    const std::string json = DoctorJson(facts, Judge(facts));
    EXPECT_TRUE(JsonReader(json).WholeObject()) << json;
  }
  const std::string json = DoctorJson(linux.facts, Judge(linux.facts));
  EXPECT_NE(json.find(R"("name":"a\"b\\c\u0001\ufffd")"), std::string::npos) << json;
  EXPECT_NE(json.find("\"serial\":\"\xc5\x82\\ufffd\""), std::string::npos) << json;
  EXPECT_NE(json.find(R"("verdict":"held","exit_code":7)"), std::string::npos) << json;
}

}  // namespace
}  // namespace kp::test
