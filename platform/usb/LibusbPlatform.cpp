#include "platform/usb/LibusbPlatform.h"

#include "platform/DevicePath.h"
#include "platform/ByteOrder.h"
#include "platform/usb/MsOsDescriptors.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <span>
#include <thread>
#include <utility>

#include <libudev.h>
#include <libusb.h>

namespace kp {

namespace {

constexpr size_t kMaxStringUnits = 126;  // bLength is one byte: 2 + 2 * 126 = 254
constexpr uint8_t kDeviceDescriptorLength = 18;
constexpr uint16_t kBosHeaderLength = 5;
constexpr uint16_t kMsOs10StringLength = 18;
constexpr uint16_t kExtendedHeaderLength = 10;
constexpr int kMaxPortDepth = 7;
constexpr std::streamsize kMaxSysfsText = 512;

// bmRequestType: direction (bit 7), type (bits 5-6), recipient (bits 0-4).
constexpr uint8_t kStandardIn = 0x80;         // IN, standard, device
constexpr uint8_t kVendorDeviceIn = 0xC0;     // IN, vendor, device
constexpr uint8_t kVendorInterfaceIn = 0xC1;  // IN, vendor, interface

// How the seam sees one libusb result. This is the only place that reads libusb's codes.
struct Verdict {
  bool ok = false;
  bool deviceGone = false;
  int rawCode = 0;
};

Verdict Judge(int code) {
  if (code >= 0) return {true, false, 0};  // success, or a count of bytes
  switch (code) {
    case LIBUSB_ERROR_NO_DEVICE:  // unplugged: nothing on this device can work any more
      return {false, true, code};
    // A time-out, a stall, no permission (our udev rule is not installed), another holder
    // of the interface, and anything else: the operation failed, the device may still be
    // there.
    default:
      return {false, false, code};
  }
}

// busnum and devnum as sysfs gives them: a decimal number, perhaps a newline.
std::optional<uint8_t> SmallNumber(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  unsigned value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > 255) return std::nullopt;
  }
  while (*p == '\n' || *p == ' ') ++p;
  if (*p != '\0' || p == text || value == 0) return std::nullopt;
  return static_cast<uint8_t>(value);
}

// The kernel's name of a device: bus, then the hub ports from the root.
std::string PortName(libusb_device* device) {
  uint8_t ports[kMaxPortDepth];
  const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
  std::string name = std::to_string(libusb_get_bus_number(device)) + "-";
  if (depth <= 0) return name + "0";  // a root hub
  for (int i = 0; i < depth; ++i) {
    if (i > 0) name += '.';
    name += std::to_string(ports[i]);
  }
  return name;
}

std::string PathOf(libusb_device* device) { return "usb:" + PortName(device); }

// Only a vendor-specific interface 0 with a bulk pipe each way can be a WinUSB programmer;
// no other device (storage, phones, serial adapters of a standard class) is worth a control
// transfer that some firmware answers badly.
bool MayBeWinUsbDevice(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return false;
  bool in = false;
  bool out = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != kClaimedInterface) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    if (alt.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) continue;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? in : out) = true;
    }
  }
  libusb_free_config_descriptor(config);
  return in && out;
}

std::optional<std::vector<uint8_t>> SerialFromSysfs(const std::string& sysPath) {
  std::ifstream file(sysPath + "/serial", std::ios::binary);
  if (!file) return std::nullopt;
  char text[kMaxSysfsText];
  file.read(text, kMaxSysfsText);
  const std::streamsize n = file.gcount();
  if (n <= 0 || n == kMaxSysfsText) return std::nullopt;
  return StringDescriptorFromUtf8(std::string_view(text, static_cast<size_t>(n)));
}

