// Opening a listed device: finding it again, opening it, copying its descriptors and
// claiming its interface; and the serial number the kernel read from it.
#include "platform/usb/LibusbPlatform.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <utility>

#include <libusb.h>

namespace kp {

namespace {

constexpr std::streamsize kMaxSysfsText = 512;

std::optional<std::vector<uint8_t>> SerialFromSysfs(const std::string& sysPath) {
  std::ifstream file(sysPath + "/serial", std::ios::binary);
  if (!file) return std::nullopt;
  char text[kMaxSysfsText];
  file.read(text, kMaxSysfsText);
  const std::streamsize n = file.gcount();
  if (n <= 0 || n == kMaxSysfsText) return std::nullopt;
  return StringDescriptorFromUtf8(std::string_view(text, static_cast<size_t>(n)));
}

// As lsusb names a device: "001/007".
std::string BusAndAddress(uint8_t bus, uint8_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u/%03u", unsigned{bus}, unsigned{address});
  return text;
}

}  // namespace

std::optional<std::vector<uint8_t>> StringDescriptorFromUtf8(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shortest form only
  std::u16string units;
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
      units.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  if (units.size() > kMaxStringDescriptorUnits) return std::nullopt;
  return StringDescriptor(units);
}

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

std::unique_ptr<UsbBackend::OpenFile> LibusbPlatform::Open(const std::string& path) {
  if (!EnsureContext()) return nullptr;
  // Only a device as it was listed: a device plugged into the same port since then has
  // another address and is not taken for it.
  const auto listed = located_.find(path);
  if (listed == located_.end() || IsHeldHere(path)) return nullptr;
  auto open = std::make_unique<OpenDevice>();
  open->path = path;
  if (!OpenListed(listed->second, open.get()) || !ClaimInterface(listed->second, open.get())) {
    return nullptr;  // whatever was taken on the way goes back with `open`
  }
  open->serialDescriptor = SerialFromSysfs(listed->second.sysPath);
  unreachable_.erase(open->path);
  return open;
}

bool LibusbPlatform::IsHeldHere(const std::string& path) const {
  return std::any_of(Files().begin(), Files().end(), [&](const auto& entry) {
    return static_cast<const OpenDevice&>(*entry.second).path == path;
  });
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
  open->deviceDescriptor =
      DeviceDescriptor({d.bcdUSB, d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol,
                        d.bMaxPacketSize0, d.idVendor, d.idProduct, d.bcdDevice, d.iManufacturer,
                        d.iProduct, d.iSerialNumber, d.bNumConfigurations});

  // Without a configuration the device has no pipes, and the link skips it.
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return true;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      if (alt.bInterfaceNumber != kClaimedInterface) continue;
      AltSetting setting;
      setting.descriptor = {
          alt.bLength,       alt.bDescriptorType, alt.bInterfaceNumber,   alt.bAlternateSetting,
          alt.bNumEndpoints, alt.bInterfaceClass, alt.bInterfaceSubClass, alt.bInterfaceProtocol,
          alt.iInterface};
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
    case LIBUSB_ERROR_ACCESS: unreachable_[path] = {where, Unreachable::NoPermission}; break;
    case LIBUSB_ERROR_BUSY: unreachable_[path] = {where, Unreachable::HeldElsewhere}; break;
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

}  // namespace kp
