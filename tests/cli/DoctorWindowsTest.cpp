// kpnox-cli doctor's Windows facts, run under Wine: against a stand-in for SetupAPI, the
// registry and CreateFileW that holds the devices a test describes (Wine has no USB devices),
// with the real calls' contracts (record sizes, the two-call size protocol, the errors); and
// against Wine's real SetupAPI, which has no programmer.
#include "cli/CliRun.h"
#include "cli/Doctor.h"
#include "link/WUsbBulkD.h"
#include "platform/doctor/WindowsFacts.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kp::test {
using namespace kp::doctor;
namespace {

using namespace std::string_literals;

struct FakeDevice {
  std::wstring instanceId;
  std::wstring hardwareIds;  // REG_MULTI_SZ: strings separated by L'\0'
  std::wstring compatibleIds;
  std::optional<std::wstring> service;
  std::optional<std::wstring> keyGuids;       // the device key's DeviceInterfaceGUIDs
  std::optional<std::wstring> interfacePath;  // a member of the class: WinUSB binds it
  bool present = true;
  DWORD openError = 0;  // what CreateFileW fails with; 0: it opens
};

// The machine the stand-ins answer for, and what they have handed out and not taken back.
std::vector<FakeDevice> gDevices;
int gLists = 0;
int gKeys = 0;
int gFiles = 0;

struct FakeList {
  std::vector<size_t> devices;
};

FakeList* ListOf(HDEVINFO list) { return static_cast<FakeList*>(list); }

const FakeDevice& DeviceOf(const SP_DEVINFO_DATA* info) { return gDevices.at(info->Reserved); }

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
  auto* list = new FakeList;
  for (size_t i = 0; i < gDevices.size(); ++i) {
    const FakeDevice& d = gDevices[i];
    const bool wanted =
        (flags & DIGCF_DEVICEINTERFACE) != 0
            ? guid != nullptr && d.interfacePath && (d.present || (flags & DIGCF_PRESENT) == 0)
            : enumerator != nullptr && std::wcscmp(enumerator, L"USB") == 0 && d.present;
    if (wanted) list->devices.push_back(i);
  }
  ++gLists;
  return list;
}

BOOL WINAPI FakeDestroyList(HDEVINFO list) {
  delete ListOf(list);
  --gLists;
  return TRUE;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
  if (data->cbSize != sizeof *data) return SetLastError(ERROR_INVALID_USER_BUFFER), FALSE;
  if (index >= ListOf(list)->devices.size()) return SetLastError(ERROR_NO_MORE_ITEMS), FALSE;
  data->InterfaceClassGuid = *guid;
  data->Reserved = ListOf(list)->devices[index];
  return TRUE;
}

BOOL WINAPI FakeInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                PDWORD required, PSP_DEVINFO_DATA info) {
  const std::wstring& path = *gDevices.at(data->Reserved).interfacePath;
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(wchar_t));
  if (required != nullptr) *required = needed;
  if (detail == nullptr || size < needed) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  if (detail->cbSize != sizeof *detail || (info != nullptr && info->cbSize != sizeof *info)) {
    return SetLastError(ERROR_INVALID_USER_BUFFER), FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  if (info != nullptr) info->Reserved = data->Reserved;
  return TRUE;
}

BOOL WINAPI FakeEnumDevices(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info) {
  if (info->cbSize != sizeof *info) return SetLastError(ERROR_INVALID_USER_BUFFER), FALSE;
  if (index >= ListOf(list)->devices.size()) return SetLastError(ERROR_NO_MORE_ITEMS), FALSE;
  info->Reserved = ListOf(list)->devices[index];
  return TRUE;
}

BOOL WINAPI FakeInstanceId(HDEVINFO, PSP_DEVINFO_DATA info, PWSTR id, DWORD size, PDWORD required) {
  const std::wstring& text = DeviceOf(info).instanceId;
  const auto needed = static_cast<DWORD>(text.size() + 1);
  if (required != nullptr) *required = needed;
  if (id == nullptr || size < needed) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  std::memcpy(id, text.c_str(), needed * sizeof(wchar_t));
  return TRUE;
}