// The context's device list, freed when it goes; a device opened from it keeps a reference
// of its own.
class DeviceList {
 public:
  explicit DeviceList(libusb_context* context)
      : count_(libusb_get_device_list(context, &devices_)) {}
  ~DeviceList() {
    if (devices_ != nullptr) libusb_free_device_list(devices_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  // The device count, or a libusb error code.
  int Result() const { return static_cast<int>(count_); }
  std::span<libusb_device* const> Devices() const {
    return {devices_, count_ > 0 ? static_cast<size_t>(count_) : 0};
  }

 private:
  libusb_device** devices_ = nullptr;
  ssize_t count_;
};

// As lsusb names a device: "001/007".
std::string BusAndAddress(uint8_t bus, uint8_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u/%03u", unsigned{bus}, unsigned{address});
  return text;
}

int Transfer(libusb_device_handle* handle, const PipeInformation& pipe, uint8_t* buffer,
             uint32_t length, int* done, uint32_t timeoutMs) {
  const int size = static_cast<int>(length);
  switch (pipe.pipeType) {
    case PipeType::Bulk:
      return libusb_bulk_transfer(handle, pipe.pipeId, buffer, size, done, timeoutMs);
    case PipeType::Interrupt:
      return libusb_interrupt_transfer(handle, pipe.pipeId, buffer, size, done, timeoutMs);
    default:
      return LIBUSB_ERROR_NOT_SUPPORTED;
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> StringDescriptorFromUtf8(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shortest form only
  std::vector<uint16_t> units;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (lead < 0x80) {
      n = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      n = 2, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      n = 3, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      n = 4, cp = lead & 0x07u;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < n) return std::nullopt;
    for (size_t k = 1; k < n; ++k) {
      const auto follow = static_cast<uint8_t>(text[i + k]);
      if ((follow & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (follow & 0x3Fu);
    }
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    i += n;
  }
  if (units.size() > kMaxStringUnits) return std::nullopt;
  std::vector<uint8_t> descriptor(2 + 2 * units.size());
  descriptor[0] = static_cast<uint8_t>(descriptor.size());
  descriptor[1] = kUsbStringDescriptorType;
  for (size_t i = 0; i < units.size(); ++i) PutLe16(&descriptor[2 + 2 * i], units[i]);
  return descriptor;
}

LibusbPlatform::LibusbPlatform() = default;

void LibusbPlatform::HandleCloser::operator()(libusb_device_handle* handle) const {
  libusb_close(handle);
}

LibusbPlatform::InterfaceClaim::InterfaceClaim(InterfaceClaim&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      driverDetached_(std::exchange(other.driverDetached_, false)),
      claimed_(std::exchange(other.claimed_, false)) {}

LibusbPlatform::InterfaceClaim& LibusbPlatform::InterfaceClaim::operator=(
    InterfaceClaim&& other) noexcept {
  if (this != &other) {
    GiveBack();
    handle_ = std::exchange(other.handle_, nullptr);
    driverDetached_ = std::exchange(other.driverDetached_, false);
    claimed_ = std::exchange(other.claimed_, false);
  }
  return *this;
}

LibusbPlatform::InterfaceClaim::~InterfaceClaim() { GiveBack(); }

void LibusbPlatform::InterfaceClaim::GiveBack() {
  if (handle_ == nullptr) return;
  if (claimed_) libusb_release_interface(handle_, kClaimedInterface);
  if (driverDetached_) libusb_attach_kernel_driver(handle_, kClaimedInterface);
  handle_ = nullptr;
  driverDetached_ = false;
  claimed_ = false;
}

LibusbPlatform::~LibusbPlatform() {
  files_.clear();  // every device given back and closed before the context goes
  if (context_ != nullptr) libusb_exit(context_);
  if (udev_ != nullptr) udev_unref(udev_);
}

bool LibusbPlatform::Succeeded(int libusbResult, OpenDevice* device) {
  const Verdict verdict = Judge(libusbResult);
  if (verdict.ok) return true;
  lastError_ = verdict.rawCode;
  if (verdict.deviceGone && device != nullptr) device->gone = true;
  return false;
}

// Made on first use, so that a program that never looks for a programmer never starts
// libusb's event thread. A failure is tried again on the next listing.
bool LibusbPlatform::EnsureContext() {
  if (context_ != nullptr) return true;
  libusb_context* context = nullptr;
  if (!Succeeded(libusb_init(&context))) return false;
  context_ = context;
  if (udev_ == nullptr) udev_ = udev_new();  // without udev, only probing names devices
  return true;
}

std::map<std::pair<uint8_t, uint8_t>, LibusbPlatform::UdevRecord> LibusbPlatform::ReadUdev() {
  std::map<std::pair<uint8_t, uint8_t>, UdevRecord> records;
  if (udev_ == nullptr) return records;
  udev_enumerate* scan = udev_enumerate_new(udev_);
  if (scan == nullptr) return records;
  udev_enumerate_add_match_subsystem(scan, "usb");
  udev_enumerate_add_match_property(scan, "DEVTYPE", "usb_device");
  if (udev_enumerate_scan_devices(scan) >= 0) {
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(scan); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
      udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
      if (device == nullptr) continue;
      const auto bus = SmallNumber(udev_device_get_sysattr_value(device, "busnum"));
      const auto address = SmallNumber(udev_device_get_sysattr_value(device, "devnum"));
      if (bus && address) {
        UdevRecord record;
        record.sysPath = udev_device_get_syspath(device);
        if (const char* guids = udev_device_get_property_value(device, kInterfaceGuidsProperty)) {
          record.tagged = true;
          record.guids = msos::ParseGuidList(guids);
        }
        records[{*bus, *address}] = std::move(record);
      }
      udev_device_unref(device);
    }
  }
  udev_enumerate_unref(scan);
  return records;
}

bool LibusbPlatform::ControlIn(libusb_device_handle* handle, uint8_t requestType,
                               uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                               std::vector<uint8_t>* data) {
  data->assign(length, 0);
  const int n = libusb_control_transfer(handle, requestType, request, value, index, data->data(),
                                        length, kControlTimeoutMs);
  if (!Succeeded(n)) {
    data->clear();
    return false;
  }
  data->resize(static_cast<size_t>(n));
  return true;
}

std::vector<Guid> LibusbPlatform::ProbeMsOs20(libusb_device_handle* handle, uint16_t bcdUsb) {
  if (bcdUsb < msos::kMinBcdUsbForBos) return {};  // no BOS descriptor before USB 2.01
  std::vector<uint8_t> bos;
  const uint16_t bosValue = msos::kBosDescriptorType << 8;
  if (!ControlIn(handle, kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR, bosValue, 0,
                 kBosHeaderLength, &bos) ||
      bos.size() != kBosHeaderLength) {
    return {};
  }
  const uint16_t total = GetLe16(&bos[2]);  // wTotalLength
  if (total < kBosHeaderLength ||
      !ControlIn(handle, kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR, bosValue, 0, total, &bos)) {
    return {};
  }
  const auto info = msos::ParseBosForMsOs20(bos);
  if (!info) return {};
  std::vector<uint8_t> set;
  if (!ControlIn(handle, kVendorDeviceIn, info->vendorCode, /* wValue */ 0,
                 msos::kMsOs20DescriptorIndex, info->setLength, &set) ||
      set.size() != info->setLength) {
    return {};
  }
  return msos::ParseMsOs20DescriptorSet(set, kClaimedInterface);
}

std::vector<Guid> LibusbPlatform::ProbeMsOs10(libusb_device_handle* handle) {
  std::vector<uint8_t> string;
  if (!ControlIn(handle, kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR,
                 (LIBUSB_DT_STRING << 8) | msos::kMsOs10StringIndex, /* language */ 0,
                 kMsOs10StringLength, &string)) {
    return {};
  }
  const auto vendorCode = msos::ParseMsOs10StringDescriptor(string);
  if (!vendorCode) return {};
  // wValue: the interface in the high byte, page 0 in the low byte.
  const uint16_t value = kClaimedInterface << 8;
  std::vector<uint8_t> properties;
  if (!ControlIn(handle, kVendorInterfaceIn, *vendorCode, value,
                 msos::kMsOs10ExtendedPropertiesIndex, kExtendedHeaderLength, &properties) ||
      properties.size() != kExtendedHeaderLength) {
    return {};
  }
  const uint32_t total = GetLe32(properties.data());  // dwLength
  if (total < kExtendedHeaderLength || total > UINT16_MAX ||
      !ControlIn(handle, kVendorInterfaceIn, *vendorCode, value,
                 msos::kMsOs10ExtendedPropertiesIndex, static_cast<uint16_t>(total),
                 &properties)) {
    return {};
  }
  return msos::ParseMsOs10ExtendedProperties(properties);
}

const std::vector<Guid>& LibusbPlatform::ProbedGuids(libusb_device* device,
                                                     const Attachment& attachment) {
  static const std::vector<Guid> kNone;
  if (auto known = probed_.find(attachment); known != probed_.end()) return known->second;
  if (!MayBeWinUsbDevice(device)) return probed_[attachment] = {};
  libusb_device_handle* handle = nullptr;
  // Not ours to open (no permission, or gone): a failed open costs no device traffic, so it
  // is simply tried again next time.
  if (!Succeeded(libusb_open(device, &handle))) return kNone;
  ++probes_;
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  std::vector<Guid> guids = ProbeMsOs20(handle, descriptor.bcdUSB);
  if (guids.empty()) guids = ProbeMsOs10(handle);
  libusb_close(handle);
  return probed_[attachment] = std::move(guids);
}

DevInfoHandle LibusbPlatform::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  if (!EnsureContext()) return kInvalidHandle;
  const DeviceList devices(context_);
  if (!Succeeded(devices.Result())) return kInvalidHandle;
  const auto udevRecords = ReadUdev();
  std::vector<std::string> paths;
  std::set<Attachment> present;
  for (libusb_device* device : devices.Devices()) {
    libusb_device_descriptor descriptor{};
    if (!Succeeded(libusb_get_device_descriptor(device, &descriptor))) continue;
    const Attachment attachment{libusb_get_bus_number(device), libusb_get_device_address(device),
                                descriptor.idVendor, descriptor.idProduct};
    present.insert(attachment);
    const auto record = udevRecords.find({attachment.bus, attachment.address});
    const bool known = record != udevRecords.end();
    // A device udev tagged is never probed: the rule has said all there is to say.
    const std::vector<Guid>& guids =
        known && record->second.tagged ? record->second.guids : ProbedGuids(device, attachment);
    if (std::find(guids.begin(), guids.end(), interfaceClass) == guids.end()) continue;
    const std::string path = PathOf(device);
    paths.push_back(path);
    located_[path] = {attachment, known ? record->second.sysPath
                                        : "/sys/bus/usb/devices/" + PortName(device)};
  }
  std::erase_if(probed_, [&](const auto& e) { return !present.contains(e.first); });
  std::erase_if(located_, [&](const auto& e) { return !present.contains(e.second.attachment); });
  std::erase_if(unreachable_, [&](const auto& e) { return !located_.contains(e.first); });
  std::sort(paths.begin(), paths.end());
  const DevInfoHandle list = nextHandle_++;
  lists_[list] = std::move(paths);
  return list;
}

bool LibusbPlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                                 uint32_t index, DeviceInterfaceData* data) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data == nullptr || index >= it->second.size()) return false;
  data->interfaceClassGuid = interfaceClass;
  data->flags = 1;  // SPINT_ACTIVE
  data->reserved = index;
  return true;
}

bool LibusbPlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                      const DeviceInterfaceData& data, char* path,
                                                      uint32_t pathSize, uint32_t* requiredSize) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data.reserved >= it->second.size()) return false;
  return CopyDevicePath(it->second[data.reserved], path, pathSize, requiredSize);
}

