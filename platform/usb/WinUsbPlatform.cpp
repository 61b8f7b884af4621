#include "platform/usb/WinUsbPlatform.h"

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace kp {

namespace {

// SetupAPI checks the size field of every record against its own record of this build: the
// 32-bit sizes (28 and 5) are refused by 64-bit Windows, and then no device is ever found.
// The size fields below are therefore always sizeof of the build's records.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#endif

// The detail record is its size field followed by the path; only the path is the seam's.
constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

static_assert(sizeof(Guid) == sizeof(GUID));

GUID ToWindows(const Guid& g) {
  GUID w{};
  w.Data1 = g.data1;
  w.Data2 = g.data2;
  w.Data3 = g.data3;
  std::memcpy(w.Data4, g.data4, sizeof w.Data4);
  return w;
}

Guid FromWindows(const GUID& w) {
  Guid g{};
  g.data1 = static_cast<uint32_t>(w.Data1);
  g.data2 = w.Data2;
  g.data3 = w.Data3;
  std::memcpy(g.data4, w.Data4, sizeof g.data4);
  return g;
}

SP_DEVICE_INTERFACE_DATA ToWindows(const DeviceInterfaceData& d) {
  SP_DEVICE_INTERFACE_DATA w{};
  w.cbSize = sizeof w;
  w.InterfaceClassGuid = ToWindows(d.interfaceClassGuid);
  w.Flags = d.flags;
  w.Reserved = d.reserved;
  return w;
}

HDEVINFO ToDevInfo(DevInfoHandle list) { return reinterpret_cast<HDEVINFO>(list); }
HANDLE ToFile(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
WINUSB_INTERFACE_HANDLE ToWinUsb(WinUsbHandle handle) {
  return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(handle);
}

PipeType FromWindows(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeIsochronous: return PipeType::Isochronous;
    case UsbdPipeTypeBulk: return PipeType::Bulk;
    case UsbdPipeTypeInterrupt: return PipeType::Interrupt;
    case UsbdPipeTypeControl: break;
  }
  return PipeType::Control;
}

}  // namespace

DevInfoHandle WinUsbPlatform::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  const GUID guid = ToWindows(interfaceClass);
  const HDEVINFO list =
      ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<DevInfoHandle>(list);
}

bool WinUsbPlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                                 uint32_t index, DeviceInterfaceData* data) {
  if (list == kInvalidHandle || data == nullptr) return false;
  const GUID guid = ToWindows(interfaceClass);
  SP_DEVICE_INTERFACE_DATA member{};
  member.cbSize = sizeof member;
  if (!::SetupDiEnumDeviceInterfaces(ToDevInfo(list), nullptr, &guid, index, &member)) {
    return false;
  }
  data->interfaceClassGuid = FromWindows(member.InterfaceClassGuid);
  data->flags = member.Flags;
  data->reserved = member.Reserved;
  return true;
}

bool WinUsbPlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                      const DeviceInterfaceData& data, char* path,
                                                      uint32_t pathSize, uint32_t* requiredSize) {
  if (list == kInvalidHandle) return false;
  SP_DEVICE_INTERFACE_DATA member = ToWindows(data);

  if (path == nullptr) {
    // The size query fails by design; only ERROR_INSUFFICIENT_BUFFER comes with a size.
    DWORD recordSize = 0;
    const BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &member, nullptr, 0,
                                                       &recordSize, nullptr);
    const bool sized = !ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (requiredSize != nullptr) {
      *requiredSize = sized && recordSize > kPathOffset ? recordSize - kPathOffset : 0;
    }
    return false;
  }

  if (pathSize == 0 || pathSize > MAXDWORD - kPathOffset) return false;
  const DWORD recordSize = kPathOffset + pathSize;
  // DWORD elements keep the record's size field aligned.
  std::unique_ptr<DWORD[]> storage(new (std::nothrow)
                                       DWORD[(recordSize + sizeof(DWORD) - 1) / sizeof(DWORD)]);
  if (!storage) return false;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD needed = 0;
  if (!::SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &member, detail, recordSize, &needed,
                                          nullptr)) {
    return false;
  }
  // SetupAPI terminates the path; the copy stays inside the caller's buffer regardless.
  const char* source = detail->DevicePath;
  const size_t length = strnlen(source, pathSize);
  if (length == pathSize) return false;
  std::memcpy(path, source, length);
  path[length] = '\0';
  if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(length + 1);
  return true;
}

