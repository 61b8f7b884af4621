// Fuzzes the reply path: a KP-R50 on a VirtualBus whose every IN transfer comes from the
// input, driven through each KpR50 operation.
//
// Input: one plan byte, then transfer records. Whenever the host writes a request, the device
// answers with the next group of records. A record is a header byte and a body:
//   bit 7     another record follows in the same group;
//   bit 6     framed: the body is a command byte and a payload, and the harness adds the
//             length field and the CRC, so that mutations reach past the frame check;
//             clear: the body goes out raw (the seeds hold real reply frames this way);
//   bit 5     late: offered 3000 ms after the request, later than any time-out, so that it
//             meets the resend or the next command;
//   bits 0-4  body length; 31 means that two more bytes (little-endian) give it.
// The plan byte's low four bits choose the first operation; the others follow in a fixed
// cycle while input remains, so a card-info reply feeds the card commands after it.
//
// Each body is copied into a vector of exactly its size, so ASan sees any read past it.
// Every operation must end in a result in its range or in a WUsbErr that a reply can cause
// (3, 4, 6); anything else aborts. Every request the host writes must be a good frame. All
// waiting is virtual time, so a run never sleeps; a hang can only be a loop in our code.
#include "link/Crc16.h"
#include "link/KpFrame.h"
#include "base/ByteOrder.h"
#include "platform/virtual/VirtualBus.h"
#include "programmer/KpR50.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <vector>

namespace {

using kp::KpR50;

constexpr int kOperations = 16;
constexpr uint64_t kLateMs = 3000;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
  // The next n bytes (fewer where the input ends) as a vector of exactly their size.
  std::vector<uint8_t> Bytes(size_t n) {
    n = std::min(n, size_ - pos_);
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  // The next n bytes (fewer where the input ends) as the command and payload of a frame,
  // with the length in front and the CRC behind: one allocation of exactly the frame's size.
  std::vector<uint8_t> Framed(size_t n) {
    n = std::min(n, size_ - pos_);
    const size_t length = n + 4;
    std::vector<uint8_t> frame(length);
    kp::PutLe16(frame.data(), static_cast<uint16_t>(length));
    std::copy(data_ + pos_, data_ + pos_ + n, frame.begin() + 2);
    pos_ += n;
    const uint16_t crc = kp::Crc16(frame.data(), static_cast<int32_t>(n + 2), kp::kCrc16Initial);
    kp::PutLe16(&frame[n + 2], crc);
    return frame;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void Broken() { std::abort(); }

// The device end of the bus: answers each request with the next group of records.
struct Device {
  Input& in;
  kp::VirtualBus& bus;
  kp::VirtualBus::DeviceId id = 0;
};

void Answer(Device& device, std::span<const uint8_t> request) {
  // The host must only ever write whole, good frames.
  if (!kp::DecodeFrame(request)) Broken();
  // Queued from here rather than handed back in a vector, which the bus would queue the same
  // way at the same virtual moment: this spares an allocation per request.
  Input& in = device.in;
  bool more = true;
  while (more && !in.Empty()) {
    const uint8_t header = in.Byte();
    more = (header & 0x80) != 0;
    size_t length = header & 0x1F;
    if (length == 0x1F) {
      length = in.Byte();
      length |= static_cast<size_t>(in.Byte()) << 8;
    }
    device.bus.QueueIn(device.id, (header & 0x40) != 0 ? in.Framed(length) : in.Bytes(length),
                       (header & 0x20) != 0 ? kLateMs : 0);
  }
}

bool Within(int32_t value, std::initializer_list<int32_t> allowed) {
  for (int32_t a : allowed) {
    if (value == a) return true;
  }
  return false;
}

void CheckCard(const KpR50& k) {
  if (k.cardInfo.cardType < 0 || k.cardInfo.cardType > 63) Broken();
  if (k.cardInfo.contentState < 0 || k.cardInfo.contentState > 3) Broken();
}

void Run(KpR50& k, int operation) {
  static const uint8_t kKey[kp::kKeySize] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                             0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
  uint8_t buffer[kp::kMaxCardFileData] = {};
  int32_t department = 0;
  int32_t index = 0;
  switch (operation) {
    case 0: k.ReadStatusAndSignature(); break;
    case 1: k.Logout(); break;
    case 2: k.GetChallenge(buffer); break;
    case 3: k.ReadCardInfo(); break;
    case 4:
      if (!Within(k.ProgramCard(99999, 7), {0, 1, 2, 4, 6, 7})) Broken();
      break;
    case 5:
      if (!Within(k.ReadCard(&department, &index), {0, 1, 2, 3, 9})) Broken();
      break;
    case 6:
      if (!Within(k.EraseCard(), {0, 1, 2, 8})) Broken();
      break;
    case 7: k.PrepareCard(kp::kCardSelector); break;
    case 8: k.WriteCardFile(kp::kCardSelector, kp::kCardFileSize, buffer); break;
    case 9:
      if (k.ReadCardFile(kp::kCardSelector, kp::kCardFileSize, buffer) < -1) Broken();
      break;
    case 10: k.Authenticate("user", kKey); break;
    case 11: k.SendLoginProof(buffer); break;
    case 12: k.SendPasswordChange("user", kKey, kKey); break;
    case 13:
      k.ReadStatus(kp::kStatusTimeoutMs);
      if (!Within(k.CheckModel(), {0, 5})) Broken();
      break;
    case 14: k.WriteCardFile(kp::kCardSelector, kp::kMaxCardFileData, buffer); break;
    default:
      if (k.ReadCardFile(kp::kCardSelector, kp::kMaxCardFileData, buffer) < -1) Broken();
      break;
  }
  CheckCard(k);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const int first = in.Byte() & 0x0F;

  kp::VirtualBus bus;
  bus.KeepTransfers(false);
  KpR50 programmer(bus, &kp::kKpR50InterfaceGuid, kp::traceSink);
  // The firmware holds one pointer, so std::function keeps it without an allocation, also in
  // the copy the bus makes for every request.
  Device device{in, bus};
  device.id = bus.Plug(kp::VirtualDeviceConfig{.interfaceClass = kp::kKpR50InterfaceGuid},
                       [&device](std::span<const uint8_t> out) {
                         Answer(device, out);
                         return std::vector<kp::InTransfer>{};
                       });
  if (!programmer.Link()) Broken();

  for (int step = 0; step < kOperations; ++step) {
    try {
      Run(programmer, (first + step) % kOperations);
    } catch (const kp::WUsbErr& e) {
      if (!Within(e.errorCode, {kp::wusb::kNoReply, kp::wusb::kNoAck, kp::wusb::kBadReply})) {
        Broken();
      }
    }
    if (in.Empty()) break;
  }
  return 0;
}