bool LibusbPlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  return lists_.erase(list) == 1;
}

FileHandle LibusbPlatform::CreateFileA(const char* path) {
  if (path == nullptr || !EnsureContext()) return kInvalidHandle;
  // Only a device as it was listed: a device plugged into the same port since then has
  // another address and is not taken for it.
  const auto listed = located_.find(path);
  if (listed == located_.end() || IsHeldHere(path)) return kInvalidHandle;
  OpenDevice open;
  open.path = path;
  if (!OpenListed(listed->second, &open) || !ClaimInterface(listed->second, &open)) {
    return kInvalidHandle;  // whatever was taken on the way goes back with `open`
  }
  open.serialDescriptor = SerialFromSysfs(listed->second.sysPath);
  unreachable_.erase(open.path);
  const FileHandle file = nextHandle_++;
  files_[file] = std::move(open);
  return file;
}

bool LibusbPlatform::IsHeldHere(const std::string& path) const {
  return std::any_of(files_.begin(), files_.end(),
                     [&](const auto& entry) { return entry.second.path == path; });
}

// Finds the listed device again and opens it, with its descriptors copied: the link reads
// them from the copy.
bool LibusbPlatform::OpenListed(const Located& listed, OpenDevice* open) {
  const DeviceList devices(context_);
  if (!Succeeded(devices.Result())) return false;
  const Attachment& wanted = listed.attachment;
  for (libusb_device* device : devices.Devices()) {
    libusb_device_descriptor d{};
    if (libusb_get_bus_number(device) != wanted.bus ||
        libusb_get_device_address(device) != wanted.address ||
        libusb_get_device_descriptor(device, &d) != LIBUSB_SUCCESS ||
        d.idVendor != wanted.vendorId || d.idProduct != wanted.productId) {
      continue;
    }
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (!Succeeded(opened)) {
      NoteRefusal(open->path, wanted, opened);
      return false;
    }
    open->handle.reset(handle);
    return CopyDescriptors(device, open);
  }
  return false;
}

