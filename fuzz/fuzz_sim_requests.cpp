// Request handling of the virtual programmer under arbitrary OUT transfers.
//
// Design: byte 0 sets the programmer up (keys, password, login, card) and picks one of two
// modes; byte 1 seeds its generator.
// - Raw mode: the rest is a sequence of transfers, each a 16-bit length (mod 1100, so that
//   over-long transfers occur) followed by that many bytes. This reaches the frame checks.
// - Framed mode: the rest is a sequence of operations. A request operation names a command,
//   takes its payload from the input, wraps it into a correct frame and may (on request)
//   put in what the fuzzer cannot guess: the UID of the card in the field, the selector, a
//   valid login proof for the current challenge, the right old key. It may also flip one
//   bit of the finished frame. A knob operation changes the programmer's state or its test
//   knobs in between. This reaches logged-in states and every card state.
// Every transfer is handed over as an exact-size heap copy, so that any over-read shows.
// After each one the answers are checked: a transfer that is not a good frame gets nothing
// and changes nothing; a good one gets the expected number of well-formed replies with the
// command's reply code and one of the sizes its command allows; a request refused as
// malformed changes nothing; the status word agrees with the state.
#include "crypto/LoginProof.h"
#include "link/KpFrame.h"
#include "sim/firmware/VirtualKpR50.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace {

using kp::CardKind;
using kp::KeyState;
using kp::PasswordState;
using kp::VirtualKpR50;
namespace sim = kp::sim;
using Bytes = std::vector<uint8_t>;

constexpr std::array<uint8_t, 16> kKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                          0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
constexpr uint8_t kCommands[11] = {
    sim::kCmdStatus,    sim::kCmdKeySignature, sim::kCmdLogout,         sim::kCmdChallenge,
    sim::kCmdCardInfo,  sim::kCmdLogin,        sim::kCmdChangePassword, sim::kCmdPrepareCard,
    sim::kCmdWriteFile, sim::kCmdReadFile,     sim::kCmdEraseCard};