// Answers a value of `text` (with its terminating zeros) into a caller's buffer.
bool Answer(const std::wstring& text, DWORD type, PDWORD typeOut, PBYTE buffer, DWORD size,
            PDWORD required) {
  const auto bytes =
      static_cast<DWORD>((text.size() + (type == REG_MULTI_SZ ? 2 : 1)) * sizeof(wchar_t));
  if (typeOut != nullptr) *typeOut = type;
  if (required != nullptr) *required = bytes;
  if (buffer == nullptr || size < bytes) return false;
  std::memset(buffer, 0, bytes);
  std::memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
  return true;
}

BOOL WINAPI FakeProperty(HDEVINFO, PSP_DEVINFO_DATA info, DWORD property, PDWORD type, PBYTE buffer,
                         DWORD size, PDWORD required) {
  const FakeDevice& d = DeviceOf(info);
  std::optional<std::wstring> value;
  DWORD kind = REG_MULTI_SZ;
  if (property == SPDRP_HARDWAREID) value = d.hardwareIds;
  if (property == SPDRP_COMPATIBLEIDS) value = d.compatibleIds;
  if (property == SPDRP_SERVICE) value = d.service, kind = REG_SZ;
  if (!value || value->empty()) return SetLastError(ERROR_INVALID_DATA), FALSE;
  if (!Answer(*value, kind, type, buffer, size, required)) {
    return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  }
  return TRUE;
}

HKEY WINAPI FakeOpenDeviceKey(HDEVINFO, PSP_DEVINFO_DATA info, DWORD, DWORD, DWORD which, REGSAM) {
  if (which != DIREG_DEV) return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  ++gKeys;
  return reinterpret_cast<HKEY>(0x1000 + info->Reserved);
}