bool WinUsbPlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  if (list == kInvalidHandle) return false;
  return ::SetupDiDestroyDeviceInfoList(ToDevInfo(list)) != FALSE;
}

FileHandle WinUsbPlatform::CreateFileA(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  // WinUSB needs the file opened for overlapped I/O, although every transfer here waits.
  const HANDLE file =
      ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<FileHandle>(file);
}

bool WinUsbPlatform::CloseHandle(FileHandle file) {
  // -1 is also the current process's pseudo handle, which CloseHandle would accept.
  if (file == kInvalidHandle) return false;
  return ::CloseHandle(ToFile(file)) != FALSE;
}

bool WinUsbPlatform::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  if (file == kInvalidHandle || handle == nullptr) return false;
  WINUSB_INTERFACE_HANDLE winUsb = nullptr;
  if (!::WinUsb_Initialize(ToFile(file), &winUsb)) return false;
  *handle = reinterpret_cast<WinUsbHandle>(winUsb);
  return true;
}

bool WinUsbPlatform::WinUsb_Free(WinUsbHandle handle) {
  if (handle == kInvalidHandle) return false;
  return ::WinUsb_Free(ToWinUsb(handle)) != FALSE;
}

bool WinUsbPlatform::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                          uint16_t languageId, uint8_t* buffer, uint32_t length,
                                          uint32_t* transferred) {
  ULONG count = 0;
  if (!::WinUsb_GetDescriptor(ToWinUsb(handle), type, index, languageId, buffer, length, &count)) {
    return false;
  }
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(count);
  return true;
}

bool WinUsbPlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                                   InterfaceDescriptor* descriptor) {
  if (descriptor == nullptr) return false;
  USB_INTERFACE_DESCRIPTOR d{};
  if (!::WinUsb_QueryInterfaceSettings(ToWinUsb(handle), alternateSetting, &d)) return false;
  descriptor->bLength = d.bLength;
  descriptor->bDescriptorType = d.bDescriptorType;
  descriptor->bInterfaceNumber = d.bInterfaceNumber;
  descriptor->bAlternateSetting = d.bAlternateSetting;
  descriptor->bNumEndpoints = d.bNumEndpoints;
  descriptor->bInterfaceClass = d.bInterfaceClass;
  descriptor->bInterfaceSubClass = d.bInterfaceSubClass;
  descriptor->bInterfaceProtocol = d.bInterfaceProtocol;
  descriptor->iInterface = d.iInterface;
  return true;
}

bool WinUsbPlatform::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting,
                                      uint8_t pipeIndex, PipeInformation* pipe) {
  if (pipe == nullptr) return false;
  WINUSB_PIPE_INFORMATION info{};
  if (!::WinUsb_QueryPipe(ToWinUsb(handle), alternateSetting, pipeIndex, &info)) return false;
  pipe->pipeType = FromWindows(info.PipeType);
  pipe->pipeId = info.PipeId;
  pipe->maximumPacketSize = info.MaximumPacketSize;
  pipe->interval = info.Interval;
  return true;
}

bool WinUsbPlatform::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                                          uint32_t valueLength, const void* value) {
  // WinUSB only reads the value of a policy being set.
  return ::WinUsb_SetPipePolicy(ToWinUsb(handle), pipeId, policyType, valueLength,
                                const_cast<void*>(value)) != FALSE;
}

bool WinUsbPlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                      uint32_t length, uint32_t* transferred) {
  ULONG count = 0;
  // No overlapped record: the call returns when the transfer is done.
  if (!::WinUsb_WritePipe(ToWinUsb(handle), pipeId, const_cast<uint8_t*>(buffer), length, &count,
                          nullptr)) {
    return false;
  }
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(count);
  return true;
}

bool WinUsbPlatform::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                     uint32_t length, uint32_t* transferred) {
  ULONG count = 0;
  // No overlapped record: the call waits at most the pipe's transfer time-out.
  if (!::WinUsb_ReadPipe(ToWinUsb(handle), pipeId, buffer, length, &count, nullptr)) {
    return false;
  }
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(count);
  return true;
}

void WinUsbPlatform::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace kp
