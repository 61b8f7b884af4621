// LibusbPlatform on devices that umockdev plays back; ctest runs this program under
// umockdev-run (run alone, every test skips). data/kpr50.umockdev describes, by hand in the
// form umockdev-record writes, three devices on bus 1:
//   1-2, address 5: the programmer (1209:0001), tagged by udev with its interface GUID,
//        serial "00001A2B", interface 0 with bulk IN 81, bulk OUT 01 and interrupt IN 82;
//   1-3, address 6: the same interface, no udev tag, so it is probed for Microsoft OS
//        descriptors (umockdev cannot answer control transfers: the probe finds nothing);
//   1-4, address 7: tagged with another GUID.
// data/kpr50.ioctl holds the programmer's answer to one status command. The LibusbOnEmptyBus
// tests run in a testbed with no device at all.
#include "platform/usb/LibusbPlatform.h"
#include "programmer/KpR50.h"
#include "UnreadableNode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kp::test {
namespace {

const Guid kOtherClass = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};
const Guid kUnusedClass = {0xCAFEF00D, 0x0000, 0x1111, {2, 2, 2, 2, 2, 2, 2, 2}};
constexpr const char* kProgrammerPath = "usb:1-2";

#define SKIP_OUTSIDE_TESTBED()                                           \
  if (std::getenv("UMOCKDEV_DIR") == nullptr) {                          \
    GTEST_SKIP() << "runs under umockdev-run; ctest starts it that way"; \
  }

// Every member's path, through the two-call size protocol.
std::vector<std::string> ListPaths(UsbPlatform& platform, const Guid& interfaceClass) {
  const DevInfoHandle list = platform.SetupDiGetClassDevsA(interfaceClass);
  EXPECT_NE(list, kInvalidHandle);
  std::vector<std::string> paths;
  DeviceInterfaceData member;
  for (uint32_t i = 0; platform.SetupDiEnumDeviceInterfaces(list, interfaceClass, i, &member);
       ++i) {
    uint32_t size = 0;
    EXPECT_FALSE(platform.SetupDiGetDeviceInterfaceDetailA(list, member, nullptr, 0, &size));
    std::string path(size, 'x');
    EXPECT_TRUE(platform.SetupDiGetDeviceInterfaceDetailA(list, member, path.data(), size, &size));
    EXPECT_EQ(path.back(), '\0');
    path.pop_back();
    paths.push_back(path);
  }
  EXPECT_TRUE(platform.SetupDiDestroyDeviceInfoList(list));
  return paths;
}

struct Transfer {
  int32_t direction;
  std::vector<uint8_t> bytes;
  bool operator==(const Transfer&) const = default;
};

class RecordingTrace : public TraceSet {
 public:
  void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t,
                     int32_t) override {
    transfers.push_back({direction, std::vector<uint8_t>(bytes, bytes + count)});
  }
  std::vector<Transfer> transfers;
};

TEST(LibusbUnderUmockdev, ListsTheDevicesUdevTaggedWithTheGuidAndProbesTheUntaggedOnce) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  EXPECT_EQ(ListPaths(platform, kKpR50InterfaceGuid), std::vector<std::string>{kProgrammerPath});
  EXPECT_EQ(ListPaths(platform, kOtherClass), std::vector<std::string>{"usb:1-4"});
  EXPECT_TRUE(ListPaths(platform, kUnusedClass).empty());
  EXPECT_EQ(ListPaths(platform, kKpR50InterfaceGuid), std::vector<std::string>{kProgrammerPath});
  // Only 1-3 carries no tag; its (failed) probe is remembered for as long as it stays.
  EXPECT_EQ(platform.ProbeCount(), 1u);
  EXPECT_EQ(platform.OpenDeviceCount(), 0u);
}

TEST(LibusbUnderUmockdev, OpenIsExclusiveUntilClosed) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  ASSERT_EQ(ListPaths(platform, kKpR50InterfaceGuid).size(), 1u);
  const FileHandle first = platform.CreateFileA(kProgrammerPath);
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_EQ(platform.CreateFileA(kProgrammerPath), kInvalidHandle);
  EXPECT_EQ(platform.OpenDeviceCount(), 1u);
  EXPECT_TRUE(platform.CloseHandle(first));
  EXPECT_FALSE(platform.CloseHandle(first));
  EXPECT_EQ(platform.OpenDeviceCount(), 0u);
  const FileHandle again = platform.CreateFileA(kProgrammerPath);
  EXPECT_NE(again, kInvalidHandle);
  EXPECT_TRUE(platform.CloseHandle(again));
}