LSTATUS WINAPI FakeQueryValue(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                              LPDWORD size) {
  const FakeDevice& d = gDevices.at(reinterpret_cast<uintptr_t>(key) - 0x1000);
  if (!d.keyGuids || std::wcscmp(name, L"DeviceInterfaceGUIDs") != 0) return ERROR_FILE_NOT_FOUND;
  if (Answer(*d.keyGuids, REG_MULTI_SZ, type, data, data == nullptr ? 0 : *size, size)) {
    return ERROR_SUCCESS;
  }
  return data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LSTATUS WINAPI FakeCloseKey(HKEY) {
  --gKeys;
  return ERROR_SUCCESS;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                             HANDLE) {
  for (const FakeDevice& d : gDevices) {
    if (!d.interfacePath || *d.interfacePath != path) continue;
    if (d.openError != 0) return SetLastError(d.openError), INVALID_HANDLE_VALUE;
    ++gFiles;
    return reinterpret_cast<HANDLE>(0x2000);
  }
  return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE) {
  --gFiles;
  return TRUE;
}

WindowsCalls FakeCalls() {
  WindowsCalls calls;
  calls.getClassDevs = FakeGetClassDevs;
  calls.enumInterfaces = FakeEnumInterfaces;
  calls.interfaceDetail = FakeInterfaceDetail;
  calls.enumDevices = FakeEnumDevices;
  calls.instanceId = FakeInstanceId;
  calls.property = FakeProperty;
  calls.openDeviceKey = FakeOpenDeviceKey;
  calls.queryValue = FakeQueryValue;
  calls.closeKey = FakeCloseKey;
  calls.destroyList = FakeDestroyList;
  calls.createFile = FakeCreateFile;
  calls.closeHandle = FakeCloseHandle;
  return calls;
}

// The programmer as Windows lists it, with the ids and serial number of the other tests.
FakeDevice Programmer() {
  FakeDevice d;
  d.instanceId = L"USB\\VID_1209&PID_0001\\00001A2B";
  d.hardwareIds = L"USB\\VID_1209&PID_0001&REV_0100\0USB\\VID_1209&PID_0001"s;
  d.compatibleIds = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF"s;
  d.service = L"WinUSB";
  d.keyGuids = L"{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}";
  d.interfacePath = L"\\\\?\\usb#vid_1209&pid_0001#00001a2b#{5b6638c7-b7ea-4bf3-8a83-3eaf326c4f73}";
  return d;
}

FakeDevice Unbound(std::optional<std::wstring> service, bool keyNamesClass) {
  FakeDevice d = Programmer();
  d.interfacePath.reset();
  d.service = std::move(service);
  if (!keyNamesClass) d.keyGuids.reset();
  return d;
}

// Devices that are no programmer's business: a keyboard without a driver yet, a vendor
// device that has its own, and one whose Windows-made serial has '&' in it.
std::vector<FakeDevice> Bystanders() {
  FakeDevice keyboard;
  keyboard.instanceId = L"USB\\VID_046D&PID_C31C\\5&2A0B&0&3";
  keyboard.hardwareIds = L"USB\\VID_046D&PID_C31C";
  keyboard.compatibleIds = L"USB\\Class_03&SubClass_01";
  FakeDevice phone = keyboard;
  phone.compatibleIds = L"USB\\Class_FF&SubClass_42";
  phone.service = L"WUDFRd";
  return {keyboard, phone};
}

struct WindowsRow {
  const char* name;
  std::vector<FakeDevice> devices;
  FoundBy foundBy;
  Open open;
  bool present;
  std::string service;
  Verdict verdict;
};

TEST(DoctorOnWindows, FactsFromSetupApi) {
  FakeDevice held = Programmer();
  held.openError = ERROR_SHARING_VIOLATION;
  FakeDevice unplugged = Programmer();
  unplugged.present = false;
  const WindowsRow rows[] = {
      {"present and bound",
       {Programmer()},
       FoundBy::InterfaceClass,
       Open::Opened,
       true,
       "WinUSB",
       Verdict::Ready},
      {"bound, held elsewhere",
       {held},
       FoundBy::InterfaceClass,
       Open::Held,
       true,
       "WinUSB",
       Verdict::Held},
      {"present without any driver",
       {Unbound(std::nullopt, false)},
       FoundBy::NoDriver,
       Open::NotTried,
       true,
       "",
       Verdict::NoDriver},
      {"present with another driver",
       {Unbound(L"usbser", true)},
       FoundBy::DeviceRegistry,
       Open::NotTried,
       true,
       "usbser",
       Verdict::NoDriver},
      {"absent, seen before",
       {unplugged},
       FoundBy::InterfaceClass,
       Open::NotTried,
       false,
       "WinUSB",
       Verdict::Unplugged},
  };
  for (const WindowsRow& row : rows) {
    SCOPED_TRACE(row.name);
    gDevices = row.devices;
    for (const FakeDevice& d : Bystanders()) gDevices.push_back(d);
    const Facts facts = GatherWindowsFacts(kKpR50InterfaceGuid, FakeCalls());
    EXPECT_EQ(gLists, 0);
    EXPECT_EQ(gKeys, 0);
    EXPECT_EQ(gFiles, 0);
    ASSERT_EQ(facts.devices.size(), 1u);
    const UsbDevice& d = facts.devices[0];
    EXPECT_EQ(static_cast<int>(d.foundBy), static_cast<int>(row.foundBy));
    EXPECT_EQ(static_cast<int>(d.open), static_cast<int>(row.open));
    EXPECT_EQ(d.present, row.present);
    EXPECT_EQ(d.service, row.service);
    EXPECT_EQ(d.vendorId, 0x1209);
    EXPECT_EQ(d.productId, 0x0001);
    EXPECT_EQ(d.serial, "00001A2B");
    EXPECT_EQ(d.instanceId, "USB\\VID_1209&PID_0001\\00001A2B");
    const Judgement j = Judge(facts);
    EXPECT_EQ(VerdictWord(j.verdict), std::string(VerdictWord(row.verdict)));
    EXPECT_EQ(j.exitCode, row.verdict == Verdict::Ready ? kExitDone : kExitNoUsableProgrammer);
  }
}

TEST(DoctorOnWindows, WineHasNoProgrammer) {
  const Facts facts = GatherFacts(kKpR50InterfaceGuid);
  EXPECT_EQ(facts.system, Facts::System::Windows);
  EXPECT_TRUE(facts.listed);
  EXPECT_TRUE(facts.devices.empty());
  const Judgement j = Judge(facts);
  EXPECT_EQ(j.verdict, Verdict::NoDevice);
  EXPECT_EQ(j.exitCode, kExitNoUsableProgrammer);
}

}  // namespace
}  // namespace kp::test
