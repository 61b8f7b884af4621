// VirtualKpR50: a model of the KP-R50 programmer's firmware behind the frame format. One OUT
// transfer in, the IN transfers it answers with out; it knows nothing of the transport, so
// the same object serves a VirtualBus in tests and a socket in the simulator program.
//
// What the firmware does where the protocol leaves it open:
// - A fresh object is a factory-new programmer: no keys, no user password, nobody logged in,
//   no card in the field, programmer number 1, firmware version 100.
// - A transfer that is not exactly one good frame (length field equal to the transfer size,
//   CRC 0) gets no reply at all. A good frame with an unknown command byte, or with a payload
//   size its command does not take, gets a one-byte refusal (kStatusUnknownCommand,
//   kStatusBadLength). Neither changes any state, and neither counts as a good request.
// - Refusals are one non-zero status byte (see sim::kStatus...); the commands whose reply is
//   a single status byte answer 0 when done.
// - Key signature without keys: refused. Logout is always accepted, logged in or not.
//   A challenge is always given; a new one replaces the previous one.
// - Login: the identity field is not checked on its own (the MAC covers it). Every login
//   request of the right size uses up the challenge, accepted or not; without a challenge or
//   without a password it is refused. A refused login ends any earlier login. The 4-byte
//   reply of an accepted login is the count of accepted logins so far, little-endian.
// - Password change: the identity field is not checked; the user stays logged in.
// - Card info byte 8 = type << 2 | content: DESFire type 4 with content 0 empty, 1 prepared,
//   2 holds the file; a card of another type reports type 1, content 0. Bytes 9 to 15 are 0.
//   No card: the one byte kStatusNoCard.
// - Card commands check, in this order: keys, login, selector (only 1 is known), a card in
//   the field with the named UID, DESFire. Prepare wants an empty card; write wants exactly
//   16 bytes of data on a prepared card or one that holds the file (it then replaces the
//   file); read wants a card that holds the file; erase takes any DESFire card and leaves it
//   empty.
// - The test knobs change only what they name: setting a password does not log anyone in or
//   out, SetLoggedIn works whatever the password.
// - StaySilent: requests are ignored altogether (no reply, no state change, not recorded).
//   AnswerLate, AnswerTwice, AnswerWrongLength (one extra payload byte 0, correctly framed)
//   and SendGarbage (random bytes of the reply's size that never form a good frame) change
//   only the replies; the command itself is carried out. VanishAtTransfer fires once.
// - Up to kMaxArmedFaults faults are armed at once. Each waits for the n-th good request of
//   its command (counted from its own arming) and fires once, then it is disarmed. Only one
//   fires per request: when several are due, the one armed first; the others fire at their
//   command's next request. Requests a stall swallows are not counted. The kinds:
//   DropBefore  the device vanishes with the request; the command is not carried out.
//   DropAfter   the command is carried out, then the device vanishes; the reply is lost.
//   CardLeave   the card leaves the field just before the command reaches the firmware, so
//               the command finds no card; the card that left keeps what it held.
//   CardSwap    the same, and a new blank card with a new UID takes its place at once, so a
//               command naming the old UID finds another card.
//   Stall       the request goes unanswered and is not carried out, and so does every next
//               request of the same command (the link's resend); any other command ends it.
//   Delay       the command is carried out; its reply leaves delayMs late (a resend is
//               answered on its own schedule, the late reply still leaves at its time).
//   AnswerTwice, WrongLength, Garbage  the command is carried out; its reply is shaped as
//               the test knobs of the same names shape every reply.
//
// Not thread-safe: one caller at a time.
#pragma once

#include "link/KpCommands.h"
#include "link/KpWire.h"
#include "platform/virtual/VirtualBus.h"
#include "sim/firmware/ServedFirmware.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

