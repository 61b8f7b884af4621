#include "link/WUsbBulkD.h"

#include "link/WUsbErr.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"

#include <cstring>
#include <memory>
#include <new>

namespace kp {

const Guid kKpR50InterfaceGuid = {
    0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};

namespace {

bool IsHexDigit(uint16_t c, uint32_t* value) {
  const int digit = HexDigitValue(c);
  if (digit < 0) return false;
  *value = static_cast<uint32_t>(digit);
  return true;
}

// The white space that wcstoul skips in the "C" locale.
bool IsWhiteSpace(uint16_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

}  // namespace

uint32_t ParseSerialNumber(const uint8_t* utf16le, size_t byteCount) {
  const size_t units = byteCount / 2;
  auto unit = [&](size_t i) -> uint16_t {
    return i < units ? GetLe16(&utf16le[2 * i]) : uint16_t{0};
  };
  size_t i = 0;
  while (i < units && IsWhiteSpace(unit(i))) ++i;
  bool negative = false;
  if (unit(i) == '+' || unit(i) == '-') {
    negative = unit(i) == '-';
    ++i;
  }
  uint32_t digit = 0;
  // "0x" is a prefix only when a hexadecimal digit follows it.
  if (unit(i) == '0' && (unit(i + 1) == 'x' || unit(i + 1) == 'X') &&
      IsHexDigit(unit(i + 2), &digit)) {
    i += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  bool any = false;
  for (; i < units && IsHexDigit(unit(i), &digit); ++i) {
    any = true;
    value = value * 16 + digit;
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;
    }
  }
  if (!any) return 0;
  if (overflow) return 0xFFFFFFFFu;
  // wcstoul negates in unsigned arithmetic.
  return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value))
                  : static_cast<uint32_t>(value);
}

WUsbBulkD::WUsbBulkD(UsbPlatform& platform, const Guid* guid, TraceSet* sink)
    : interfaceGuid(guid), tracer(sink), platform_(platform) {}

WUsbBulkD::~WUsbBulkD() { Close(); }

bool WUsbBulkD::Link() {
  if (isOpen) return true;
  const DevInfoHandle list = platform_.SetupDiGetClassDevsA(*interfaceGuid);
  if (list == kInvalidHandle) return false;

  DeviceInterfaceData member;
  std::unique_ptr<char[]> linkedPath;  // the trace names the device opened
  for (uint32_t index = 0;
       platform_.SetupDiEnumDeviceInterfaces(list, *interfaceGuid, index, &member); ++index) {
    uint32_t size = 0;
    platform_.SetupDiGetDeviceInterfaceDetailA(list, member, nullptr, 0, &size);
    std::unique_ptr<char[]> path(new (std::nothrow) char[size == 0 ? 1 : size]);
    if (!path) break;
    if (size == 0 ||
        !platform_.SetupDiGetDeviceInterfaceDetailA(list, member, path.get(), size, nullptr)) {
      continue;
    }
    path[size - 1] = '\0';
    fileHandle = platform_.CreateFileA(path.get());
    if (fileHandle == kInvalidHandle) continue;
    if (!platform_.WinUsb_Initialize(fileHandle, &winUsbHandle)) {
      platform_.CloseHandle(fileHandle);
      fileHandle = kInvalidHandle;
      winUsbHandle = kInvalidHandle;
      continue;
    }
    if (QueryDevice()) {
      linkedPath = std::move(path);
      break;
    }
    Close();
  }
  platform_.SetupDiDestroyDeviceInfoList(list);

  if (winUsbHandle == kInvalidHandle) return false;
  pipeTimeout = 0;
  inDrained = false;
  connectionMark = false;
  isOpen = true;
  tracer->TraceLink(linkedPath ? linkedPath.get() : "", serialNumber, static_cast<uint8_t>(pipeOut),
                    static_cast<uint8_t>(pipeIn));
  return true;
}

void WUsbBulkD::Close() {
  if (winUsbHandle != kInvalidHandle) {
    platform_.WinUsb_Free(winUsbHandle);
    winUsbHandle = kInvalidHandle;
  }
  if (fileHandle != kInvalidHandle) {
    platform_.CloseHandle(fileHandle);
    fileHandle = kInvalidHandle;
  }
  connectionMark = false;
  isOpen = false;
}

