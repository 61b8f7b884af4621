// The virtual bus itself: enumeration, exclusive open, the virtual clock and faults.
#include "platform/virtual/VirtualBus.h"

#include <gtest/gtest.h>

namespace kp::test {
namespace {

const Guid kClass = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

struct Opened {
  FileHandle file = kInvalidHandle;
  WinUsbHandle usb = kInvalidHandle;
};

Opened OpenFirst(VirtualBus& bus) {
  Opened o;
  const DevInfoHandle list = bus.SetupDiGetClassDevsA(kClass);
  DeviceInterfaceData data;
  if (bus.SetupDiEnumDeviceInterfaces(list, kClass, 0, &data)) {
    uint32_t size = 0;
    EXPECT_FALSE(bus.SetupDiGetDeviceInterfaceDetailA(list, data, nullptr, 0, &size));
    std::string path(size, '\0');
    EXPECT_TRUE(bus.SetupDiGetDeviceInterfaceDetailA(list, data, path.data(), size, nullptr));
    o.file = bus.CreateFileA(path.c_str());
    if (o.file != kInvalidHandle) bus.WinUsb_Initialize(o.file, &o.usb);
  }
  bus.SetupDiDestroyDeviceInfoList(list);
  return o;
}

VirtualDeviceConfig Config() {
  VirtualDeviceConfig c;
  c.interfaceClass = kClass;
  return c;
}

void SetTimeout(VirtualBus& bus, WinUsbHandle usb, uint32_t ms) {
  ASSERT_TRUE(bus.WinUsb_SetPipePolicy(usb, 0x81, kPipeTransferTimeout, 4, &ms));
}

TEST(VirtualBus, DelayedRepliesArriveInVirtualTime) {
  VirtualBus bus;
  const auto id = bus.Plug(Config(), [](std::span<const uint8_t> out) {
    return std::vector<InTransfer>{{{out.begin(), out.end()}, 120}, {{0x42}, 0}};
  });
  Opened o = OpenFirst(bus);
  ASSERT_NE(o.usb, kInvalidHandle);
  SetTimeout(bus, o.usb, 100);
  const uint8_t req[] = {1, 2};
  uint32_t n = 0;
  ASSERT_TRUE(bus.WinUsb_WritePipe(o.usb, 0x02, req, 2, &n));
  uint8_t in[8];
  EXPECT_FALSE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 8, &n));  // 120 ms > 100 ms
  EXPECT_EQ(bus.NowMs(), 100u);
  ASSERT_TRUE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 8, &n));  // ready at 120
  EXPECT_EQ(bus.NowMs(), 120u);
  EXPECT_EQ(n, 2u);
  ASSERT_TRUE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 8, &n));  // queued behind it, no overtaking
  EXPECT_EQ(in[0], 0x42);
  bus.Sleep(30);
  EXPECT_EQ(bus.NowMs(), 150u);
  EXPECT_EQ(bus.SleptMs(), 30u);
  EXPECT_EQ(bus.Transfers(id).size(), 4u);
}

TEST(VirtualBus, OpenIsExclusiveUntilClosed) {
  VirtualBus bus;
  const auto id = bus.Plug(Config());
  Opened a = OpenFirst(bus);
  ASSERT_NE(a.file, kInvalidHandle);
  EXPECT_EQ(bus.CreateFileA(VirtualBus::PathOf(id).c_str()), kInvalidHandle);
  EXPECT_TRUE(bus.WinUsb_Free(a.usb));
  EXPECT_TRUE(bus.CloseHandle(a.file));
  EXPECT_FALSE(bus.CloseHandle(a.file));
  Opened b = OpenFirst(bus);
  EXPECT_NE(b.file, kInvalidHandle);
}

