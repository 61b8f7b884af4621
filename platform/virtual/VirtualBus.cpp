#include "platform/virtual/VirtualBus.h"

#include "base/ByteOrder.h"
#include "platform/Descriptors.h"
#include "platform/DevicePath.h"

#include <algorithm>
#include <cstring>
#include <deque>

namespace kp {

struct VirtualBus::Device {
  DeviceId id = 0;
  VirtualDeviceConfig config;
  Firmware firmware;
  bool plugged = true;
  bool open = false;  // a file handle holds it
  std::deque<Queued> inQueue;
  std::map<uint64_t, Fault> faults;
  uint64_t transfers = 0;
  std::vector<TransferRecord> log;
};

struct VirtualBus::Opened : OpenFile {
  explicit Opened(DeviceId device) : id(device) {}
  DeviceId id;
};

VirtualBus::VirtualBus() = default;
VirtualBus::~VirtualBus() = default;

VirtualBus::DeviceId VirtualBus::Plug(VirtualDeviceConfig config, Firmware firmware) {
  auto device = std::make_unique<Device>();
  device->config = std::move(config);
  device->firmware = std::move(firmware);
  const DeviceId id = nextDevice_++;
  device->id = id;
  devices_[id] = std::move(device);
  return id;
}

void VirtualBus::Unplug(DeviceId id) {
  if (Device* d = Find(id)) {
    d->plugged = false;
    d->inQueue.clear();
  }
}

bool VirtualBus::IsPlugged(DeviceId id) const {
  const Device* d = Find(id);
  return d != nullptr && d->plugged;
}

void VirtualBus::SetFirmware(DeviceId id, Firmware firmware) {
  if (Device* d = Find(id)) d->firmware = std::move(firmware);
}

void VirtualBus::QueueIn(DeviceId id, std::vector<uint8_t> bytes, uint64_t delayMs) {
  Device* d = Find(id);
  if (d == nullptr || !d->plugged) return;
  // A later transfer never overtakes an earlier one on the same pipe.
  uint64_t readyAt = nowMs_ + delayMs;
  if (!d->inQueue.empty()) readyAt = std::max(readyAt, d->inQueue.back().readyAtMs);
  d->inQueue.push_back({std::move(bytes), readyAt});
}

size_t VirtualBus::PendingIn(DeviceId id) const {
  const Device* d = Find(id);
  return d == nullptr ? 0 : d->inQueue.size();
}

void VirtualBus::InjectFault(DeviceId id, uint64_t transfer, Fault fault) {
  if (Device* d = Find(id)) d->faults[transfer] = fault;
}

uint64_t VirtualBus::TransferCount(DeviceId id) const {
  const Device* d = Find(id);
  return d == nullptr ? 0 : d->transfers;
}

const std::vector<TransferRecord>& VirtualBus::Transfers(DeviceId id) const {
  static const std::vector<TransferRecord> none;
  const Device* d = Find(id);
  return d == nullptr ? none : d->log;
}

std::vector<std::vector<uint8_t>> VirtualBus::Written(DeviceId id) const {
  std::vector<std::vector<uint8_t>> out;
  for (const TransferRecord& r : Transfers(id)) {
    if (r.out) out.push_back(r.bytes);
  }
  return out;
}

void VirtualBus::ClearTransfers(DeviceId id) {
  if (Device* d = Find(id)) d->log.clear();
}

bool VirtualBus::IsOpen(DeviceId id) const {
  const Device* d = Find(id);
  return d != nullptr && d->open;
}

uint32_t VirtualBus::PipeTimeout(DeviceId id, uint8_t pipeId) const {
  for (const auto& [file, open] : Files()) {
    if (static_cast<const Opened&>(*open).id == id) return open->PipeTimeout(pipeId);
  }
  return 0;
}

int VirtualBus::OpenHandles() const { return static_cast<int>(HandleCount()); }

std::string VirtualBus::PathOf(DeviceId id) { return "\\\\?\\virtual#kpr50#" + std::to_string(id); }

VirtualBus::Device* VirtualBus::Find(DeviceId id) {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : it->second.get();
}

const VirtualBus::Device* VirtualBus::Find(DeviceId id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : it->second.get();
}

VirtualBus::Device* VirtualBus::DeviceOf(const OpenFile& file) {
  return Find(static_cast<const Opened&>(file).id);
}

// The device behind a WinUSB handle, plugged or not.
VirtualBus::Device* VirtualBus::DeviceBehind(WinUsbHandle handle) {
  const OpenFile* file = FileOfWinUsb(handle);
  return file == nullptr ? nullptr : DeviceOf(*file);
}

VirtualBus::Device* VirtualBus::DeviceOfWinUsb(WinUsbHandle handle) {
  Device* d = DeviceBehind(handle);
  return (d != nullptr && d->plugged) ? d : nullptr;
}

// Counts the transfer and tells whether a fault was planned for it. A planned vanish
// unplugs the device here, so the transfer itself already fails.
bool VirtualBus::TakeFault(Device& d, Fault* fault) {
  const uint64_t number = d.transfers++;
  auto it = d.faults.find(number);
  if (it == d.faults.end()) return false;
  *fault = it->second;
  d.faults.erase(it);
  if (*fault == Fault::Vanish) {
    d.plugged = false;
    d.inQueue.clear();
  }
  return true;
}

void VirtualBus::Record(Device& d, bool out, bool ok, const uint8_t* bytes, uint32_t count) {
  if (!keepTransfers_) return;
  TransferRecord r;
  r.out = out;
  r.ok = ok;
  if (bytes != nullptr && count > 0) r.bytes.assign(bytes, bytes + count);
  r.atMs = nowMs_;
  d.log.push_back(std::move(r));
}

std::optional<std::vector<std::string>> VirtualBus::ListDevices(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  for (const auto& [id, d] : devices_) {
    if (d->plugged && d->config.interfaceClass == interfaceClass) paths.push_back(PathOf(id));
  }
  return paths;
}

std::unique_ptr<UsbBackend::OpenFile> VirtualBus::Open(const std::string& path) {
  for (auto& [id, d] : devices_) {
    if (PathOf(id) != path) continue;
    // A device that someone holds open cannot be opened again.
    if (!d->plugged || d->config.createFileFails || d->open) return nullptr;
    d->open = true;
    auto open = std::make_unique<Opened>(id);
    open->altSettings = {OneSetting(d->config.pipes)};
    return open;
  }
  return nullptr;
}

void VirtualBus::Closing(OpenFile& file) {
  if (Device* d = DeviceOf(file)) d->open = false;
}

bool VirtualBus::MayInitialize(OpenFile& file) {
  const Device* d = DeviceOf(file);
  return d != nullptr && d->plugged && !d->config.initializeFails;
}

bool VirtualBus::Describes(OpenFile& file) {
  const Device* d = DeviceOf(file);
  return d != nullptr && d->plugged;
}

bool VirtualBus::MayTakePipePolicy(OpenFile& file, uint8_t) {
  const Device* d = DeviceOf(file);
  return d != nullptr && d->plugged && !d->config.setPipePolicyFails;
}

bool VirtualBus::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                      uint16_t languageId, uint8_t* buffer, uint32_t length,
                                      uint32_t* transferred) {
  Device* d = DeviceOfWinUsb(handle);
  if (d == nullptr || buffer == nullptr || transferred == nullptr) return false;
  const VirtualDeviceConfig& c = d->config;
  if (type == kUsbDeviceDescriptorType && index == 0) {
    if (c.deviceDescriptorFails) return false;
    DeviceDescriptorFields fields;
    fields.idVendor = c.vendorId;
    fields.idProduct = c.productId;
    fields.iSerialNumber = c.iSerialNumber;
    return CopyDescriptor(DeviceDescriptor(fields), buffer, length, transferred);
  }
  if (type == kUsbStringDescriptorType && index != 0 && index == c.iSerialNumber &&
      languageId == 0x0409) {
    if (c.stringDescriptorFails) return false;
    return CopyDescriptor(StringDescriptor(c.serialNumber), buffer, length, transferred);
  }
  return false;  // the device stalls a request for a descriptor it does not have
}