bool WUsbBulkD::QueryDevice() {
  uint8_t device[18];
  uint32_t got = 0;
  if (!platform_.WinUsb_GetDescriptor(winUsbHandle, kUsbDeviceDescriptorType, 0, kLanguageEnUs,
                                      device, sizeof device, &got)) {
    return false;
  }
  // A short device descriptor leaves the identification fields as zeros.
  if (got < sizeof device) std::memset(device + got, 0, sizeof device - got);
  vendorId = GetLe16(&device[8]);    // idVendor
  productId = GetLe16(&device[10]);  // idProduct
  const uint8_t iSerialNumber = device[16];

  uint8_t text[kStringBufferSize];
  std::memset(text, 0xFF, sizeof text);
  got = 0;
  if (!platform_.WinUsb_GetDescriptor(winUsbHandle, kUsbStringDescriptorType, iSerialNumber,
                                      kLanguageEnUs, text, kSerialDescriptorMax, &got)) {
    return false;
  }
  if (got > kSerialDescriptorMax) got = kSerialDescriptorMax;
  // The 16-bit zero after the bytes transferred completes an odd last byte into a UTF-16
  // unit of its own: 05 03 31 00 32 reads as "12".
  text[got] = 0;
  text[got + 1] = 0;
  serialNumber = got > 2 ? ParseSerialNumber(text + 2, got - 2 + got % 2) : 0;

  InterfaceDescriptor interface;
  if (!platform_.WinUsb_QueryInterfaceSettings(winUsbHandle, 0, &interface)) return false;

  bool haveIn = false;
  bool haveOut = false;
  for (uint8_t i = 0; i < interface.bNumEndpoints; ++i) {
    PipeInformation pipe;
    if (!platform_.WinUsb_QueryPipe(winUsbHandle, 0, i, &pipe)) return false;
    if (pipe.pipeType != PipeType::Bulk) continue;
    if ((pipe.pipeId & 0x80) != 0) {
      if (haveIn) return false;
      haveIn = true;
      pipeIn = pipe.pipeId;
    } else {
      if (haveOut) return false;
      haveOut = true;
      pipeOut = pipe.pipeId;
    }
  }
  return haveIn && haveOut;
}

void WUsbBulkD::SetPipeTimeout(uint32_t milliseconds) {
  if (milliseconds == pipeTimeout || !isOpen) return;
  if (!platform_.WinUsb_SetPipePolicy(winUsbHandle, static_cast<uint8_t>(pipeIn),
                                      kPipeTransferTimeout, sizeof milliseconds, &milliseconds)) {
    throw WUsbErr{wusb::kPipeTimeoutRefused, 0};
  }
  pipeTimeout = milliseconds;
}

bool WUsbBulkD::WriteBulk(int32_t length, const uint8_t* bytes) {
  if (!isOpen) throw WUsbErr{wusb::kNotOpen, 0};
  // Whatever an earlier connection left in the IN pipe must not pass for a reply: a pipe that
  // cannot be drained gets no request.
  if (!inDrained && !DrainIn()) return false;
  tracer->TraceTransfer(kTraceToDevice, length, bytes, serialNumber, kTraceTag);
  uint32_t written = 0;
  const uint32_t asked = length > 0 ? static_cast<uint32_t>(length) : 0;
  if (!platform_.WinUsb_WritePipe(winUsbHandle, static_cast<uint8_t>(pipeOut), bytes, asked,
                                  &written)) {
    return false;
  }
  if (written < asked) tracer->TraceMessage(kShortWriteText);
  return written == asked;
}

bool WUsbBulkD::DrainIn() {
  uint8_t scratch[kDrainBufferSize];
  for (int read = 0; read < kMaxDrainedTransfers; ++read) {
    if (ReadBulk(kDrainBufferSize, scratch) == 0) {
      inDrained = true;
      return true;
    }
  }
  return false;
}

int32_t WUsbBulkD::ReadBulk(int32_t capacity, uint8_t* buffer) {
  if (!isOpen) throw WUsbErr{wusb::kNotOpen, 0};
  uint32_t got = 0;
  const uint32_t room = capacity > 0 ? static_cast<uint32_t>(capacity) : 0;
  if (!platform_.WinUsb_ReadPipe(winUsbHandle, static_cast<uint8_t>(pipeIn), buffer, room, &got)) {
    got = 0;
  }
  if (got > room) got = room;  // a platform that reports more than it was given room for
  const auto count = static_cast<int32_t>(got);
  tracer->TraceTransfer(kTraceFromDevice, count, buffer, serialNumber, kTraceTag);
  return count;
}

}  // namespace kp
