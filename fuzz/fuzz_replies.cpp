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
#include "platform/ByteOrder.h"
#include "platform/virtual/VirtualBus.h"
#include "programmer/KpR50.h"

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
  std::vector<uint8_t> Bytes(size_t n) {
    if (n > size_ - pos_) n = size_ - pos_;
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void Broken() { std::abort(); }

std::vector<uint8_t> Framed(const std::vector<uint8_t>& body) {
  // body = command byte, payload; the frame gets the length in front and the CRC behind.
  const size_t length = body.size() + 4;
  std::vector<uint8_t> frame;
  frame.reserve(length);  // one allocation: this runs for most transfers of every input
  kp::AppendLe16(frame, static_cast<uint16_t>(length));
  frame.insert(frame.end(), body.begin(), body.end());
  const uint16_t crc =
      kp::Crc16(frame.data(), static_cast<int32_t>(frame.size()), kp::kCrc16Initial);
  kp::AppendLe16(frame, crc);
  return frame;
}

std::vector<kp::InTransfer> Answer(Input& in, std::span<const uint8_t> request) {
  // The host must only ever write whole, good frames.
  if (!kp::DecodeFrame(request)) Broken();
  std::vector<kp::InTransfer> group;
  bool more = true;
  while (more && !in.Empty()) {
    const uint8_t header = in.Byte();
    more = (header & 0x80) != 0;
    size_t length = header & 0x1F;
    if (length == 0x1F) {
      length = in.Byte();
      length |= static_cast<size_t>(in.Byte()) << 8;
    }
    std::vector<uint8_t> body = in.Bytes(length);
    if ((header & 0x40) != 0) body = Framed(body);
    group.push_back({std::move(body), (header & 0x20) != 0 ? kLateMs : 0});
  }
  return group;
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
  bus.Plug(kp::VirtualDeviceConfig{.interfaceClass = kp::kKpR50InterfaceGuid},
           [&in](std::span<const uint8_t> out) { return Answer(in, out); });
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
