// Which devices a listing holds: udev's word where our rule tagged a device, else the
// Microsoft OS descriptors, probed once per attachment.
#include "platform/usb/LibusbPlatform.h"

#include "base/ByteOrder.h"
#include "platform/usb/MsOsDescriptors.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>

#include <libudev.h>
#include <libusb.h>

namespace kp {

namespace {

constexpr uint16_t kBosHeaderLength = 5;
constexpr uint16_t kMsOs10StringLength = 18;
constexpr uint16_t kExtendedHeaderLength = 10;
constexpr int kMaxPortDepth = 7;

// bmRequestType: direction (bit 7), type (bits 5-6), recipient (bits 0-4).
constexpr uint8_t kVendorDeviceIn = 0xC0;     // IN, vendor, device
constexpr uint8_t kVendorInterfaceIn = 0xC1;  // IN, vendor, interface

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

// "ff/00/00, bulk IN 81, bulk OUT 01": interface 0 of the active configuration.
std::string InterfaceText(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return {};
  std::string text;
  for (int i = 0; i < config->bNumInterfaces && text.empty(); ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != kClaimedInterface) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    char part[32];
    std::snprintf(part, sizeof part, "%02x/%02x/%02x", alt.bInterfaceClass, alt.bInterfaceSubClass,
                  alt.bInterfaceProtocol);
    text = part;
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      std::snprintf(
          part, sizeof part, ", %s %s %02x", kTypes[ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK],
          (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? "IN" : "OUT", ep.bEndpointAddress);
      text += part;
    }
  }
  libusb_free_config_descriptor(config);
  return text;
}

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

}  // namespace

LibusbPlatform::DeviceList::DeviceList(libusb_context* context)
    : count_(libusb_get_device_list(context, &devices_)) {}

LibusbPlatform::DeviceList::~DeviceList() {
  if (devices_ != nullptr) libusb_free_device_list(devices_, 1);
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

bool LibusbPlatform::ControlIn(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                               uint16_t value, uint16_t index, uint16_t length,
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
  if (!ControlIn(handle, kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR, bosValue, 0, kBosHeaderLength,
                 &bos) ||
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
                 msos::kMsOs10ExtendedPropertiesIndex, static_cast<uint16_t>(total), &properties)) {
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

std::optional<std::vector<std::string>> LibusbPlatform::ListDevices(const Guid& interfaceClass) {
  return Scan(interfaceClass, nullptr);
}

std::optional<std::vector<SurveyedDevice>> LibusbPlatform::Survey(const Guid& interfaceClass) {
  std::vector<SurveyedDevice> survey;
  if (!Scan(interfaceClass, &survey)) return std::nullopt;
  return survey;
}

std::string LibusbPlatform::LibusbVersion() {
  const libusb_version* v = libusb_get_version();
  return std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
         std::to_string(v->micro) + "." + std::to_string(v->nano);
}

std::optional<std::vector<std::string>> LibusbPlatform::Scan(const Guid& interfaceClass,
                                                             std::vector<SurveyedDevice>* survey) {
  if (!EnsureContext()) return std::nullopt;
  const DeviceList devices(context_);
  if (!Succeeded(devices.Result())) return std::nullopt;
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
    const bool tagged = known && record->second.tagged;
    // A device udev tagged is never probed: the rule has said all there is to say.
    const std::vector<Guid>& guids =
        tagged ? record->second.guids : ProbedGuids(device, attachment);
    const bool ofClass = std::find(guids.begin(), guids.end(), interfaceClass) != guids.end();
    if (survey != nullptr) {
      SurveyedDevice seen;
      seen.path = PathOf(device);
      seen.port = PortName(device);
      seen.bus = attachment.bus;
      seen.address = attachment.address;
      seen.vendorId = attachment.vendorId;
      seen.productId = attachment.productId;
      seen.tagged = tagged && ofClass;
      seen.msOsNamed = !tagged && ofClass;
      seen.vendorBulk = MayBeWinUsbDevice(device);
      seen.unprobed = !tagged && seen.vendorBulk && !probed_.contains(attachment);
      // A device our rule tagged for another class is that class's.
      if (seen.Named() || (seen.vendorBulk && !tagged)) {
        seen.interface = InterfaceText(device);
        survey->push_back(std::move(seen));
      }
    }
    if (!ofClass) continue;
    const std::string path = PathOf(device);
    paths.push_back(path);
    located_[path] = {attachment,
                      known ? record->second.sysPath : "/sys/bus/usb/devices/" + PortName(device)};
  }
  std::erase_if(probed_, [&](const auto& e) { return !present.contains(e.first); });
  std::erase_if(located_, [&](const auto& e) { return !present.contains(e.second.attachment); });
  std::erase_if(unreachable_, [&](const auto& e) { return !located_.contains(e.first); });
  std::sort(paths.begin(), paths.end());
  if (survey != nullptr) {
    std::sort(survey->begin(), survey->end(), [](const SurveyedDevice& a, const SurveyedDevice& b) {
      return std::tie(a.bus, a.address) < std::tie(b.bus, b.address);
    });
  }
  return paths;
}

}  // namespace kp