namespace kp {

namespace sim {

// Command bytes the firmware answers: the protocol's own table.
using kp::kCmdCardInfo;
using kp::kCmdChallenge;
using kp::kCmdChangePassword;
using kp::kCmdEraseCard;
using kp::kCmdKeySignature;
using kp::kCmdLogin;
using kp::kCmdLogout;
using kp::kCmdPrepareCard;
using kp::kCmdReadFile;
using kp::kCmdStatus;
using kp::kCmdWriteFile;

using wire::kModelCode;
// Field sizes: the protocol's own table.
using wire::kCardFileSize;
using wire::kCardSelector;
using wire::kCardTypeDesfire;
using wire::kChallengeSize;
using wire::kIdentityFieldSize;
using wire::kKeySize;
using wire::kMaxCardFileData;
using wire::kUidSize;
inline constexpr uint8_t kCardTypeOther = 1;
inline constexpr uint8_t kContentEmpty = 0;
inline constexpr uint8_t kContentPrepared = 1;
inline constexpr uint8_t kContentFile = 2;

// The firmware's status bytes.
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusUnknownCommand = 0x01;
inline constexpr uint8_t kStatusBadLength = 0x02;
inline constexpr uint8_t kStatusNoKeys = 0x03;
inline constexpr uint8_t kStatusNotLoggedIn = 0x04;
inline constexpr uint8_t kStatusNoCard = 0x05;     // no card, or not the card the request names
inline constexpr uint8_t kStatusOtherCard = 0x06;  // a card of another type
inline constexpr uint8_t kStatusCardState = 0x07;  // the card's content does not allow it
inline constexpr uint8_t kStatusLoginRefused = 0x08;
inline constexpr uint8_t kStatusPasswordRefused = 0x09;
inline constexpr uint8_t kStatusBadSelector = 0x0A;

}  // namespace sim

enum class KeyState { None, Target, Temporary };
enum class PasswordState { None, SetByAdministrator, SetByUser };
enum class CardKind { None, DesfireEmpty, DesfirePrepared, DesfireWithFile, Foreign };

enum class FaultKind {
  DropBefore,
  DropAfter,
  CardLeave,
  CardSwap,
  Stall,
  Delay,
  AnswerTwice,
  WrongLength,
  Garbage,
};

// A failure waiting for one command (see the firmware's notes above).
struct FirmwareFault {
  FaultKind kind = FaultKind::DropBefore;
  uint8_t command = 0;
  uint32_t nth = 1;      // fires at the nth request of the command, 1 the next one
  uint64_t delayMs = 0;  // Delay only
  bool operator==(const FirmwareFault&) const = default;
};

// How many faults one programmer holds armed at once.
inline constexpr size_t kMaxArmedFaults = 4;

class VirtualKpR50 : public ServedFirmware {
 public:
  using Uid = std::array<uint8_t, sim::kUidSize>;
  using Key = std::array<uint8_t, sim::kKeySize>;
  using File = std::array<uint8_t, sim::kCardFileSize>;

  explicit VirtualKpR50(uint64_t seed = 1);
  ~VirtualKpR50() override;
  VirtualKpR50(const VirtualKpR50&) = delete;
  VirtualKpR50& operator=(const VirtualKpR50&) = delete;

  // One OUT transfer in, the IN transfers it answers with out (none, one or several).
  std::vector<InTransfer> HandleRequest(std::span<const uint8_t> request) override;

  // The KP-R50's interface class, bulk IN 0x81 and bulk OUT 0x02, a serial-number string.
  static VirtualDeviceConfig DefaultConfig();
  // Plugs a device whose firmware is this object; the object must outlive the device.
  VirtualBus::DeviceId PlugInto(VirtualBus& bus, VirtualDeviceConfig config = DefaultConfig());

  // Programmer state.
  void SetProgrammerNumber(uint16_t number) { programmerNumber_ = number; }
  void SetFirmwareVersion(uint16_t version) { firmwareVersion_ = version; }
  void SetKeys(KeyState keys, uint32_t signature = 0x00000ABC);
  // The administrator's password for the user "user"; the user must change it.
  void SetPasswordByAdministrator(const char* password);
  void SetPasswordKey(const uint8_t key[sim::kKeySize], PasswordState how);
  void ClearPassword();
  void SetLoggedIn(bool loggedIn) { loggedIn_ = loggedIn; }

  // The card field.
  void PlaceEmptyCard(const uint8_t uid[sim::kUidSize]);
  void PlacePreparedCard(const uint8_t uid[sim::kUidSize]);
  void PlaceProgrammedCard(const uint8_t uid[sim::kUidSize], int32_t department, int32_t index);
  void PlaceForeignCard(const uint8_t uid[sim::kUidSize]);
  void RemoveCard();
  // A 7-byte NXP UID (first byte 0x04) from the object's generator, zero-padded to 8 bytes.
  Uid RandomUid();

  // Observation.
  uint16_t StatusWord() const;
  uint16_t ProgrammerNumber() const { return programmerNumber_; }
  uint16_t FirmwareVersion() const { return firmwareVersion_; }
  KeyState Keys() const { return keys_; }
  uint32_t KeySignature() const { return signature_; }
  PasswordState Password() const { return password_; }
  bool LoggedIn() const { return loggedIn_; }
  std::optional<Key> PasswordKey() const;
  // The challenge a login may still answer, if any.
  std::optional<std::array<uint8_t, sim::kChallengeSize>> Challenge() const;
  CardKind Card() const { return card_; }
  Uid CardUid() const { return cardUid_; }
  // The file's 16 bytes, when the card holds it.
  std::optional<File> CardFile() const;
  // Department and index, when the card holds the file.
  std::optional<std::pair<int32_t, int32_t>> CardNumbers() const;
  // Command bytes of the good requests received, in order.
  const std::vector<uint8_t>& Commands() const { return commands_; }
  void ClearCommands() { commands_.clear(); }
  // OUT transfers handed to HandleRequest so far, good or not.
  uint64_t OutTransfers() const { return outTransfers_; }