bool LibusbPlatform::CopyDescriptors(libusb_device* device, OpenDevice* open) {
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(device, &d) != LIBUSB_SUCCESS) return false;
  uint8_t* raw = open->deviceDescriptor;
  raw[0] = kDeviceDescriptorLength;
  raw[1] = kUsbDeviceDescriptorType;
  PutLe16(raw + 2, d.bcdUSB);
  raw[4] = d.bDeviceClass;
  raw[5] = d.bDeviceSubClass;
  raw[6] = d.bDeviceProtocol;
  raw[7] = d.bMaxPacketSize0;
  PutLe16(raw + 8, d.idVendor);
  PutLe16(raw + 10, d.idProduct);
  PutLe16(raw + 12, d.bcdDevice);
  raw[14] = d.iManufacturer;
  raw[15] = d.iProduct;
  raw[16] = d.iSerialNumber;
  raw[17] = d.bNumConfigurations;

  // Without a configuration the device has no pipes, and the link skips it.
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return true;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      if (alt.bInterfaceNumber != kClaimedInterface) continue;
      AltSetting setting;
      setting.descriptor = {alt.bLength,          alt.bDescriptorType,  alt.bInterfaceNumber,
                            alt.bAlternateSetting, alt.bNumEndpoints,    alt.bInterfaceClass,
                            alt.bInterfaceSubClass, alt.bInterfaceProtocol, alt.iInterface};
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        setting.pipes.push_back({static_cast<PipeType>(ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK),
                                 ep.bEndpointAddress,
                                 static_cast<uint16_t>(ep.wMaxPacketSize & 0x7FF), ep.bInterval});
      }
      open->altSettings.push_back(std::move(setting));
    }
  }
  libusb_free_config_descriptor(config);
  return true;
}

