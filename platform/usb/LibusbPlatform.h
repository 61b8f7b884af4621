// Real programmers on Linux through libusb-1.0.
//
// A device is a present interface of a GUID when udev names the GUID in its
// KPNOX_DEVICE_INTERFACE_GUIDS property (set by our udev rule for the programmer's vendor
// and product ids), or, for a device udev does not tag, when its Microsoft OS descriptors
// name it (the 2.0 descriptor set, else the 1.0 extended properties of interface 0). Those
// are read with control transfers, only from devices whose interface 0 is vendor-specific
// with a bulk pipe each way, once per attached device (bus, address), and remembered: the
// link lists the devices four times a second while no programmer is open. Devices we may
// not open are skipped without a word.
//
// The device path is "usb:<bus>-<port.port...>", the kernel's name for the device. Opening
// it claims interface 0 (detaching a kernel driver only if one is bound), which makes the
// open exclusive across processes; opens through this object are also tracked, so a second
// open of a held device fails here as it does on Windows. Descriptors, interface settings
// and pipes come from the descriptors the kernel cached; the serial-number string comes from
// the kernel's copy in sysfs when it has one, so Link costs no device traffic. Reads wait at
// most the IN pipe's time-out (0 = without limit, as WinUSB); writes at most
// kOutTransferTimeoutMs, so a wedged device cannot hang the program.
//
// libusb results become the seam's false / kInvalidHandle here and nowhere else.
#pragma once

#include "platform/Descriptors.h"
#include "platform/UsbBackend.h"

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct udev;

namespace kp {

inline constexpr uint32_t kOutTransferTimeoutMs = 5000;
// Each control transfer of the Microsoft OS descriptor probe, and descriptor reads.
inline constexpr uint32_t kControlTimeoutMs = 500;
inline constexpr const char* kInterfaceGuidsProperty = "KPNOX_DEVICE_INTERFACE_GUIDS";
// The interface the link talks to, as WinUSB's first interface.
inline constexpr uint8_t kClaimedInterface = 0;

// A USB string descriptor (UTF-16LE) holding `utf8`, the kernel's decoded copy of a string
// descriptor (a trailing newline, as sysfs adds, is dropped). Nothing when the text is not
// valid UTF-8 or does not fit in one descriptor.
std::optional<std::vector<uint8_t>> StringDescriptorFromUtf8(std::string_view utf8);

// One device a listing saw that may be a programmer of the class, and how it came to be one:
// what kpnox-cli doctor starts from when it says why no programmer opens.
struct SurveyedDevice {
  std::string path;  // as the listing names it, "usb:1-2"; opens only when Named()
  std::string port;  // the kernel's name, "1-2"
  uint8_t bus = 0;
  uint8_t address = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  bool tagged = false;      // udev names the class (our rule)
  bool msOsNamed = false;   // its Microsoft OS descriptors name the class
  bool vendorBulk = false;  // interface 0 vendor-specific, a bulk pipe each way
  bool unprobed = false;    // not tagged, and it could not be opened to be asked
  std::string interface;    // interface 0 of the active configuration, as text
  bool Named() const { return tagged || msOsNamed; }
};

class LibusbPlatform : public UsbBackend {
 public:
  LibusbPlatform();
  ~LibusbPlatform() override;
  LibusbPlatform(const LibusbPlatform&) = delete;
  LibusbPlatform& operator=(const LibusbPlatform&) = delete;

  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;
  // Listed devices that the last open refused for lack of permission or because another
  // program holds them.
  std::vector<UnreachableDevice> UnreachableDevices() const override;

  // Devices this object holds open.
  size_t OpenDeviceCount() const { return Files().size(); }
  // Microsoft OS descriptor probes run so far (each costs device traffic).
  uint32_t ProbeCount() const { return probes_; }
  // The raw libusb code of the last failure, 0 while there was none; for diagnostics only.
  int LastLibusbError() const { return lastError_; }
  // A listing of the class that also keeps the devices that may be programmers but are not
  // named as such (a vendor interface udev did not tag, that no descriptor names); nothing
  // when libusb cannot list. The named ones open with CreateFileA afterwards, as listed.
  std::optional<std::vector<SurveyedDevice>> Survey(const Guid& interfaceClass);
  // "1.0.26.11724": the libusb the program runs with.
  static std::string LibusbVersion();