  // Test knobs.
  void StaySilent(bool silent) { silent_ = silent; }
  bool Silent() const { return silent_; }
  void AnswerLate(uint64_t delayMs) { delayMs_ = delayMs; }
  uint64_t LateMs() const { return delayMs_; }
  void AnswerTwice(bool twice) { twice_ = twice; }
  void AnswerWrongLength(bool wrong) { wrongLength_ = wrong; }
  void SendGarbage(bool garbage) { garbage_ = garbage; }
  // The n-th OUT transfer (0-based) is swallowed and the device vanishes: it is unplugged
  // from the bus it was plugged into, or the vanish handler runs.
  void VanishAtTransfer(uint64_t n) { vanishAt_ = n; }
  // What vanishing means for a transport other than the VirtualBus.
  void SetVanishHandler(std::function<void()> handler) override { onVanish_ = std::move(handler); }
  bool Vanished() const { return vanished_; }
  // Arms a fault; it replaces all armed before and counts requests from now on.
  void ArmFault(const FirmwareFault& fault);
  // Arms one more beside those armed; false, arming nothing, when kMaxArmedFaults are.
  bool AddFault(const FirmwareFault& fault);
  // Disarms them all and ends a fault's stall.
  void DisarmFault();
  // The armed faults, first armed first.
  std::vector<FirmwareFault> ArmedFaults() const;
  // The first armed, if any.
  std::optional<FirmwareFault> ArmedFault() const;
  // The fault that fired at the latest request, handed out once, for whoever reports it.
  std::optional<FirmwareFault> TakeFiredFault();

 private:
  struct Reply {
    uint8_t command;
    std::vector<uint8_t> payload;
  };

  Reply Dispatch(uint8_t command, std::span<const uint8_t> payload);
  std::vector<uint8_t> Status();
  std::vector<uint8_t> KeySignatureReply() const;
  std::vector<uint8_t> Logout();
  std::vector<uint8_t> NewChallenge();
  std::vector<uint8_t> CardInfo() const;
  std::vector<uint8_t> Login(std::span<const uint8_t> request);
  std::vector<uint8_t> ChangePassword(std::span<const uint8_t> request);
  std::vector<uint8_t> PrepareCard(std::span<const uint8_t> request);
  std::vector<uint8_t> WriteFile(std::span<const uint8_t> request);
  std::vector<uint8_t> ReadFile(std::span<const uint8_t> request);
  std::vector<uint8_t> EraseCard(std::span<const uint8_t> request);
  // The refusal common to the card commands, or kStatusOk when the named card may be worked on.
  uint8_t CheckCardAccess(std::optional<uint8_t> selector,
                          std::optional<std::span<const uint8_t>> uid) const;
  // The reply's IN transfers under the test knobs, and under the fault that fired, if any.
  std::vector<InTransfer> Shape(const Reply& reply, const std::optional<FirmwareFault>& firing);
  void Vanish();
  void PlaceCard(const uint8_t uid[sim::kUidSize], CardKind kind);
  void WipeSecrets();
  // The request's fate under the armed faults; true when it is swallowed unanswered.
  bool FaultBefore(uint8_t command, size_t payloadSize, std::optional<FirmwareFault>* firing);

  struct ArmedFaultState {
    FirmwareFault fault;
    uint32_t seen = 0;  // requests of its command since it was armed
  };

  std::mt19937_64 random_;
  uint16_t programmerNumber_ = 1;
  uint16_t firmwareVersion_ = 100;
  KeyState keys_ = KeyState::None;
  uint32_t signature_ = 0;
  PasswordState password_ = PasswordState::None;
  Key passwordKey_{};
  bool loggedIn_ = false;
  uint32_t acceptedLogins_ = 0;
  std::array<uint8_t, sim::kChallengeSize> challenge_{};
  bool challengeValid_ = false;
  CardKind card_ = CardKind::None;
  Uid cardUid_{};
  File cardFile_{};

  std::vector<uint8_t> commands_;
  uint64_t outTransfers_ = 0;
  bool silent_ = false;
  uint64_t delayMs_ = 0;
  bool twice_ = false;
  bool wrongLength_ = false;
  bool garbage_ = false;
  std::optional<uint64_t> vanishAt_;
  bool vanished_ = false;
  std::function<void()> onVanish_;
  std::vector<ArmedFaultState> faults_;
  std::optional<FirmwareFault> fired_;
  std::optional<uint8_t> stalledCommand_;
  VirtualBus* bus_ = nullptr;
  VirtualBus::DeviceId deviceId_ = 0;
};

}  // namespace kp