// Claiming is what makes the open exclusive, also against other processes. A kernel driver
// is detached only if one is bound, and given back with the claim.
bool LibusbPlatform::ClaimInterface(const Located& listed, OpenDevice* open) {
  libusb_device_handle* handle = open->handle.get();
  InterfaceClaim claim(handle);
  if (libusb_kernel_driver_active(handle, kClaimedInterface) == 1) {
    const int detached = libusb_detach_kernel_driver(handle, kClaimedInterface);
    if (!Succeeded(detached)) {
      NoteRefusal(open->path, listed.attachment, detached);
      return false;
    }
    claim.DriverDetached();
  }
  const int claimed = libusb_claim_interface(handle, kClaimedInterface);
  if (!Succeeded(claimed)) {
    NoteRefusal(open->path, listed.attachment, claimed);
    return false;
  }
  claim.Claimed();
  open->claim = std::move(claim);
  return true;
}

void LibusbPlatform::NoteRefusal(const std::string& path, const Attachment& attachment,
                                 int libusbResult) {
  const std::string where = BusAndAddress(attachment.bus, attachment.address);
  switch (libusbResult) {
    case LIBUSB_ERROR_ACCESS:
      unreachable_[path] = {where, Unreachable::NoPermission};
      break;
    case LIBUSB_ERROR_BUSY:
      unreachable_[path] = {where, Unreachable::HeldElsewhere};
      break;
    default:
      unreachable_.erase(path);  // nothing the operator can act on
      break;
  }
}

std::vector<UnreachableDevice> LibusbPlatform::UnreachableDevices() const {
  std::vector<UnreachableDevice> devices;
  for (const auto& [path, device] : unreachable_) devices.push_back(device);
  return devices;
}

bool LibusbPlatform::CloseHandle(FileHandle file) {
  auto it = files_.find(file);
  if (it == files_.end()) return false;
  files_.erase(it);  // gives the interface back and closes the device
  std::erase_if(winUsb_, [&](const auto& e) { return e.second == file; });
  return true;
}

bool LibusbPlatform::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  auto it = files_.find(file);
  if (handle == nullptr || it == files_.end() || it->second.gone) return false;
  const WinUsbHandle w = nextHandle_++;
  winUsb_[w] = file;
  *handle = w;
  return true;
}

bool LibusbPlatform::WinUsb_Free(WinUsbHandle handle) { return winUsb_.erase(handle) == 1; }

LibusbPlatform::OpenDevice* LibusbPlatform::DeviceOf(WinUsbHandle handle) {
  auto w = winUsb_.find(handle);
  if (w == winUsb_.end()) return nullptr;
  auto f = files_.find(w->second);
  return f == files_.end() ? nullptr : &f->second;
}