bool VirtualBus::WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                               InterfaceDescriptor* descriptor) {
  const Device* d = DeviceOfWinUsb(handle);
  if (d == nullptr || d->config.interfaceSettingsFails) return false;
  return UsbBackend::WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor);
}

bool VirtualBus::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                                      uint32_t valueLength, const void* value) {
  ++setPipePolicyCalls_;
  return UsbBackend::WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value);
}

bool VirtualBus::WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                  uint32_t length, uint32_t* transferred) {
  Device* d = DeviceBehind(handle);
  if (d == nullptr || transferred == nullptr) return false;
  Fault fault{};
  const bool faulted = d->plugged && TakeFault(*d, &fault);
  if (!d->plugged || (pipeId & 0x80) != 0 || (faulted && fault == Fault::WriteFails)) {
    Record(*d, true, false, buffer, length);
    return false;
  }
  if (faulted && fault == Fault::ShortWrite) {
    *transferred = length > 0 ? length - 1 : 0;
    Record(*d, true, true, buffer, length);
    return true;
  }
  *transferred = length;
  Record(*d, true, true, buffer, length);
  if (faulted || !d->firmware) return true;  // a read fault on a write changes nothing
  // The firmware may unplug its own device or queue more transfers while it runs.
  Firmware firmware = d->firmware;
  std::vector<InTransfer> replies = firmware(std::span<const uint8_t>(buffer, length));
  for (InTransfer& r : replies) QueueIn(d->id, std::move(r.bytes), r.delayMs);
  return true;
}

bool VirtualBus::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                 uint32_t length, uint32_t* transferred) {
  Device* d = DeviceBehind(handle);
  if (d == nullptr || transferred == nullptr) return false;
  Fault fault{};
  const bool faulted = d->plugged && TakeFault(*d, &fault);
  if (!d->plugged || (pipeId & 0x80) == 0 || (faulted && fault == Fault::ReadFails)) {
    Record(*d, false, false, nullptr, 0);
    return false;
  }
  // Time-out 0 means none was set: a real pipe would wait for ever; here it fails at once.
  const uint32_t timeout = FileOfWinUsb(handle)->PipeTimeout(pipeId);
  if (d->inQueue.empty() || d->inQueue.front().readyAtMs > nowMs_ + timeout) {
    nowMs_ += timeout;
    Record(*d, false, false, nullptr, 0);
    return false;
  }
  Queued q = std::move(d->inQueue.front());
  d->inQueue.pop_front();
  nowMs_ = std::max(nowMs_, q.readyAtMs);
  // A transfer longer than the buffer loses its tail, as an overflowing read would.
  const auto n = static_cast<uint32_t>(std::min<size_t>(q.bytes.size(), length));
  if (n > 0) std::memcpy(buffer, q.bytes.data(), n);
  *transferred = n;
  Record(*d, false, true, buffer, n);
  return true;
}

void VirtualBus::Sleep(uint32_t milliseconds) {
  nowMs_ += milliseconds;
  sleptMs_ += milliseconds;
}

}  // namespace kp
