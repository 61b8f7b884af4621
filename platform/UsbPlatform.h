// The seam between the link and the operating system: the SetupAPI, kernel and WinUSB
// operations the link uses, one virtual operation each, named after the Windows call it
// stands for. Nothing above this seam includes a system header for USB, sockets or time.
//
// Backends, one folder per kind:
//   platform/usb        LibusbPlatform: real programmers on Linux through libusb-1.0;
//                       WinUsbPlatform: the real Windows calls, nothing added.
//   platform/virtual    VirtualBus: in-process devices on a virtual clock, for the tests.
//   platform/simclient  SimUnixPlatform (AF_UNIX) and SimTcpPlatform (TCP on 127.0.0.1):
//                       kpr50-sim's virtual programmers.
//   platform/system     MakeSystemPlatform: the programs' one choice of the above.
// Beside the seam: UsbBackend, the handle tables every backend but WinUsbPlatform keeps;
// CompositePlatform, several backends as one list; NullPlatform, a platform with no devices.
//
// Where there is no Windows, the operations mean:
//   SetupDiGetClassDevsA: libusb lists the devices udev tags with the GUID, or whose
//     Microsoft OS descriptors name it; the simulator client lists the device files of the
//     GUID in its folder. A list is of device paths; enumerating it, asking a member's path
//     and destroying it touch nothing else.
//   CreateFileA / CloseHandle: libusb opens the device and claims interface 0, which makes
//     the open exclusive, then gives both back; the simulator client connects and takes the
//     server's hello (a busy one means another client holds the device), then disconnects.
//   WinUsb_Initialize / WinUsb_Free: a handle the backend keeps; no device traffic.
//   WinUsb_GetDescriptor, WinUsb_QueryInterfaceSettings, WinUsb_QueryPipe: libusb answers
//     from the descriptors the kernel cached (the serial number from sysfs), and only a
//     descriptor not there costs a control transfer; the simulator answers from the hello.
//   WinUsb_SetPipePolicy: the transfer time-out is kept per pipe and bounds each read.
//   WinUsb_WritePipe / WinUsb_ReadPipe: libusb runs one bulk (or interrupt) transfer; the
//     simulator client sends or receives one whole message.
//   Sleep: real time; VirtualBus advances its virtual clock instead.
#pragma once

#include "base/UsbTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kp {

// Why a device that belongs to an interface class could not be opened: what the caller of
// Link cannot see through CreateFileA's one invalid handle.
enum class Unreachable : uint8_t {
  NoPermission,   // the device node may not be opened (no udev rule for it)
  HeldElsewhere,  // another program holds the device's interface
};

struct UnreachableDevice {
  std::string where;  // bus and address as lsusb shows them, e.g. "001/007"
  Unreachable why = Unreachable::NoPermission;
  bool operator==(const UnreachableDevice&) const = default;
};

// Each operation says whether it may block, whether it talks to a device, and which of its
// failures the caller can tell apart. "Never blocks" means it returns without waiting for a
// device, a socket or the clock.
class UsbPlatform {
 public:
  virtual ~UsbPlatform() = default;

  // Present device interfaces of one class (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).
  // Returns the list, or kInvalidHandle when no list can be made (one kind of failure).
  // May block and talk to devices: a backend may ask a device it has not seen before what it
  // is (LibusbPlatform reads Microsoft OS descriptors, each control transfer bounded) or ask
  // a socket for its device (SimUnixPlatform).
  virtual DevInfoHandle SetupDiGetClassDevsA(const Guid& interfaceClass) = 0;

  // Member `index` of the list. Returns false when no member has that index, or the list is
  // unknown: the two are not told apart. Never blocks; no device traffic.
  virtual bool SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                           uint32_t index, DeviceInterfaceData* data) = 0;

  // The member's device path. Called first with path == nullptr (and size 0): returns false
  // and sets *requiredSize to the bytes the zero-terminated path needs. Called again with a
  // buffer of at least that size: writes the path, returns true. False on any failure; a
  // caller tells the size answer from a failure by *requiredSize. Never blocks; no device
  // traffic.
  virtual bool SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list, const DeviceInterfaceData& data,
                                                char* path, uint32_t pathSize,
                                                uint32_t* requiredSize) = 0;

  // Releases a list. Returns false for an unknown handle. Never blocks.
  virtual bool SetupDiDestroyDeviceInfoList(DevInfoHandle list) = 0;

  // Opens a device path for reading and writing (shared, overlapped). Returns kInvalidHandle
  // when the path does not exist, has gone, is held open by someone else, or may not be
  // opened: the caller cannot tell these apart here; UnreachableDevices says which devices
  // failed for lack of permission or because another program holds them. May block briefly
  // (the kernel opens the device, a driver may be detached, a socket connected).
  virtual FileHandle CreateFileA(const char* path) = 0;

  // Closes a file handle. Returns false for an unknown handle. May block briefly while the
  // device's interface is given back.
  virtual bool CloseHandle(FileHandle file) = 0;

  // Initialises WinUSB on an open file. Returns false (and leaves *handle alone) on failure,
  // one kind. On Windows this talks to the driver; the other backends keep it local.
  virtual bool WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) = 0;

  // Releases a WinUSB handle. Returns false for an unknown handle. Never blocks.
  virtual bool WinUsb_Free(WinUsbHandle handle) = 0;

  // Reads a descriptor (device: type 1; string: type 3) into buffer, at most `length` bytes.
  // Returns false on failure (one kind: a stall, a gone device, an unknown handle); on
  // success *transferred holds the count. The device and serial-number descriptors come from
  // what the backend cached when the device was opened; any other may cost a control
  // transfer, bounded by the backend's control time-out.
  virtual bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                    uint16_t languageId, uint8_t* buffer, uint32_t length,
                                    uint32_t* transferred) = 0;

  // Interface descriptor of an alternate setting. Returns false on failure (no such setting
  // or an unknown handle). From cached descriptors: never blocks, no device traffic.
  virtual bool WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                             InterfaceDescriptor* descriptor) = 0;

  // Pipe `pipeIndex` of an alternate setting. Returns false on failure or past the last
  // pipe, not told apart. From cached descriptors: never blocks, no device traffic.
  virtual bool WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
                                PipeInformation* pipe) = 0;

  // Sets a pipe policy; the link sets only kPipeTransferTimeout (4-byte milliseconds).
  // Returns false when the platform refuses (one kind). Never blocks; no device traffic.
  virtual bool WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                                    uint32_t valueLength, const void* value) = 0;

  // Writes one transfer. Returns false on failure (one kind: refused, timed out, or the
  // device gone); on success *transferred holds the count written, which may be short, and
  // a short count is how a partial write is told apart. Blocks until the device takes the
  // transfer (LibusbPlatform: at most kOutTransferTimeoutMs).
  virtual bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                uint32_t length, uint32_t* transferred) = 0;

  // Reads one transfer of at most `length` bytes. Blocks at most the pipe's transfer
  // time-out (0: without limit). Returns false on time-out or failure, not told apart: both
  // mean that nothing arrived. On success *transferred holds the count.
  virtual bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                               uint32_t length, uint32_t* transferred) = 0;

  // Suspends the calling thread for `milliseconds` (VirtualBus: advances its clock).
  virtual void Sleep(uint32_t milliseconds) = 0;

  // Devices of the class last listed that qualify but could not be opened, as of the last
  // listing and the opens after it; empty when there is nothing to tell. Never blocks.
  // A backend that cannot tell reports nothing.
  virtual std::vector<UnreachableDevice> UnreachableDevices() const { return {}; }
};

}  // namespace kp