 protected:
  std::optional<std::vector<std::string>> ListDevices(const Guid& interfaceClass) override;
  std::unique_ptr<OpenFile> Open(const std::string& path) override;
  bool MayInitialize(OpenFile& file) override;
  // Costs a control transfer, bounded by kControlTimeoutMs.
  bool ReadDescriptor(OpenFile& file, uint8_t type, uint8_t index, uint16_t languageId,
                      uint8_t* buffer, uint32_t length, uint32_t* transferred) override;
  bool MayTakePipePolicy(OpenFile& file, uint8_t pipeId) override;

 private:
  // bmRequestType of a standard request to the device, IN.
  static constexpr uint8_t kStandardIn = 0x80;

  // One attachment of a device: the address changes whenever it is plugged in again.
  struct Attachment {
    uint8_t bus = 0;
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    auto operator<=>(const Attachment&) const = default;
  };
  // What udev knows of a device.
  struct UdevRecord {
    std::string sysPath;
    bool tagged = false;  // it carries the GUID property, even an empty one
    std::vector<Guid> guids;
  };
  // A listed device, as CreateFileA finds it again.
  struct Located {
    Attachment attachment;
    std::string sysPath;
  };
  struct HandleCloser {
    void operator()(libusb_device_handle* handle) const;
  };
  using DeviceHandle = std::unique_ptr<libusb_device_handle, HandleCloser>;
  // What opening took from the system for interface 0, given back when it goes: the claim,
  // then the kernel driver that was detached for it.
  class InterfaceClaim {
   public:
    InterfaceClaim() = default;
    explicit InterfaceClaim(libusb_device_handle* handle) : handle_(handle) {}
    InterfaceClaim(InterfaceClaim&& other) noexcept;
    InterfaceClaim& operator=(InterfaceClaim&& other) noexcept;
    ~InterfaceClaim();
    void DriverDetached() { driverDetached_ = true; }
    void Claimed() { claimed_ = true; }

   private:
    void GiveBack();
    libusb_device_handle* handle_ = nullptr;
    bool driverDetached_ = false;
    bool claimed_ = false;
  };
  // The context's device list, freed when it goes; a device opened from it keeps a reference
  // of its own.
  class DeviceList {
   public:
    explicit DeviceList(libusb_context* context);
    ~DeviceList();
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    // The device count, or a libusb error code.
    int Result() const { return static_cast<int>(count_); }
    std::span<libusb_device* const> Devices() const {
      return {devices_, count_ > 0 ? static_cast<size_t>(count_) : 0};
    }

   private:
    libusb_device** devices_ = nullptr;
    intptr_t count_ = 0;
  };
  struct OpenDevice : OpenFile {
    DeviceHandle handle;  // before the claim: the claim is given back first
    InterfaceClaim claim;
    std::string path;
    bool gone = false;  // unplugged: every later transfer fails at once
  };

  bool EnsureContext();
  // ListDevices, and what it saw of each candidate when `survey` is given.
  std::optional<std::vector<std::string>> Scan(const Guid& interfaceClass,
                                               std::vector<SurveyedDevice>* survey);
  std::map<std::pair<uint8_t, uint8_t>, UdevRecord> ReadUdev();
  const std::vector<Guid>& ProbedGuids(libusb_device* device, const Attachment& attachment);
  std::vector<Guid> ProbeMsOs20(libusb_device_handle* handle, uint16_t bcdUsb);
  std::vector<Guid> ProbeMsOs10(libusb_device_handle* handle);
  // One control IN transfer; *data holds what came.
  bool ControlIn(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                 uint16_t index, uint16_t length, std::vector<uint8_t>* data);
  bool Succeeded(int libusbResult, OpenDevice* device = nullptr);
  OpenDevice* DeviceOf(WinUsbHandle handle) { return FileOfWinUsb<OpenDevice>(handle); }
  // The steps of CreateFileA.
  bool IsHeldHere(const std::string& path) const;
  bool OpenListed(const Located& listed, OpenDevice* open);
  static bool CopyDescriptors(libusb_device* device, OpenDevice* open);
  bool ClaimInterface(const Located& listed, OpenDevice* open);
  // Keeps why a listed device could not be opened, when the caller has a use for it.
  void NoteRefusal(const std::string& path, const Attachment& attachment, int libusbResult);

  libusb_context* context_ = nullptr;
  udev* udev_ = nullptr;
  std::map<std::string, Located> located_;  // listed devices that are still present
  std::map<Attachment, std::vector<Guid>> probed_;
  std::map<std::string, UnreachableDevice> unreachable_;  // by path
  uint32_t probes_ = 0;
  int lastError_ = 0;
};

}  // namespace kp