TEST(LibusbUnderUmockdev, AProgrammerThatMayNotBeOpenedIsReportedWithItsPlace) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  ASSERT_EQ(ListPaths(platform, kKpR50InterfaceGuid).size(), 1u);
  {
    const kp::test::UnreadableNode unreadable(std::string(std::getenv("UMOCKDEV_DIR")) +
                                              "/dev/bus/usb/001/005");
    EXPECT_EQ(platform.CreateFileA(kProgrammerPath), kInvalidHandle);
    EXPECT_EQ(platform.UnreachableDevices(),
              (std::vector<UnreachableDevice>{{"001/005", Unreachable::NoPermission}}));
  }
  // Once the rule lets it be opened, the reason goes.
  const FileHandle file = platform.CreateFileA(kProgrammerPath);
  EXPECT_NE(file, kInvalidHandle);
  EXPECT_TRUE(platform.UnreachableDevices().empty());
  EXPECT_TRUE(platform.CloseHandle(file));
}

TEST(LibusbUnderUmockdev, OpensOnlyListedPaths) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  // Before any listing, and for devices that were never members of a listed class.
  EXPECT_EQ(platform.CreateFileA(kProgrammerPath), kInvalidHandle);
  ASSERT_EQ(ListPaths(platform, kKpR50InterfaceGuid).size(), 1u);
  for (const char* path : {"usb:1-3", "usb:9-9", "/dev/bus/usb/001/005", ""}) {
    EXPECT_EQ(platform.CreateFileA(path), kInvalidHandle) << path;
  }
  EXPECT_EQ(platform.CreateFileA(nullptr), kInvalidHandle);
  EXPECT_EQ(platform.OpenDeviceCount(), 0u);
}

TEST(LibusbUnderUmockdev, LinkIdentifiesTheProgrammerFromCachedDescriptorsAndSysfs) {
  SKIP_OUTSIDE_TESTBED();
  // umockdev answers no control transfer, so every descriptor the link reads must come from
  // what the kernel keeps; the serial number from sysfs.
  LibusbPlatform platform;
  KpR50 programmer(platform, &kKpR50InterfaceGuid, traceSink);
  ASSERT_TRUE(programmer.Link());
  EXPECT_EQ(programmer.vendorId, 0x1209);
  EXPECT_EQ(programmer.productId, 0x0001);
  EXPECT_EQ(programmer.pipeIn, 0x81);
  EXPECT_EQ(programmer.pipeOut, 0x01);
  EXPECT_EQ(programmer.serialNumber, 0x1A2Bu);

  InterfaceDescriptor itf;
  ASSERT_TRUE(platform.WinUsb_QueryInterfaceSettings(programmer.winUsbHandle, 0, &itf));
  EXPECT_EQ(itf.bNumEndpoints, 3);
  EXPECT_EQ(itf.bInterfaceClass, 0xFF);
  PipeInformation pipe;
  ASSERT_TRUE(platform.WinUsb_QueryPipe(programmer.winUsbHandle, 0, 2, &pipe));
  EXPECT_EQ(pipe.pipeType, PipeType::Interrupt);
  EXPECT_EQ(pipe.pipeId, 0x82);
  EXPECT_EQ(pipe.maximumPacketSize, 8);
  EXPECT_FALSE(platform.WinUsb_QueryPipe(programmer.winUsbHandle, 0, 3, &pipe));
  EXPECT_FALSE(platform.WinUsb_QueryInterfaceSettings(programmer.winUsbHandle, 1, &itf));

  uint8_t serial[64];
  uint32_t n = 0;
  ASSERT_TRUE(platform.WinUsb_GetDescriptor(programmer.winUsbHandle, kUsbStringDescriptorType, 3,
                                            kLanguageEnUs, serial, sizeof serial, &n));
  const std::vector<uint8_t> want = {18, 3,   '0', 0,   '0', 0,   '0', 0,   '0',
                                     0,  '1', 0,   'A', 0,   '2', 0,   'B', 0};
  EXPECT_EQ(std::vector<uint8_t>(serial, serial + n), want);
  programmer.Close();
  EXPECT_EQ(platform.OpenDeviceCount(), 0u);
}

