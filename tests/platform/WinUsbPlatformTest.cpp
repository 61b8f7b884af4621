// The Windows backend against the real SetupAPI and kernel. Nothing here reaches a WinUSB
// transfer call: on a test machine there is no programmer to talk to, so the WinUSB half is
// covered only as far as its handle guards go.
#include "platform/usb/WinUsbPlatform.h"

#include "link/WUsbBulkD.h"

#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kp::test {
namespace {

// No device anywhere registers this class.
const Guid kUnknownClass = {
    0x0D7A5C31, 0x6E52, 0x4C0B, {0x9A, 0x11, 0x27, 0x5B, 0xC3, 0x90, 0x44, 0xE8}};

// Classes that a Windows machine, and Wine's own virtual devices, usually list.
const Guid kCommonClasses[] = {
    {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}},  // HID
    {0x884B96C3, 0x56EF, 0x11D1, {0xBC, 0x8C, 0x00, 0xA0, 0xC9, 0x14, 0x05, 0xDD}},  // keyboard
    {0x378DE44C, 0x56EF, 0x11D1, {0xBC, 0x8C, 0x00, 0xA0, 0xC9, 0x14, 0x05, 0xDD}},  // mouse
    {0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}},  // monitor
    {0x5B45201D, 0xF2F2, 0x4F3B, {0x85, 0xBB, 0x30, 0xFF, 0x1F, 0x95, 0x35, 0x99}},  // display
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},  // disk
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},  // USB device
};

GUID ToWindows(const Guid& g) {
  GUID w{};
  std::memcpy(&w, &g, sizeof w);
  return w;
}

// The device paths of one class as SetupAPI lists them, asked directly with this build's
// record sizes: the reference the backend must reproduce.
std::vector<std::string> PathsFromSetupApi(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  const GUID guid = ToWindows(interfaceClass);
  const HDEVINFO list =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA member{};
  member.cbSize = sizeof member;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &guid, i, &member); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &member, nullptr, 0, &size, nullptr);
    std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(list, &member, detail, size, nullptr, nullptr)) {
      paths.emplace_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  return paths;
}

// Forwards to the real backend and keeps count of what is open, so a test can see that the
// link gives back every list and handle it took.
class CountingPlatform final : public UsbPlatform {
 public:
  explicit CountingPlatform(UsbPlatform& real) : real_(real) {}

  int openLists = 0;
  int openFiles = 0;
  int openWinUsb = 0;
  int listsTaken = 0;

  DevInfoHandle SetupDiGetClassDevsA(const Guid& c) override {
    const DevInfoHandle list = real_.SetupDiGetClassDevsA(c);
    if (list != kInvalidHandle) {
      ++openLists;
      ++listsTaken;
    }
    return list;
  }
  bool SetupDiEnumDeviceInterfaces(DevInfoHandle l, const Guid& c, uint32_t i,
                                   DeviceInterfaceData* d) override {
    return real_.SetupDiEnumDeviceInterfaces(l, c, i, d);
  }
  bool SetupDiGetDeviceInterfaceDetailA(DevInfoHandle l, const DeviceInterfaceData& d, char* p,
                                        uint32_t n, uint32_t* r) override {
    return real_.SetupDiGetDeviceInterfaceDetailA(l, d, p, n, r);
  }
  bool SetupDiDestroyDeviceInfoList(DevInfoHandle l) override {
    const bool ok = real_.SetupDiDestroyDeviceInfoList(l);
    if (ok) --openLists;
    return ok;
  }
  FileHandle CreateFileA(const char* p) override {
    const FileHandle f = real_.CreateFileA(p);
    if (f != kInvalidHandle) ++openFiles;
    return f;
  }
  bool CloseHandle(FileHandle f) override {
    const bool ok = real_.CloseHandle(f);
    if (ok) --openFiles;
    return ok;
  }
  // Reaching WinUSB means a device of the class was opened, which no test here expects.
  bool WinUsb_Initialize(FileHandle, WinUsbHandle*) override {
    ADD_FAILURE() << "WinUSB initialisation reached";
    return false;
  }
  bool WinUsb_Free(WinUsbHandle h) override { return real_.WinUsb_Free(h); }
  bool WinUsb_GetDescriptor(WinUsbHandle, uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t,
                            uint32_t*) override {
    return false;
  }
  bool WinUsb_QueryInterfaceSettings(WinUsbHandle, uint8_t, InterfaceDescriptor*) override {
    return false;
  }
  bool WinUsb_QueryPipe(WinUsbHandle, uint8_t, uint8_t, PipeInformation*) override { return false; }
  bool WinUsb_SetPipePolicy(WinUsbHandle, uint8_t, uint32_t, uint32_t, const void*) override {
    return false;
  }
  bool WinUsb_WritePipe(WinUsbHandle, uint8_t, const uint8_t*, uint32_t, uint32_t*) override {
    return false;
  }
  bool WinUsb_ReadPipe(WinUsbHandle, uint8_t, uint8_t*, uint32_t, uint32_t*) override {
    return false;
  }
  void Sleep(uint32_t ms) override { real_.Sleep(ms); }

