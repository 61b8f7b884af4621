// The trace as a classic pcap file that Wireshark and tshark open as USB bulk transfers:
// little-endian, magic A1B2C3D4 (microsecond times), link type 220 (LINKTYPE_USB_LINUX_MMAPPED):
// each packet is Linux usbmon's 64-byte header, then the transfer's bytes.
//
// An OUT transfer is a bulk URB submitted to the programmer's OUT pipe with its data (type
// 'S', status -EINPROGRESS); an IN transfer is a bulk URB completed on its IN pipe with what
// arrived (type 'C', status 0; no bytes when nothing arrived). The pipes are the device's own
// from its LINK on (01 and 81 before); each link counts as device number 1, 2, ... on bus 1.
// Times are those of the text trace: since the trace began, so the capture starts in 1970.
// The secret bytes of trace/TraceSecrets.h are zeros here; remarks have no place in pcap and
// are left out. packaging/wireshark/kpr50.lua decodes the frames.
#pragma once

#include "trace/TraceText.h"

#include <cstdint>
#include <mutex>

namespace kp {

namespace pcap {
inline constexpr uint32_t kMagic = 0xA1B2C3D4;
inline constexpr uint16_t kVersionMajor = 2;
inline constexpr uint16_t kVersionMinor = 4;
inline constexpr uint32_t kSnapLength = 262144;
inline constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
inline constexpr uint32_t kFileHeaderSize = 24;
inline constexpr uint32_t kRecordHeaderSize = 16;
inline constexpr uint32_t kUsbmonHeaderSize = 64;
inline constexpr uint8_t kTransferBulk = 3;
inline constexpr int32_t kStatusInProgress = -115;  // -EINPROGRESS
inline constexpr uint8_t kDefaultPipeOut = 0x01;
inline constexpr uint8_t kDefaultPipeIn = 0x81;
}  // namespace pcap

class PcapTrace : public TraceSet {
 public:
  // Writes the file header at once; the trace's time starts now.
  PcapTrace(TraceWrite write, TraceClock clock);

  void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t serialNumber,
                     int32_t tag) override;
  void TraceLink(const char* devicePath, uint32_t serialNumber, uint8_t pipeOut,
                 uint8_t pipeIn) override;

  // Whether a packet could not be written; the packets after it are still tried.
  bool Failed() const;

 private:
  mutable std::mutex mutex_;
  TraceWrite write_;
  TraceClock clock_;
  uint64_t start_ = 0;
  uint64_t nextUrb_ = 1;
  uint8_t pipeOut_ = pcap::kDefaultPipeOut;
  uint8_t pipeIn_ = pcap::kDefaultPipeIn;
  uint8_t device_ = 1;
  uint32_t links_ = 0;
  bool failed_ = false;
};

}  // namespace kp