TEST(VirtualBus, FaultsHitTheNumberedTransfer) {
  VirtualBus bus;
  const auto id = bus.Plug(Config(), [](std::span<const uint8_t>) {
    return std::vector<InTransfer>{{{7}, 0}};
  });
  Opened o = OpenFirst(bus);
  SetTimeout(bus, o.usb, 10);
  const uint8_t req[] = {1, 2, 3};
  uint8_t in[4];
  uint32_t n = 0;
  bus.InjectFault(id, 0, Fault::ShortWrite);
  bus.InjectFault(id, 2, Fault::ReadFails);
  bus.InjectFault(id, 4, Fault::Vanish);
  ASSERT_TRUE(bus.WinUsb_WritePipe(o.usb, 0x02, req, 3, &n));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(bus.PendingIn(id), 0u);  // a short write reaches no firmware
  ASSERT_TRUE(bus.WinUsb_WritePipe(o.usb, 0x02, req, 3, &n));
  EXPECT_EQ(bus.PendingIn(id), 1u);
  EXPECT_FALSE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 4, &n));
  EXPECT_TRUE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 4, &n));
  EXPECT_FALSE(bus.WinUsb_WritePipe(o.usb, 0x02, req, 3, &n));  // vanished
  EXPECT_FALSE(bus.IsPlugged(id));
  EXPECT_FALSE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 4, &n));
  EXPECT_EQ(OpenFirst(bus).file, kInvalidHandle);  // no longer listed
  EXPECT_TRUE(bus.WinUsb_Free(o.usb));
  EXPECT_TRUE(bus.CloseHandle(o.file));
  EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST(VirtualBus, OverlongTransferIsCutToTheBuffer) {
  VirtualBus bus;
  const auto id = bus.Plug(Config());
  Opened o = OpenFirst(bus);
  SetTimeout(bus, o.usb, 10);
  bus.QueueIn(id, std::vector<uint8_t>(10, 0xAB));
  uint8_t in[4] = {};
  uint32_t n = 0;
  ASSERT_TRUE(bus.WinUsb_ReadPipe(o.usb, 0x81, in, 4, &n));
  EXPECT_EQ(n, 4u);
}

// As on Windows, closing the file does not free its WinUSB handle: the handle answers nothing
// more, and stays a handle to free. A new open starts with no pipe time-out.
TEST(VirtualBus, AWinUsbHandleOutlivesItsFileUntilFreed) {
  VirtualBus bus;
  const auto id = bus.Plug(Config());
  Opened o = OpenFirst(bus);
  SetTimeout(bus, o.usb, 10);
  ASSERT_TRUE(bus.CloseHandle(o.file));
  uint8_t bytes[18] = {};
  uint32_t n = 0;
  EXPECT_FALSE(bus.WinUsb_GetDescriptor(o.usb, kUsbDeviceDescriptorType, 0, 0, bytes, 18, &n));
  EXPECT_FALSE(bus.WinUsb_WritePipe(o.usb, 0x02, bytes, 1, &n));
  EXPECT_EQ(bus.OpenHandles(), 1);
  EXPECT_TRUE(bus.WinUsb_Free(o.usb));
  EXPECT_EQ(bus.OpenHandles(), 0);
  Opened again = OpenFirst(bus);
  ASSERT_NE(again.usb, kInvalidHandle);
  EXPECT_EQ(bus.PipeTimeout(id, 0x81), 0u);
}

TEST(VirtualBus, AMemberBeyondTheListHasNoPath) {
  VirtualBus bus;
  bus.Plug(Config());
  const DevInfoHandle list = bus.SetupDiGetClassDevsA(kClass);
  DeviceInterfaceData data;
  ASSERT_TRUE(bus.SetupDiEnumDeviceInterfaces(list, kClass, 0, &data));
  EXPECT_FALSE(bus.SetupDiEnumDeviceInterfaces(list, kClass, 1, &data));
  data.reserved = 1;
  uint32_t size = 0;
  EXPECT_FALSE(bus.SetupDiGetDeviceInterfaceDetailA(list, data, nullptr, 0, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(bus.SetupDiDestroyDeviceInfoList(list));
}

}  // namespace
}  // namespace kp::test