 private:
  UsbPlatform& real_;
};

TEST(WinUsbPlatform, UnknownClassGivesAnEmptyList) {
  WinUsbPlatform platform;
  const DevInfoHandle list = platform.SetupDiGetClassDevsA(kUnknownClass);
  ASSERT_NE(list, kInvalidHandle);
  DeviceInterfaceData member;
  EXPECT_FALSE(platform.SetupDiEnumDeviceInterfaces(list, kUnknownClass, 0, &member));
  EXPECT_TRUE(platform.SetupDiDestroyDeviceInfoList(list));
}

TEST(WinUsbPlatform, LinkWithoutAProgrammerFailsAndLeavesNothingOpen) {
  WinUsbPlatform real;
  CountingPlatform platform(real);
  WUsbBulkD dev(platform, &kKpR50InterfaceGuid, &defaultTrace);
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_FALSE(dev.Link());
    EXPECT_FALSE(dev.isOpen);
    EXPECT_EQ(dev.fileHandle, kInvalidHandle);
    EXPECT_EQ(dev.winUsbHandle, kInvalidHandle);
  }
  EXPECT_EQ(platform.listsTaken, 3);
  EXPECT_EQ(platform.openLists, 0);
  EXPECT_EQ(platform.openFiles, 0);
  dev.Close();  // closing what never opened releases nothing
  EXPECT_EQ(platform.openFiles, 0);
}

// The mended record sizes: with the 32-bit sizes (28 and 5) a 64-bit SetupAPI refuses every
// member, and the backend would list nothing where SetupAPI lists devices.
TEST(WinUsbPlatform, ListsTheSameMembersAndPathsAsSetupApi) {
  WinUsbPlatform platform;
  size_t compared = 0;
  for (const Guid& interfaceClass : kCommonClasses) {
    const std::vector<std::string> expected = PathsFromSetupApi(interfaceClass);
    const DevInfoHandle list = platform.SetupDiGetClassDevsA(interfaceClass);
    ASSERT_NE(list, kInvalidHandle);
    std::vector<std::string> listed;
    DeviceInterfaceData member;
    for (uint32_t i = 0; platform.SetupDiEnumDeviceInterfaces(list, interfaceClass, i, &member);
         ++i) {
      EXPECT_EQ(member.interfaceClassGuid, interfaceClass);
      // The seam sizes the path with its terminator, not SetupAPI's whole detail record.
      uint32_t size = 0;
      EXPECT_FALSE(platform.SetupDiGetDeviceInterfaceDetailA(list, member, nullptr, 0, &size));
      ASSERT_GT(size, 1u);
      std::string path(size + 8, '#');
      ASSERT_TRUE(
          platform.SetupDiGetDeviceInterfaceDetailA(list, member, path.data(), size, nullptr));
      EXPECT_EQ(std::strlen(path.c_str()) + 1, size);
      EXPECT_EQ(path.substr(size), std::string(8, '#'));  // nothing written past the buffer
      listed.emplace_back(path.c_str());
    }
    EXPECT_TRUE(platform.SetupDiDestroyDeviceInfoList(list));
    EXPECT_EQ(listed, expected);
    compared += expected.size();
  }
  if (compared == 0) GTEST_SKIP() << "no device interface of a common class on this machine";
}

