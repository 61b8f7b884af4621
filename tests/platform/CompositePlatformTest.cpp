// Two backends as one platform: one device list, handles routed back, exclusive open kept.
#include "platform/CompositePlatform.h"
#include "platform/virtual/VirtualBus.h"

#include <gtest/gtest.h>

namespace kp::test {
namespace {

const Guid kClass = {0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};

// A backend that cannot make a device list at all.
class NoListPlatform : public VirtualBus {
 public:
  DevInfoHandle SetupDiGetClassDevsA(const Guid&) override { return kInvalidHandle; }
};

std::vector<std::string> Paths(UsbPlatform& p) {
  std::vector<std::string> out;
  const DevInfoHandle list = p.SetupDiGetClassDevsA(kClass);
  if (list == kInvalidHandle) return out;
  DeviceInterfaceData d;
  for (uint32_t i = 0; p.SetupDiEnumDeviceInterfaces(list, kClass, i, &d); ++i) {
    uint32_t size = 0;
    p.SetupDiGetDeviceInterfaceDetailA(list, d, nullptr, 0, &size);
    std::string path(size, '\0');
    EXPECT_TRUE(p.SetupDiGetDeviceInterfaceDetailA(list, d, path.data(), size, nullptr));
    out.emplace_back(path.c_str());
  }
  p.SetupDiDestroyDeviceInfoList(list);
  return out;
}

VirtualDeviceConfig Config(char16_t serial) {
  VirtualDeviceConfig c;
  c.interfaceClass = kClass;
  c.serialNumber = std::u16string(1, serial);
  return c;
}

TEST(CompositePlatform, JoinsListsAndRoutesEveryHandleToItsBackend) {
  auto first = std::make_unique<VirtualBus>();
  auto second = std::make_unique<VirtualBus>();
  VirtualBus& a = *first;
  VirtualBus& b = *second;
  CompositePlatform p;
  p.Add(std::move(first));
  p.Add(std::move(second));
  EXPECT_TRUE(Paths(p).empty());

  // Ids, and so paths, are per bus: give the second bus's device another number.
  VirtualDeviceConfig unlisted = Config(u'0');
  unlisted.interfaceClass.data1 ^= 1;
  b.Plug(unlisted);
  const auto inA = a.Plug(Config(u'A'), [](std::span<const uint8_t> out) {
    return std::vector<InTransfer>{{{out.begin(), out.end()}, 0}};
  });
  const auto inB = b.Plug(Config(u'B'));
  const auto paths = Paths(p);
  ASSERT_EQ(paths, (std::vector<std::string>{VirtualBus::PathOf(inA), VirtualBus::PathOf(inB)}));

  const FileHandle fb = p.CreateFileA(paths[1].c_str());
  ASSERT_NE(fb, kInvalidHandle);
  EXPECT_TRUE(b.IsOpen(inB));
  EXPECT_EQ(p.CreateFileA(paths[1].c_str()), kInvalidHandle);  // still exclusive

  const FileHandle f = p.CreateFileA(paths[0].c_str());
  ASSERT_NE(f, kInvalidHandle);
  EXPECT_TRUE(a.IsOpen(inA));
  WinUsbHandle w = kInvalidHandle;
  ASSERT_TRUE(p.WinUsb_Initialize(f, &w));
  const uint32_t t = 10;
  ASSERT_TRUE(p.WinUsb_SetPipePolicy(w, 0x81, kPipeTransferTimeout, 4, &t));
  EXPECT_EQ(a.PipeTimeout(inA, 0x81), 10u);
  const uint8_t msg[] = {1, 2, 3};
  uint32_t n = 0;
  ASSERT_TRUE(p.WinUsb_WritePipe(w, 0x02, msg, 3, &n));
  uint8_t in[8] = {};
  ASSERT_TRUE(p.WinUsb_ReadPipe(w, 0x81, in, 8, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(in[2], 3);
  EXPECT_TRUE(b.Transfers(inB).empty());
  EXPECT_FALSE(p.CloseHandle(w));  // not a file handle of this platform
  EXPECT_TRUE(p.WinUsb_Free(w));
  EXPECT_TRUE(p.CloseHandle(f));
  EXPECT_TRUE(p.CloseHandle(fb));
  EXPECT_EQ(a.OpenHandles() + b.OpenHandles(), 0);
}

TEST(CompositePlatform, ABackendWithoutAListDoesNotHideTheOthers) {
  auto broken = std::make_unique<NoListPlatform>();
  auto bus = std::make_unique<VirtualBus>();
  VirtualBus& b = *bus;
  CompositePlatform p;
  p.Add(std::move(broken));
  p.Add(std::move(bus));
  b.Plug(Config(u'1'));
  EXPECT_EQ(Paths(p).size(), 1u);

  CompositePlatform none;
  none.Add(std::make_unique<NoListPlatform>());
  EXPECT_EQ(none.SetupDiGetClassDevsA(kClass), kInvalidHandle);
}

TEST(CompositePlatform, UnlistedPathsAndUnknownHandlesFail) {
  CompositePlatform p;
  p.Add(std::make_unique<VirtualBus>());
  EXPECT_EQ(p.CreateFileA("/dev/null"), kInvalidHandle);
  WinUsbHandle w;
  EXPECT_FALSE(p.WinUsb_Initialize(12345, &w));
  EXPECT_FALSE(p.SetupDiDestroyDeviceInfoList(777));
}

TEST(CompositePlatform, SleepGoesToTheFirstBackend) {
  auto bus = std::make_unique<VirtualBus>();
  VirtualBus& b = *bus;
  CompositePlatform p;
  p.Add(std::move(bus));
  p.Sleep(1100);
  EXPECT_EQ(b.SleptMs(), 1100u);
}

}  // namespace
}  // namespace kp::test
