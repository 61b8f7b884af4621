// What the virtual programmer's GoogleTest suites share: reading replies, login proofs made
// the way the PC makes them, and a snapshot of everything the firmware holds; the requests
// and the password key come from RequestSupport.h.
#pragma once

#include "RequestSupport.h"
#include "crypto/Aes.h"
#include "crypto/Cmac.h"
#include "crypto/PasswordKey.h"
#include "link/KpFrame.h"
#include "sim/firmware/VirtualKpR50.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

namespace kp::test {

inline constexpr uint8_t kUid[8] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x00};
inline constexpr uint8_t kOtherUid[8] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x67, 0x00};

inline Bytes UidBytes(const uint8_t (&uid)[8]) { return Bytes(uid, uid + 8); }

inline Bytes IdentityField(const char* identity = "user") {
  Bytes field(sim::kIdentityFieldSize);
  FillTextField(field.data(), field.size(), identity);
  return field;
}

// A reply as the link would take it: one good frame carrying the command's reply code.
struct Reply {
  bool framed = false;
  uint8_t code = 0;
  Bytes payload;
};

// The single IN transfer the firmware answers `request` with, taken apart.
inline std::optional<Reply> AskRaw(VirtualKpR50& fw, const Bytes& request) {
  const std::vector<InTransfer> out = fw.HandleRequest(request);
  if (out.empty()) return std::nullopt;
  EXPECT_EQ(out.size(), 1u);
  Reply r;
  if (auto frame = kp::DecodeFrame(out.front().bytes)) {
    r.framed = true;
    r.code = frame->command;
    r.payload.assign(frame->payload.begin(), frame->payload.end());
  }
  return r;
}

// The payload of the reply to a good request; fails the test when it is missing or misframed.
inline Bytes Ask(VirtualKpR50& fw, uint8_t command, const Bytes& payload = {}) {
  const auto r = AskRaw(fw, Request(command, payload));
  if (!r) {
    ADD_FAILURE() << "no reply to command 0x" << std::hex << int{command};
    return {};
  }
  EXPECT_TRUE(r->framed);
  EXPECT_EQ(r->code, command | 0x80);
  return r->payload;
}

inline std::array<uint8_t, 16> Mac(const uint8_t key[16], const Bytes& message) {
  AES128 aes;
  aes.SetKey(key);
  Cmac cmac(aes);
  cmac.Init();
  cmac.Update(message.data(), static_cast<uint32_t>(message.size()));
  std::array<uint8_t, 16> mac{};
  cmac.Final(mac.data());
  return mac;
}

// The 28-byte login request proving `key` for the challenge just fetched from `fw`.
inline Bytes LoginProof(VirtualKpR50& fw, const uint8_t key[16], const char* identity = "user") {
  const Bytes challenge = Ask(fw, sim::kCmdChallenge);
  Bytes request = IdentityField(identity);
  const auto mac = Mac(key, Concat({request, challenge}));
  request.insert(request.end(), mac.begin(), mac.end());
  return request;
}

// Everything the firmware holds, for "nothing changed" assertions.
struct Snapshot {
  uint16_t statusWord;
  KeyState keys;
  uint32_t signature;
  PasswordState password;
  std::optional<std::array<uint8_t, 16>> key;
  bool loggedIn;
  std::optional<std::array<uint8_t, 16>> challenge;
  CardKind card;
  std::array<uint8_t, 8> uid;
  std::optional<std::array<uint8_t, 16>> file;
  std::vector<uint8_t> commands;
  bool silent;
  uint64_t lateMs;

  static Snapshot Of(const VirtualKpR50& fw) {
    return {fw.StatusWord(), fw.Keys(),      fw.KeySignature(), fw.Password(), fw.PasswordKey(),
            fw.LoggedIn(),   fw.Challenge(), fw.Card(),         fw.CardUid(),  fw.CardFile(),
            fw.Commands(),   fw.Silent(),    fw.LateMs()};
  }
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

}  // namespace kp::test