TEST(WinUsbPlatform, PathBufferTooSmallIsRefusedWithoutOverrun) {
  WinUsbPlatform platform;
  for (const Guid& interfaceClass : kCommonClasses) {
    const DevInfoHandle list = platform.SetupDiGetClassDevsA(interfaceClass);
    ASSERT_NE(list, kInvalidHandle);
    DeviceInterfaceData member;
    const bool found = platform.SetupDiEnumDeviceInterfaces(list, interfaceClass, 0, &member);
    if (found) {
      uint32_t size = 0;
      platform.SetupDiGetDeviceInterfaceDetailA(list, member, nullptr, 0, &size);
      ASSERT_GT(size, 1u);
      std::string path(size, '#');
      EXPECT_FALSE(
          platform.SetupDiGetDeviceInterfaceDetailA(list, member, path.data(), size - 1, nullptr));
      EXPECT_EQ(path[size - 1], '#');
    }
    platform.SetupDiDestroyDeviceInfoList(list);
    if (found) return;
  }
  GTEST_SKIP() << "no device interface of a common class on this machine";
}

#if defined(_WIN64)
// Why the sizes matter: this build's SetupAPI refuses the 32-bit interface-data record.
TEST(WinUsbPlatform, SetupApiRefusesThe32BitRecordSizeOn64Bit) {
  for (const Guid& interfaceClass : kCommonClasses) {
    const GUID guid = ToWindows(interfaceClass);
    const HDEVINFO list =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA member{};
    member.cbSize = sizeof member;
    const bool found = SetupDiEnumDeviceInterfaces(list, nullptr, &guid, 0, &member) != FALSE;
    if (found) {
      member.cbSize = 28;
      EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &guid, 0, &member));
    }
    SetupDiDestroyDeviceInfoList(list);
    if (found) return;
  }
  GTEST_SKIP() << "no device interface of a common class on this machine";
}
#endif

// Every operation given the invalid handle refuses it instead of passing -1 on: for
// CloseHandle, -1 is the current process's pseudo handle and would be "closed" with success.
TEST(WinUsbPlatform, InvalidHandlesAreRefused) {
  WinUsbPlatform platform;
  DeviceInterfaceData member;
  uint32_t size = 7;
  char path[16];
  EXPECT_FALSE(platform.SetupDiEnumDeviceInterfaces(kInvalidHandle, kUnknownClass, 0, &member));
  EXPECT_FALSE(
      platform.SetupDiGetDeviceInterfaceDetailA(kInvalidHandle, member, nullptr, 0, &size));
  EXPECT_FALSE(platform.SetupDiGetDeviceInterfaceDetailA(kInvalidHandle, member, path, sizeof path,
                                                         nullptr));
  EXPECT_FALSE(platform.SetupDiDestroyDeviceInfoList(kInvalidHandle));
  EXPECT_FALSE(platform.CloseHandle(kInvalidHandle));
  EXPECT_FALSE(platform.WinUsb_Free(kInvalidHandle));
  WinUsbHandle usb = 1234;
  EXPECT_FALSE(platform.WinUsb_Initialize(kInvalidHandle, &usb));
  EXPECT_EQ(usb, 1234);
}

TEST(WinUsbPlatform, CreateFileOpensExistingPathsOnly) {
  WinUsbPlatform platform;
  EXPECT_EQ(platform.CreateFileA("\\\\?\\kp-no-such-device#{0d7a5c31}"), kInvalidHandle);
  EXPECT_EQ(platform.CreateFileA(nullptr), kInvalidHandle);
  // The null device opens for reading and writing, overlapped, like a device path.
  const FileHandle file = platform.CreateFileA("NUL");
  ASSERT_NE(file, kInvalidHandle);
  EXPECT_TRUE(platform.CloseHandle(file));
}

}  // namespace
}  // namespace kp::test
