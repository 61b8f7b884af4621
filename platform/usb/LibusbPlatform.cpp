// Descriptors, pipes and transfers of an open device, and the one place that reads
// libusb's result codes.
#include "platform/usb/LibusbPlatform.h"

#include <algorithm>
#include <climits>

#include <libudev.h>
#include <libusb.h>

namespace kp {

namespace {

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
    default: return {false, false, code};
  }
}

int Transfer(libusb_device_handle* handle, const PipeInformation& pipe, uint8_t* buffer,
             uint32_t length, int* done, uint32_t timeoutMs) {
  const int size = static_cast<int>(length);
  switch (pipe.pipeType) {
    case PipeType::Bulk:
      return libusb_bulk_transfer(handle, pipe.pipeId, buffer, size, done, timeoutMs);
    case PipeType::Interrupt:
      return libusb_interrupt_transfer(handle, pipe.pipeId, buffer, size, done, timeoutMs);
    default: return LIBUSB_ERROR_NOT_SUPPORTED;
  }
}

}  // namespace

LibusbPlatform::LibusbPlatform() = default;

LibusbPlatform::~LibusbPlatform() {
  CloseAll();  // every device given back and closed before the context goes
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

bool LibusbPlatform::ReadDescriptor(OpenFile& file, uint8_t type, uint8_t index,
                                    uint16_t languageId, uint8_t* buffer, uint32_t length,
                                    uint32_t* transferred) {
  auto& device = static_cast<OpenDevice&>(file);
  if (device.gone) return false;
  const uint16_t wIndex = type == kUsbStringDescriptorType ? languageId : 0;
  const int n = libusb_control_transfer(
      device.handle.get(), kStandardIn, LIBUSB_REQUEST_GET_DESCRIPTOR,
      static_cast<uint16_t>((type << 8) | index), wIndex, buffer,
      static_cast<uint16_t>(std::min<uint32_t>(length, UINT16_MAX)), kControlTimeoutMs);
  if (!Succeeded(n, &device)) return false;
  *transferred = static_cast<uint32_t>(n);
  return true;
}

bool LibusbPlatform::MayInitialize(OpenFile& file) { return !static_cast<OpenDevice&>(file).gone; }

// Only a pipe the device has takes a time-out.
bool LibusbPlatform::MayTakePipePolicy(OpenFile& file, uint8_t pipeId) {
  const auto& device = static_cast<OpenDevice&>(file);
  return !device.gone && device.Pipe(pipeId) != nullptr;
}

bool LibusbPlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                      uint32_t length, uint32_t* transferred) {
  OpenDevice* device = DeviceOf(handle);
  if (device == nullptr || device->gone || transferred == nullptr ||
      (buffer == nullptr && length > 0) || length > INT_MAX || (pipeId & LIBUSB_ENDPOINT_IN) != 0) {
    return false;
  }
  const PipeInformation* pipe = device->Pipe(pipeId);
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
  const PipeInformation* pipe = device->Pipe(pipeId);
  if (pipe == nullptr) return false;
  // No time-out set means none, as with WinUSB; libusb reads 0 the same way.
  const uint32_t ms = device->PipeTimeout(pipeId);
  int done = 0;
  if (!Succeeded(Transfer(device->handle.get(), *pipe, buffer, length, &done, ms), device))
    return false;
  *transferred = static_cast<uint32_t>(done);
  return true;
}

}  // namespace kp