void Check(bool condition) {
  if (!condition) std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // n bytes, zero-filled past the end of the input.
  Bytes Take(size_t n) {
    Bytes out(n, 0);
    for (size_t i = 0; i < n && pos_ < size_; ++i) out[i] = data_[pos_++];
    return out;
  }
  // At most n bytes: what is left of the input.
  Bytes TakeUpTo(size_t n) { return Take(std::min(n, size_ - pos_)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct Snapshot {
  uint16_t statusWord;
  std::optional<std::array<uint8_t, 16>> key;
  std::optional<std::array<uint8_t, 16>> challenge;
  CardKind card;
  std::array<uint8_t, 8> uid;
  std::optional<std::array<uint8_t, 16>> file;
  size_t commands;

  static Snapshot Of(const VirtualKpR50& fw) {
    return {fw.StatusWord(), fw.PasswordKey(), fw.Challenge(),      fw.Card(),
            fw.CardUid(),    fw.CardFile(),    fw.Commands().size()};
  }
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// The knobs as last set, to know what the replies should look like.
struct Knobs {
  bool silent = false;
  bool twice = false;
  bool wrongLength = false;
  bool garbage = false;
  std::optional<uint64_t> vanishAt;  // the OUT transfer that the programmer swallows
};

bool ReplySizeAllowed(uint8_t command, size_t size) {
  switch (command) {
    case sim::kCmdStatus: return size == 8;
    case sim::kCmdChallenge: return size == 16;
    case sim::kCmdKeySignature: return size == 4 || size == 1;
    case sim::kCmdCardInfo: return size == 16 || size == 1;
    case sim::kCmdLogin: return size == 4 || size == 1;
    case sim::kCmdReadFile: return size == 24 || size == 1;
    default: return size == 1;
  }
}

uint16_t ExpectedStatusWord(const VirtualKpR50& fw) {
  uint16_t word = 0;
  if (fw.Keys() == KeyState::Target) word |= 0x0007;
  if (fw.Keys() == KeyState::Temporary) word |= 0x0087;
  if (fw.Password() == PasswordState::None) word |= 0x0400;
  if (fw.Password() == PasswordState::SetByAdministrator) word |= 0x0800;
  if (fw.LoggedIn()) word |= 0x1000;
  return word;
}

void Send(VirtualKpR50& fw, Knobs& knobs, const Bytes& transfer) {
  const Snapshot before = Snapshot::Of(fw);
  const bool vanishes = knobs.vanishAt == fw.OutTransfers();
  if (vanishes) knobs.vanishAt.reset();
  // An exact-size copy: the firmware must not read past it.
  const std::unique_ptr<uint8_t[]> copy(new uint8_t[transfer.size()]);
  std::copy(transfer.begin(), transfer.end(), copy.get());
  const std::span<const uint8_t> bytes(copy.get(), transfer.size());
  const auto replies = fw.HandleRequest(bytes);
  const auto request = kp::DecodeFrame(bytes);
  Check(fw.StatusWord() == ExpectedStatusWord(fw));
  if (vanishes || knobs.silent || !request) {
    Check(replies.empty());
    Check(Snapshot::Of(fw) == before);
    return;
  }
  Check(replies.size() == (knobs.twice ? 2u : 1u));
  for (const kp::InTransfer& reply : replies) {
    const auto frame = kp::DecodeFrame(reply.bytes);
    if (knobs.garbage) {
      Check(!frame);
      continue;
    }
    Check(frame.has_value());
    Check(frame->command == (request->command | 0x80));
    const size_t size = frame->payload.size() - (knobs.wrongLength ? 1 : 0);
    Check(size >= 1);
    const bool good = fw.Commands().size() == before.commands + 1;
    if (good) {
      Check(fw.Commands().back() == request->command);
      Check(ReplySizeAllowed(request->command, size));
    } else {
      // Unknown command or a payload size its command does not take: refused, nothing changed.
      Check(size == 1);
      Check(frame->payload[0] == sim::kStatusUnknownCommand ||
            frame->payload[0] == sim::kStatusBadLength);
      Check(Snapshot::Of(fw) == before);
    }
  }
}

size_t ProperSize(uint8_t command) {
  switch (command) {
    case sim::kCmdLogin: return 28;
    case sim::kCmdChangePassword: return 44;
    case sim::kCmdPrepareCard: return 9;
    case sim::kCmdWriteFile: return 25;
    case sim::kCmdReadFile: return 1;
    case sim::kCmdEraseCard: return 8;
    default: return 0;
  }
}

// Puts in what the fuzzer cannot guess.
void Help(const VirtualKpR50& fw, uint8_t command, Bytes& payload) {
  const auto uid = fw.CardUid();
  auto put = [&payload](size_t at, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n && at + i < payload.size(); ++i) payload[at + i] = bytes[i];
  };
  switch (command) {
    case sim::kCmdPrepareCard:
    case sim::kCmdWriteFile:
      if (!payload.empty()) payload[0] = sim::kCardSelector;
      put(1, uid.data(), uid.size());
      break;
    case sim::kCmdReadFile:
      if (!payload.empty()) payload[0] = sim::kCardSelector;
      break;
    case sim::kCmdEraseCard: put(0, uid.data(), uid.size()); break;
    case sim::kCmdLogin: {
      const auto challenge = fw.Challenge();
      const auto key = fw.PasswordKey();
      if (!challenge || !key || payload.size() < 12) break;
      uint8_t mac[16];
      kp::LoginMac(key->data(), payload.data(), challenge->data(), mac);
      put(12, mac, sizeof mac);
      break;
    }
    case sim::kCmdChangePassword:
      if (const auto key = fw.PasswordKey()) put(12, key->data(), key->size());
      break;
    default: break;
  }
}

void KnobOperation(VirtualKpR50& fw, Knobs& knobs, uint8_t op, Input& in) {
  switch (op & 0x0F) {
    case 0: fw.AnswerWrongLength(knobs.wrongLength = !knobs.wrongLength); break;
    case 1: fw.SendGarbage(knobs.garbage = !knobs.garbage); break;
    case 2: fw.AnswerTwice(knobs.twice = !knobs.twice); break;
    case 3: fw.AnswerLate(in.Byte()); break;
    case 4: fw.StaySilent(knobs.silent = !knobs.silent); break;
    case 5: fw.PlaceEmptyCard(fw.RandomUid().data()); break;
    case 6: {
      const Bytes numbers = in.Take(8);
      fw.PlaceProgrammedCard(fw.RandomUid().data(),
                             static_cast<int32_t>(numbers[0] | numbers[1] << 8 | numbers[2] << 16),
                             static_cast<int32_t>(numbers[4] | numbers[5] << 8));
      break;
    }
    case 7: fw.PlaceForeignCard(fw.RandomUid().data()); break;
    case 8: fw.RemoveCard(); break;
    case 9: fw.SetKeys(static_cast<KeyState>(in.Byte() % 3), 0xABC); break;
    case 10: fw.SetLoggedIn(!fw.LoggedIn()); break;
    case 11: fw.ClearPassword(); break;
    case 12:
      fw.SetPasswordKey(kKey.data(),
                        (op & 0x10) ? PasswordState::SetByAdministrator : PasswordState::SetByUser);
      break;
    case 13:
      knobs.vanishAt = fw.OutTransfers() + in.Byte() % 4;
      fw.VanishAtTransfer(*knobs.vanishAt);
      break;
    case 14: fw.ClearCommands(); break;
    default: fw.PlacePreparedCard(fw.RandomUid().data()); break;
  }
}

void RequestOperation(VirtualKpR50& fw, Knobs& knobs, uint8_t op, Input& in) {
  const uint8_t index = op & 0x0F;
  const uint8_t command = index < 11 ? kCommands[index] : in.Byte();
  const size_t size = (op & 0x10) ? ProperSize(command) : in.Byte();
  Bytes payload = in.Take(size);
  if (op & 0x20) Help(fw, command, payload);
  Bytes frame = kp::EncodeFrame(command, payload);
  if (op & 0x40) {
    const uint8_t at = in.Byte();
    frame[at % frame.size()] ^= static_cast<uint8_t>(1u << (at >> 5));
  }
  Send(fw, knobs, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t setup = in.Byte();
  VirtualKpR50 fw(in.Byte());
  Knobs knobs;
  fw.SetKeys(static_cast<KeyState>(((setup >> 1) & 3) % 3));
  switch ((setup >> 3) & 3) {
    case 0: break;
    case 1: fw.SetPasswordKey(kKey.data(), PasswordState::SetByAdministrator); break;
    default: fw.SetPasswordKey(kKey.data(), PasswordState::SetByUser); break;
  }
  fw.SetLoggedIn((setup & 0x20) != 0);
  const uint8_t uid[8] = {0x04, 1, 2, 3, 4, 5, 6, 0};
  switch (setup >> 6) {
    case 0: break;
    case 1: fw.PlaceEmptyCard(uid); break;
    case 2: fw.PlaceProgrammedCard(uid, 99999, 7); break;
    default: fw.PlaceForeignCard(uid); break;
  }

  if ((setup & 1) == 0) {
    while (!in.Empty()) {
      const size_t length = (in.Byte() | (static_cast<size_t>(in.Byte()) << 8)) % 1100;
      Send(fw, knobs, in.TakeUpTo(length));
    }
    return 0;
  }
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    if (op & 0x80) {
      KnobOperation(fw, knobs, op, in);
    } else {
      RequestOperation(fw, knobs, op, in);
    }
  }
  return 0;
}
