// A WinUSB device with exactly one bulk OUT and one bulk IN pipe, found by its
// device-interface GUID among the present devices. Moves raw blocks; knows no frames.
#pragma once

#include "link/Tracecom.h"
#include "platform/UsbPlatform.h"

#include <cstddef>
#include <cstdint>

namespace kp {

// The KP-R50's device-interface class {5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}.
extern const Guid kKpR50InterfaceGuid;

inline constexpr int32_t kDrainBufferSize = 1000;
// A device that never stops sending cannot hold the first write for ever: when this many
// drain reads in a row all bring something, the IN pipe counts as not drained.
inline constexpr int kMaxDrainedTransfers = 64;
inline constexpr uint32_t kStringBufferSize = 512;
inline constexpr uint32_t kSerialDescriptorMax = 254;
inline constexpr uint16_t kLanguageEnUs = 0x0409;
inline constexpr const char* kShortWriteText = "Nie wszystkie bajty zostały wysłane.";

// The serial-number string (UTF-16LE code units, no header) read as a base-16 number the way
// wcstoul does: leading white space skipped, an optional sign and "0x" prefix accepted,
// stops at the first non-digit, no digits give 0, anything above 0xFFFFFFFF gives 0xFFFFFFFF.
// Reads at most `byteCount` bytes and stops at a zero code unit.
uint32_t ParseSerialNumber(const uint8_t* utf16le, size_t byteCount);

class WUsbBulkD {
 public:
  WUsbBulkD(UsbPlatform& platform, const Guid* interfaceGuid, TraceSet* tracer);
  ~WUsbBulkD();
  WUsbBulkD(const WUsbBulkD&) = delete;
  WUsbBulkD& operator=(const WUsbBulkD&) = delete;

  // Opens the first present device of the class that qualifies. Never throws.
  bool Link();
  // Releases both handles; harmless on a closed device. Never throws.
  void Close();
  // Applies the IN pipe's time-out when it changes; throws WUsbErr 0 when refused.
  void SetPipeTimeout(uint32_t milliseconds);
  // One OUT transfer; drains the IN pipe first after each Link. False when the write failed
  // or was short, and when the drain hit kMaxDrainedTransfers: then nothing is written and
  // inDrained stays clear, so the next write drains again. Throws WUsbErr 1 when closed.
  bool WriteBulk(int32_t length, const uint8_t* bytes);
  // One IN transfer; 0 = nothing arrived. Throws WUsbErr 1 when closed.
  int32_t ReadBulk(int32_t capacity, uint8_t* buffer);
  // Identification and pipes of an initialised device: true when it qualifies.
  bool QueryDevice();

  UsbPlatform& Platform() const { return platform_; }

  const Guid* interfaceGuid;
  FileHandle fileHandle = kInvalidHandle;
  WinUsbHandle winUsbHandle = kInvalidHandle;
  TraceSet* tracer;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t pipeIn = 0;
  uint16_t pipeOut = 0;
  uint32_t serialNumber = 0;
  uint32_t pipeTimeout = 0;
  bool isOpen = false;
  bool inDrained = false;
  // The application's proof that the connection lasted: set by it, cleared by Link and Close.
  bool connectionMark = false;

 private:
  // Reads the IN pipe until a read returns nothing; false when kMaxDrainedTransfers
  // transfers came first.
  bool DrainIn();

  UsbPlatform& platform_;
};

}  // namespace kp
