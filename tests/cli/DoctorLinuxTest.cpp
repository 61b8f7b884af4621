// kpnox-cli doctor on Linux, on devices umockdev plays back; ctest runs each group in its
// own testbed (run alone, every test skips). The data/ descriptions, written by hand:
//   doctor-programmer: the KP-R50 (1209:0001) at 1-2, bus 1 address 5, tagged by udev with
//     its interface class; serial 00001A2B; interface 0 with bulk IN 81, OUT 01, interrupt 82;
//   doctor-claimed: the same, its interface 0 claimed through usbfs by some program;
//   doctor-unnamed: at 1-3, address 6, 1209:0002, the same kind of interface, no udev tag
//     (umockdev answers no control transfer, so no descriptor names it either).
// What umockdev cannot fake, the rule folders, /run/udev and /proc, is a tree made here.
#include "cli/CliRun.h"
#include "cli/Doctor.h"
#include "link/WUsbBulkD.h"
#include "RuntimeFolder.h"
#include "UnreadableNode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kp::test {
using namespace kp::doctor;
namespace {

namespace fs = std::filesystem;

#define SKIP_OUTSIDE_TESTBED()                                           \
  if (std::getenv("UMOCKDEV_DIR") == nullptr) {                          \
    GTEST_SKIP() << "runs under umockdev-run; ctest starts it that way"; \
  }

const std::string kTemplate = KP_SOURCE_DIR "/packaging/70-kpnox-koder.rules";

// The file-system root and /proc of a machine, made fresh in the test's runtime folder (which
// also keeps the simulator's folders empty).
class FakeMachine {
 public:
  FakeMachine() : root_(runtime_.Path() + "/root"), proc_(runtime_.Path() + "/proc") {
    fs::create_directories(proc_);
    Write("/run/udev/control", "");
  }
  void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << text;
  }
  // A process `name` with `target` open as its file descriptor 7.
  void Process(long pid, const std::string& name, const std::string& target) {
    const std::string dir = proc_ + "/" + std::to_string(pid);
    fs::create_directories(dir + "/fd");
    std::ofstream(dir + "/comm") << name << '\n';
    fs::create_symlink(target, dir + "/fd/7");
  }
  Roots MachineRoots() const { return {"/sys", "/dev", proc_, root_}; }
  const std::string& Root() const { return root_; }

 private:
  kp::test::RuntimeFolder runtime_;
  std::string root_;
  std::string proc_;
};

std::string FilledRule(const std::string& ids) {
  return "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + ids.substr(0, 4) + "\", ATTR{idProduct}==\"" +
         ids.substr(5) +
         "\", TAG+=\"uaccess\", ENV{KPNOX_DEVICE_INTERFACE_GUIDS}=\"{5B6638C7-"
         "B7EA-4BF3-8A83-3EAF326C4F73}\"\n";
}

std::string Node(const char* name) {
  return std::string(std::getenv("UMOCKDEV_DIR")) + "/dev/bus/usb/001/" + name;
}

TEST(DoctorUnderUmockdev, TheTaggedProgrammerOpens) {
  SKIP_OUTSIDE_TESTBED();
  FakeMachine machine;
  machine.Write("/etc/udev/rules.d/70-kpnox-koder.rules", FilledRule("1209:0001"));
  const Facts facts = GatherFacts(kKpR50InterfaceGuid, machine.MachineRoots());
  ASSERT_EQ(facts.devices.size(), 2u);
  const UsbDevice& programmer = facts.devices[0];
  EXPECT_EQ(programmer.foundBy, FoundBy::UdevRule);
  EXPECT_EQ(programmer.open, Open::Opened);
  EXPECT_EQ(programmer.serial, "00001A2B");
  EXPECT_EQ(programmer.interface, "ff/00/00, bulk IN 81, bulk OUT 01, interrupt IN 82");
  EXPECT_EQ(programmer.node.path, "/dev/bus/usb/001/005");
  EXPECT_TRUE(programmer.node.readWrite);
  EXPECT_TRUE(programmer.holders.empty());
  const UsbDevice& other = facts.devices[1];
  EXPECT_EQ(other.foundBy, FoundBy::VendorInterface);
  EXPECT_EQ(other.open, Open::NotTried);
  EXPECT_FALSE(other.unreadable);
  EXPECT_TRUE(facts.udevRunning);
  EXPECT_FALSE(facts.container);
  ASSERT_EQ(facts.rules.size(), 1u);
  EXPECT_EQ(facts.rules[0].ids, std::vector<std::string>{"1209:0001"});
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::Ready);
  EXPECT_EQ(j.exitCode, kExitDone);
  const std::string text = DoctorText(facts, j);
  EXPECT_NE(text.find("filled in 1209:0001, pasuje do / matches 001/005"), std::string::npos)
      << text;
}

