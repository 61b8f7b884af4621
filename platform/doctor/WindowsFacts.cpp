// The Windows facts: SetupAPI's members of the class and its present USB devices, each
// device's driver (its service), the class named in its device key, and a try to open.
#include "platform/doctor/WindowsFacts.h"

#include "platform/usb/MsOsDescriptors.h"
#include "simwire/RuntimeFolder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kp::doctor {

namespace {

// Anything longer is not a property or value the doctor looks for.
constexpr DWORD kMaxValueBytes = 64 * 1024;

GUID ToWindows(const Guid& g) {
  GUID w{};
  static_assert(sizeof w == sizeof g);
  std::memcpy(&w, &g, sizeof w);
  return w;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// A device information list, destroyed with the calls that made it.
class DeviceList {
 public:
  DeviceList(const WindowsCalls& calls, const GUID* guid, const wchar_t* enumerator, DWORD flags)
      : calls_(calls), list_(calls.getClassDevs(guid, enumerator, nullptr, flags)) {}
  ~DeviceList() {
    if (Ok()) calls_.destroyList(list_);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  bool Ok() const { return list_ != INVALID_HANDLE_VALUE && list_ != nullptr; }
  HDEVINFO Get() const { return list_; }

 private:
  const WindowsCalls& calls_;
  HDEVINFO list_;
};

// Zero-separated strings of a REG_MULTI_SZ, or the one string of a REG_SZ.
std::vector<std::wstring> Strings(const std::vector<BYTE>& bytes, DWORD type) {
  std::vector<std::wstring> strings;
  if (type != REG_SZ && type != REG_MULTI_SZ) return strings;
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L'\0', start);
    if (end == std::wstring::npos) end = text.size();
    if (end > start) strings.push_back(text.substr(start, end - start));
    if (type == REG_SZ) break;
    start = end + 1;
  }
  return strings;
}

std::vector<std::wstring> Property(const WindowsCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& info,
                                   DWORD property) {
  DWORD type = 0;
  DWORD size = 0;
  calls.property(list, &info, property, &type, nullptr, 0, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > kMaxValueBytes) return {};
  std::vector<BYTE> bytes(size);
  if (!calls.property(list, &info, property, &type, bytes.data(), size, &size)) return {};
  bytes.resize(std::min<size_t>(size, bytes.size()));
  return Strings(bytes, type);
}

std::wstring InstanceId(const WindowsCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& info) {
  DWORD size = 0;
  calls.instanceId(list, &info, nullptr, 0, &size);
  if (size == 0 || size > kMaxValueBytes) return {};
  std::wstring id(size, L'\0');
  if (!calls.instanceId(list, &info, id.data(), size, &size)) return {};
  id.resize(wcsnlen(id.c_str(), id.size()));
  return id;
}

// The interface classes the device key names (DeviceInterfaceGUIDs, DeviceInterfaceGUID):
// what a WinUSB binding would register.
std::vector<Guid> KeyGuids(const WindowsCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& info) {
  std::vector<Guid> guids;
  const HKEY key = calls.openDeviceKey(list, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == nullptr || key == INVALID_HANDLE_VALUE) return guids;
  for (const wchar_t* name : {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"}) {
    DWORD type = 0;
    DWORD size = 0;
    if (calls.queryValue(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0 ||
        size > kMaxValueBytes) {
      continue;
    }
    std::vector<BYTE> bytes(size);
    if (calls.queryValue(key, name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS) continue;
    bytes.resize(std::min<size_t>(size, bytes.size()));
    for (const std::wstring& text : Strings(bytes, type)) {
      if (auto guid = msos::ParseGuidText(Utf8Text(text))) guids.push_back(*guid);
    }
  }
  calls.closeKey(key);
  return guids;
}

// The four hex digits after "VID_" in "USB\VID_1A2B&PID_3C4D&REV_0100"; 0 when there are none.
uint16_t IdAfter(const std::wstring& hardwareId, const wchar_t* key) {
  const size_t at = Lower(hardwareId).find(Lower(key));
  if (at == std::wstring::npos || hardwareId.size() < at + 8) return 0;
  unsigned value = 0;
  for (size_t i = at + 4; i < at + 8; ++i) {
    const wchar_t c = hardwareId[i];
    const int digit = (c >= L'0' && c <= L'9')   ? c - L'0'
                      : (c >= L'a' && c <= L'f') ? c - L'a' + 10
                      : (c >= L'A' && c <= L'F') ? c - L'A' + 10
                                                 : -1;
    if (digit < 0) return 0;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<uint16_t>(value);
}

// What the device's hardware ids, instance id and service say.
UsbDevice Describe(const WindowsCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& info) {
  UsbDevice device;
  const std::wstring instance = InstanceId(calls, list, info);
  device.instanceId = Utf8Text(instance);
  for (const std::wstring& id : Property(calls, list, info, SPDRP_HARDWAREID)) {
    device.vendorId = IdAfter(id, L"VID_");
    device.productId = IdAfter(id, L"PID_");
    if (device.vendorId != 0 || device.productId != 0) break;
  }
  // "USB\VID_1A2B&PID_3C4D\00001A2B": the serial number, where the device has one; Windows
  // makes up one with '&' in it where it has none.
  const size_t slash = instance.rfind(L'\\');
  if (slash != std::wstring::npos && instance.find(L'&', slash) == std::wstring::npos) {
    device.serial = Utf8Text(instance.substr(slash + 1));
  }
  const std::vector<std::wstring> service = Property(calls, list, info, SPDRP_SERVICE);
  if (!service.empty()) device.service = Utf8Text(service.front());
  return device;
}

// Opened as WinUsbPlatform opens it. WinUSB lets one program have a device at a time.
Open TryOpenPath(const WindowsCalls& calls, const std::wstring& path) {
  const HANDLE file = calls.createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    calls.closeHandle(file);
    return Open::Opened;
  }
  switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_BUSY: return Open::Held;
    default: return Open::Failed;
  }
}

// The interface paths of the class's members in `list`, each with its device.
struct Member {
  std::wstring path;
  SP_DEVINFO_DATA info{};
};

std::vector<Member> Members(const WindowsCalls& calls, HDEVINFO list, const GUID& guid) {
  std::vector<Member> members;
  SP_DEVICE_INTERFACE_DATA itf{};
  itf.cbSize = sizeof itf;
  for (DWORD i = 0; calls.enumInterfaces(list, nullptr, &guid, i, &itf); ++i) {
    DWORD size = 0;
    calls.interfaceDetail(list, &itf, nullptr, 0, &size, nullptr);
    constexpr DWORD kPathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= kPathAt || size > kMaxValueBytes) {
      continue;
    }
    // DWORD elements keep the record's size field aligned.
    std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    Member member;
    member.info.cbSize = sizeof member.info;
    if (!calls.interfaceDetail(list, &itf, detail, size, nullptr, &member.info)) continue;
    member.path.assign(detail->DevicePath,
                       wcsnlen(detail->DevicePath, (size - kPathAt) / sizeof(wchar_t)));
    members.push_back(std::move(member));
  }
  return members;
}

bool IsVendorSpecific(const std::vector<std::wstring>& compatibleIds) {
  return std::any_of(compatibleIds.begin(), compatibleIds.end(), [](const std::wstring& id) {
    return Lower(id).starts_with(L"usb\\class_ff");
  });
}

}  // namespace

Facts GatherWindowsFacts(const Guid& interfaceClass, const WindowsCalls& calls) {
  Facts facts;
  facts.system = Facts::System::Windows;
  const GUID guid = ToWindows(interfaceClass);
  std::set<std::wstring> presentPaths;
  std::set<std::wstring> seenInstances;
  {
    const DeviceList present(calls, &guid, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    facts.listed = present.Ok();
    if (present.Ok()) {
      for (const Member& m : Members(calls, present.Get(), guid))
        presentPaths.insert(Lower(m.path));
    }
  }
  // Without DIGCF_PRESENT the members seen before come too: the programmer's driver is
  // installed, the programmer is not plugged in.
  const DeviceList all(calls, &guid, nullptr, DIGCF_DEVICEINTERFACE);
  if (all.Ok()) {
    for (Member& m : Members(calls, all.Get(), guid)) {
      UsbDevice device = Describe(calls, all.Get(), m.info);
      device.foundBy = FoundBy::InterfaceClass;
      device.present = presentPaths.contains(Lower(m.path));
      if (device.present) device.open = TryOpenPath(calls, m.path);
      seenInstances.insert(Lower(WideText(device.instanceId)));
      facts.devices.push_back(std::move(device));
    }
  }
  const DeviceList usb(calls, nullptr, L"USB", DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (usb.Ok()) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; calls.enumDevices(usb.Get(), i, &info); ++i) {
      UsbDevice device = Describe(calls, usb.Get(), info);
      if (seenInstances.contains(Lower(WideText(device.instanceId)))) continue;
      const std::vector<Guid> named = KeyGuids(calls, usb.Get(), info);
      const bool namesClass = std::find(named.begin(), named.end(), interfaceClass) != named.end();
      if (namesClass) {
        device.foundBy = FoundBy::DeviceRegistry;
      } else if (device.service.empty() &&
                 IsVendorSpecific(Property(calls, usb.Get(), info, SPDRP_COMPATIBLEIDS))) {
        device.foundBy = FoundBy::NoDriver;
      } else {
        continue;
      }
      facts.devices.push_back(std::move(device));
    }
  }
  facts.simulators = GatherSimulators(interfaceClass);
  return facts;
}

Facts GatherFacts(const Guid& interfaceClass, const Roots&) {
  return GatherWindowsFacts(interfaceClass, WindowsCalls{});
}

}  // namespace kp::doctor