TEST(LibusbUnderUmockdev, SecondProgrammerObjectCannotTakeTheHeldOne) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  KpR50 held(platform, &kKpR50InterfaceGuid, traceSink);
  KpR50 second(platform, &kKpR50InterfaceGuid, traceSink);
  ASSERT_TRUE(held.Link());
  EXPECT_FALSE(second.Link());
  EXPECT_EQ(second.fileHandle, kInvalidHandle);
  EXPECT_EQ(second.winUsbHandle, kInvalidHandle);
  held.Close();
  EXPECT_TRUE(second.Link());
}

TEST(LibusbUnderUmockdev, StatusCommandFillsTheStatusWords) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  RecordingTrace trace;
  KpR50 programmer(platform, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(programmer.Link());
  programmer.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(programmer.programmerNumber, 0x1234);
  EXPECT_EQ(programmer.modelCode, 0x00AA);
  EXPECT_EQ(programmer.firmwareVersion, 0x0105);
  EXPECT_EQ(programmer.statusWord, 0x1487);
  // The drain after opening ends on a read that brings nothing, then request and reply.
  const std::vector<Transfer> want = {
      {kTraceFromDevice, {}},
      {kTraceToDevice, {0x05, 0x00, 0x4D, 0xA1, 0xF4}},
      {kTraceFromDevice,
       {0x0D, 0x00, 0xCD, 0x34, 0x12, 0xAA, 0x00, 0x05, 0x01, 0x87, 0x14, 0x2F, 0xC2}}};
  EXPECT_EQ(trace.transfers, want);
}

TEST(LibusbUnderUmockdev, RefusesWhatWinUsbRefuses) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  KpR50 programmer(platform, &kKpR50InterfaceGuid, traceSink);
  ASSERT_TRUE(programmer.Link());
  const WinUsbHandle h = programmer.winUsbHandle;
  const uint32_t ms = 20;
  const uint8_t byte = 0;
  uint8_t buffer[8];
  uint32_t n = 0;
  EXPECT_TRUE(platform.WinUsb_SetPipePolicy(h, 0x81, kPipeTransferTimeout, 4, &ms));
  EXPECT_FALSE(
      platform.WinUsb_SetPipePolicy(h, 0x83, kPipeTransferTimeout, 4, &ms));  // no such pipe
  EXPECT_FALSE(platform.WinUsb_SetPipePolicy(h, 0x81, 7, 4, &ms));            // another policy
  EXPECT_FALSE(platform.WinUsb_SetPipePolicy(h, 0x81, kPipeTransferTimeout, 2, &ms));
  EXPECT_FALSE(platform.WinUsb_WritePipe(h, 0x81, &byte, 1, &n));  // writing to the IN pipe
  EXPECT_FALSE(platform.WinUsb_ReadPipe(h, 0x01, buffer, sizeof buffer, &n));
  EXPECT_FALSE(platform.WinUsb_WritePipe(h, 0x02, &byte, 1, &n));  // no such pipe
  EXPECT_FALSE(platform.WinUsb_GetDescriptor(h + 1000, kUsbDeviceDescriptorType, 0, 0, buffer,
                                             sizeof buffer, &n));
  EXPECT_FALSE(platform.WinUsb_Free(h + 1000));
  EXPECT_FALSE(platform.CloseHandle(programmer.fileHandle + 1000));
  EXPECT_FALSE(platform.SetupDiDestroyDeviceInfoList(12345));
  DeviceInterfaceData member;
  EXPECT_FALSE(platform.SetupDiEnumDeviceInterfaces(12345, kKpR50InterfaceGuid, 0, &member));
  // The short device-descriptor read the link never makes still gets the first bytes.
  ASSERT_TRUE(platform.WinUsb_GetDescriptor(h, kUsbDeviceDescriptorType, 0, 0, buffer, 8, &n));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + n),
            (std::vector<uint8_t>{18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64}));
}

TEST(LibusbOnEmptyBus, LinkFindsNothingAndLeavesNothingOpen) {
  SKIP_OUTSIDE_TESTBED();
  LibusbPlatform platform;
  EXPECT_TRUE(ListPaths(platform, kKpR50InterfaceGuid).empty());
  KpR50 programmer(platform, &kKpR50InterfaceGuid, traceSink);
  EXPECT_FALSE(programmer.Link());
  EXPECT_FALSE(programmer.isOpen);
  EXPECT_EQ(programmer.fileHandle, kInvalidHandle);
  EXPECT_EQ(programmer.winUsbHandle, kInvalidHandle);
  EXPECT_EQ(platform.OpenDeviceCount(), 0u);
  EXPECT_EQ(platform.ProbeCount(), 0u);
}

}  // namespace
}  // namespace kp::test
