#include "trace/PcapTrace.h"

#include "base/ByteOrder.h"

#include <cstring>
#include <string>

namespace kp {

namespace {

void PutLe64(uint8_t* bytes, uint64_t value) {
  PutLe32(bytes, static_cast<uint32_t>(value));
  PutLe32(bytes + 4, static_cast<uint32_t>(value >> 32));
}

std::string_view AsText(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

PcapTrace::PcapTrace(TraceWrite write, TraceClock clock)
    : write_(std::move(write)), clock_(std::move(clock)) {
  start_ = clock_();
  std::vector<uint8_t> header(pcap::kFileHeaderSize, 0);
  PutLe32(&header[0], pcap::kMagic);
  PutLe16(&header[4], pcap::kVersionMajor);
  PutLe16(&header[6], pcap::kVersionMinor);
  // thiszone and sigfigs stay 0.
  PutLe32(&header[16], pcap::kSnapLength);
  PutLe32(&header[20], pcap::kLinkTypeUsbLinuxMmapped);
  failed_ = !write_(AsText(header));
}

bool PcapTrace::Failed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

void PcapTrace::TraceLink(const char*, uint32_t, uint8_t pipeOut, uint8_t pipeIn) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pipeOut_ = pipeOut;
  pipeIn_ = pipeIn;
  // Device addresses are 7 bits; 0 is the default address, never a configured device.
  device_ = static_cast<uint8_t>(links_ % 127 + 1);
  ++links_;
}

void PcapTrace::TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t,
                              int32_t) {
  try {
    const uint64_t now = clock_();
    const uint64_t micros = now > start_ ? now - start_ : 0;
    const std::span<const uint8_t> transfer(
        bytes, count > 0 && bytes != nullptr ? static_cast<size_t>(count) : 0);
    const auto length = static_cast<uint32_t>(transfer.size());
    const uint32_t room = pcap::kSnapLength - pcap::kUsbmonHeaderSize;
    const uint32_t kept = length < room ? length : room;
    const bool out = direction == kTraceToDevice;

    // Zeros first; only the bytes that are not withheld are copied in.
    std::vector<uint8_t> packet(pcap::kRecordHeaderSize + pcap::kUsbmonHeaderSize + kept, 0);
    uint8_t* record = packet.data();
    PutLe32(&record[0], static_cast<uint32_t>(micros / 1000000));
    PutLe32(&record[4], static_cast<uint32_t>(micros % 1000000));
    PutLe32(&record[8], pcap::kUsbmonHeaderSize + kept);
    PutLe32(&record[12], pcap::kUsbmonHeaderSize + length);

    uint8_t* usb = record + pcap::kRecordHeaderSize;
    const std::lock_guard<std::mutex> lock(mutex_);
    PutLe64(&usb[0], nextUrb_++);  // URB id
    usb[8] = out ? 'S' : 'C';      // submitted / completed
    usb[9] = pcap::kTransferBulk;
    usb[10] = out ? pipeOut_ : pipeIn_;  // endpoint, bit 7 for IN
    usb[11] = device_;
    PutLe16(&usb[12], 1);  // bus
    usb[14] = '-';         // no setup packet
    usb[15] = 0;           // data present
    PutLe64(&usb[16], micros / 1000000);
    PutLe32(&usb[24], static_cast<uint32_t>(micros % 1000000));
    PutLe32(&usb[28], static_cast<uint32_t>(out ? pcap::kStatusInProgress : 0));
    PutLe32(&usb[32], length);  // URB length
    PutLe32(&usb[36], kept);    // bytes captured
    // setup, interval, start frame, transfer flags and ISO descriptors stay 0.

    uint8_t* data = usb + pcap::kUsbmonHeaderSize;
    uint32_t from = 0;
    auto copyUpTo = [&](uint32_t end) {
      if (end > kept) end = kept;
      if (end > from) std::memcpy(data + from, transfer.data() + from, end - from);
    };
    for (const ByteRange& r : WithheldRanges(transfer)) {
      copyUpTo(r.at);
      from = r.at + r.size;
    }
    copyUpTo(kept);
    if (!write_(AsText(packet))) failed_ = true;
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
  }
}

}  // namespace kp