TEST(DoctorUnderUmockdev, DevicesThatNeedRoot) {
  SKIP_OUTSIDE_TESTBED();
  FakeMachine machine;
  machine.Write("/etc/udev/rules.d/70-kpnox-koder.rules", FilledRule("1209:0001"));
  const kp::test::UnreadableNode programmerNode(Node("005"));
  const kp::test::UnreadableNode otherNode(Node("006"));
  const Facts facts = GatherFacts(kKpR50InterfaceGuid, machine.MachineRoots());
  ASSERT_EQ(facts.devices.size(), 2u);
  const UsbDevice& programmer = facts.devices[0];
  EXPECT_EQ(programmer.open, Open::NoPermission);
  EXPECT_FALSE(programmer.node.readWrite);
  EXPECT_EQ(programmer.node.mode, 0u);
  // Not tagged, it could not be asked what it is: its ids come from sysfs.
  const UsbDevice& other = facts.devices[1];
  EXPECT_TRUE(other.unreadable);
  EXPECT_EQ(other.vendorId, 0x1209);
  EXPECT_EQ(other.productId, 0x0002);
  EXPECT_EQ(other.serial, "5C");
  // Tagged by a rule that matches, in a running udev: the seat is what is missing.
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::NoPermission);
  EXPECT_EQ(j.exitCode, kExitNoUsableProgrammer);
  EXPECT_NE(j.stepEn.find("uaccess"), std::string::npos) << j.stepEn;
  const std::string text = DoctorText(facts, j);
  EXPECT_NE(text.find("/dev/bus/usb/001/005 root:root 0000"), std::string::npos) << text;
  EXPECT_NE(text.find("cannot be read without root"), std::string::npos) << text;
}

TEST(DoctorUnderUmockdev, AProgrammerHeldByAnotherProcess) {
  SKIP_OUTSIDE_TESTBED();
  FakeMachine machine;
  machine.Process(4242, "kpnox-koder", "/dev/bus/usb/001/005");
  machine.Process(4243, "bash", "/dev/pts/0");
  const Facts facts = GatherFacts(kKpR50InterfaceGuid, machine.MachineRoots());
  ASSERT_EQ(facts.devices.size(), 1u);
  const UsbDevice& programmer = facts.devices[0];
  EXPECT_EQ(programmer.driver, "usbfs");
  EXPECT_EQ(programmer.open, Open::Held);
  EXPECT_EQ(programmer.holders, (std::vector<Holder>{{4242, "kpnox-koder"}}));
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::Held);
  EXPECT_NE(j.stepEn.find("kpnox-koder (PID 4242)"), std::string::npos) << j.stepEn;
  EXPECT_NE(DoctorText(facts, j).find("open in: kpnox-koder (PID 4242)"), std::string::npos);
}

TEST(DoctorUnderUmockdev, TheTemplateRuleWaitsForTheIds) {
  SKIP_OUTSIDE_TESTBED();
  FakeMachine machine;
  std::ifstream shipped(kTemplate);
  machine.Write("/usr/lib/udev/rules.d/70-kpnox-koder.rules",
                std::string(std::istreambuf_iterator<char>(shipped), {}));
  fs::create_directory_symlink("usr/lib", machine.Root() + "/lib");  // merged /usr: read once
  const Facts facts = GatherFacts(kKpR50InterfaceGuid, machine.MachineRoots());
  ASSERT_EQ(facts.rules.size(), 1u);
  EXPECT_EQ(facts.rules[0].state, RuleFile::State::Template);
  EXPECT_EQ(facts.rules[0].path, "/usr/lib/udev/rules.d/70-kpnox-koder.rules");
  ASSERT_EQ(facts.devices.size(), 1u);
  EXPECT_EQ(facts.devices[0].foundBy, FoundBy::VendorInterface);
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::NotNamed);
  EXPECT_NE(
      j.stepEn.find("if 001/006 (1209:0002) is the KP-R50: copy "
                    "/usr/lib/udev/rules.d/70-kpnox-koder.rules to /etc/udev/rules.d/ and in "
                    "/etc/udev/rules.d/70-kpnox-koder.rules put 1209:0002 in place of VVVV:PPPP"),
      std::string::npos)
      << j.stepEn;
}

TEST(DoctorOnEmptyBus, NothingToFind) {
  SKIP_OUTSIDE_TESTBED();
  FakeMachine machine;
  const Facts facts = GatherFacts(kKpR50InterfaceGuid, machine.MachineRoots());
  EXPECT_TRUE(facts.listed);
  EXPECT_TRUE(facts.devices.empty());
  EXPECT_TRUE(facts.rules.empty());
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::NoDevice);
  EXPECT_EQ(j.exitCode, kExitNoUsableProgrammer);
}

}  // namespace
}  // namespace kp::test