// A pipe of alternate setting 0, the only one ever selected.
const PipeInformation* LibusbPlatform::PipeOf(const OpenDevice& device, uint8_t pipeId) const {
  for (const AltSetting& setting : device.altSettings) {
    if (setting.descriptor.bAlternateSetting != 0) continue;
    for (const PipeInformation& pipe : setting.pipes) {
      if (pipe.pipeId == pipeId) return &pipe;
    }
  }
  return nullptr;
}

bool LibusbPlatform::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                          uint16_t languageId, uint8_t* buffer, uint32_t length,
                                          uint32_t* transferred) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || buffer == nullptr || transferred == nullptr) return false;
  std::span<const uint8_t> known;
  if (type == kUsbDeviceDescriptorType && index == 0) {
    known = device->deviceDescriptor;
  } else if (type == kUsbStringDescriptorType && index != 0 &&
             index == device->deviceDescriptor[16] && device->serialDescriptor) {
    known = *device->serialDescriptor;  // the serial number reads the same in every language
  }
  if (!known.empty()) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(known.size(), length));
    std::memcpy(buffer, known.data(), n);
    *transferred = n;
    return true;
  }
  if (device->gone) return false;
  const uint16_t wIndex = type == kUsbStringDescriptorType ? languageId : 0;
  const int n = libusb_control_transfer(device->handle.get(), kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                        static_cast<uint16_t>((type << 8) | index), wIndex, buffer,
                                        static_cast<uint16_t>(std::min<uint32_t>(length, UINT16_MAX)),
                                        kControlTimeoutMs);
  if (!Succeeded(n, device)) return false;
  *transferred = static_cast<uint32_t>(n);
  return true;
}

bool LibusbPlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                                   InterfaceDescriptor* descriptor) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || descriptor == nullptr) return false;
  for (const AltSetting& setting : device->altSettings) {
    if (setting.descriptor.bAlternateSetting == alternateSetting) {
      *descriptor = setting.descriptor;
      return true;
    }
  }
  return false;
}

bool LibusbPlatform::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting,
                                      uint8_t pipeIndex, PipeInformation* pipe) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || pipe == nullptr) return false;
  for (const AltSetting& setting : device->altSettings) {
    if (setting.descriptor.bAlternateSetting == alternateSetting) {
      if (pipeIndex >= setting.pipes.size()) return false;
      *pipe = setting.pipes[pipeIndex];
      return true;
    }
  }
  return false;
}

bool LibusbPlatform::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId,
                                          uint32_t policyType, uint32_t valueLength,
                                          const void* value) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || device->gone || value == nullptr ||
      policyType != kPipeTransferTimeout || valueLength != sizeof(uint32_t) ||
      PipeOf(*device, pipeId) == nullptr) {
    return false;
  }
  uint32_t ms = 0;
  std::memcpy(&ms, value, sizeof ms);
  device->pipeTimeouts[pipeId] = ms;
  return true;
}

bool LibusbPlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                      uint32_t length, uint32_t* transferred) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || device->gone || transferred == nullptr ||
      (buffer == nullptr && length > 0) || length > INT_MAX || (pipeId & LIBUSB_ENDPOINT_IN) != 0) {
    return false;
  }
  const PipeInformation* pipe = PipeOf(*device, pipeId);
  if (pipe == nullptr) return false;
  int done = 0;
  // libusb takes one pointer for both directions; it only reads an OUT buffer.
  const int r = Transfer(device->handle.get(), *pipe, const_cast<uint8_t*>(buffer), length, &done,
                         kOutTransferTimeoutMs);
  if (!Succeeded(r, device)) return false;
  *transferred = static_cast<uint32_t>(done);
  return true;
}

bool LibusbPlatform::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                     uint32_t length, uint32_t* transferred) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || device->gone || transferred == nullptr || buffer == nullptr ||
      length > INT_MAX || (pipeId & LIBUSB_ENDPOINT_IN) == 0) {
    return false;
  }
  const PipeInformation* pipe = PipeOf(*device, pipeId);
  if (pipe == nullptr) return false;
  // No time-out set means none, as with WinUSB; libusb reads 0 the same way.
  const auto timeout = device->pipeTimeouts.find(pipeId);
  const uint32_t ms = timeout == device->pipeTimeouts.end() ? 0 : timeout->second;
  int done = 0;
  if (!Succeeded(Transfer(device->handle.get(), *pipe, buffer, length, &done, ms), device)) return false;
  *transferred = static_cast<uint32_t>(done);
  return true;
}

void LibusbPlatform::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kp
