#include "sim/firmware/VirtualKpR50.h"

#include "crypto/LoginProof.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "link/KpFrame.h"
#include "link/KpWUsbBulkD.h"
#include "link/WUsbBulkD.h"
#include "base/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace kp {

using namespace sim;

namespace {

// Which payload sizes a command takes; nullopt for a command the firmware does not know.
std::optional<bool> PayloadFits(uint8_t command, size_t size) {
  switch (command) {
    case sim::kCmdStatus:
    case kCmdKeySignature:
    case kCmdLogout:
    case kCmdChallenge:
    case kCmdCardInfo: return size == 0;
    case kCmdLogin: return size == wire::kLoginRequestSize;
    case kCmdChangePassword: return size == wire::kChangePasswordRequestSize;
    case kCmdPrepareCard: return size == wire::kCardHeaderSize;
    case kCmdWriteFile:
      return size >= wire::kCardHeaderSize && size <= wire::kCardHeaderSize + kMaxCardFileData;
    case kCmdReadFile: return size == wire::kReadRequestSize;
    case kCmdEraseCard: return size == wire::kEraseRequestSize;
    default: return std::nullopt;
  }
}

std::vector<uint8_t> One(uint8_t status) { return {status}; }

}  // namespace

VirtualKpR50::VirtualKpR50(uint64_t seed) : random_(seed) {}

VirtualKpR50::~VirtualKpR50() { WipeSecrets(); }

void VirtualKpR50::WipeSecrets() {
  SecureWipe(passwordKey_.data(), passwordKey_.size());
  SecureWipe(challenge_.data(), challenge_.size());
}

VirtualDeviceConfig VirtualKpR50::DefaultConfig() {
  VirtualDeviceConfig config;
  config.interfaceClass = kKpR50InterfaceGuid;
  config.serialNumber = u"50A10001";
  config.pipes = {
      {PipeType::Bulk, 0x81, 64, 0},
      {PipeType::Bulk, 0x02, 64, 0},
  };
  return config;
}

VirtualBus::DeviceId VirtualKpR50::PlugInto(VirtualBus& bus, VirtualDeviceConfig config) {
  bus_ = &bus;
  deviceId_ = bus.Plug(std::move(config),
                       [this](std::span<const uint8_t> out) { return HandleRequest(out); });
  return deviceId_;
}

std::vector<InTransfer> VirtualKpR50::HandleRequest(std::span<const uint8_t> request) {
  const uint64_t transfer = outTransfers_++;
  if (vanishAt_ && *vanishAt_ == transfer) {
    vanishAt_.reset();
    Vanish();
    return {};
  }
  if (silent_) return {};
  const auto frame = DecodeFrame(request);
  if (!frame) return {};
  std::optional<FirmwareFault> firing;
  if (FaultBefore(frame->command, frame->payload.size(), &firing)) return {};
  const Reply reply = Dispatch(frame->command, frame->payload);
  if (firing && firing->kind == FaultKind::DropAfter) {
    Vanish();
    return {};
  }
  return Shape(reply, firing);
}

bool VirtualKpR50::FaultBefore(uint8_t command, size_t payloadSize,
                               std::optional<FirmwareFault>* firing) {
  if (stalledCommand_) {
    if (*stalledCommand_ == command) return true;
    stalledCommand_.reset();
  }
  // A refused request (unknown command, wrong size) is no request of its command.
  if (!PayloadFits(command, payloadSize).value_or(false)) return false;
  std::optional<size_t> due;
  for (size_t i = 0; i < faults_.size(); ++i) {
    ArmedFaultState& armed = faults_[i];
    if (armed.fault.command != command) continue;
    if (armed.seen < armed.fault.nth) ++armed.seen;
    if (!due && armed.seen >= armed.fault.nth) due = i;
  }
  if (!due) return false;
  *firing = faults_[*due].fault;
  fired_ = *firing;
  faults_.erase(faults_.begin() + static_cast<std::ptrdiff_t>(*due));
  switch ((*firing)->kind) {
    case FaultKind::DropBefore: Vanish(); return true;
    case FaultKind::Stall: stalledCommand_ = command; return true;
    case FaultKind::CardLeave:
      RemoveCard();  // it takes what it holds along; the field is empty
      return false;
    case FaultKind::CardSwap: {
      const Uid uid = RandomUid();
      PlaceEmptyCard(uid.data());
      return false;
    }
    default: return false;
  }
}

void VirtualKpR50::ArmFault(const FirmwareFault& fault) {
  faults_.clear();
  AddFault(fault);
}

bool VirtualKpR50::AddFault(const FirmwareFault& fault) {
  if (faults_.size() >= kMaxArmedFaults) return false;
  ArmedFaultState armed{fault, 0};
  if (armed.fault.nth == 0) armed.fault.nth = 1;
  faults_.push_back(armed);
  return true;
}

void VirtualKpR50::DisarmFault() {
  faults_.clear();
  stalledCommand_.reset();
}

std::vector<FirmwareFault> VirtualKpR50::ArmedFaults() const {
  std::vector<FirmwareFault> out;
  for (const ArmedFaultState& armed : faults_) out.push_back(armed.fault);
  return out;
}

std::optional<FirmwareFault> VirtualKpR50::ArmedFault() const {
  if (faults_.empty()) return std::nullopt;
  return faults_.front().fault;
}

std::optional<FirmwareFault> VirtualKpR50::TakeFiredFault() {
  std::optional<FirmwareFault> fired = fired_;
  fired_.reset();
  return fired;
}

VirtualKpR50::Reply VirtualKpR50::Dispatch(uint8_t command, std::span<const uint8_t> payload) {
  const auto fits = PayloadFits(command, payload.size());
  if (!fits) return {command, One(kStatusUnknownCommand)};
  if (!*fits) return {command, One(kStatusBadLength)};
  commands_.push_back(command);
  switch (command) {
    case sim::kCmdStatus: return {command, Status()};
    case kCmdKeySignature: return {command, KeySignatureReply()};
    case kCmdLogout: return {command, Logout()};
    case kCmdChallenge: return {command, NewChallenge()};
    case kCmdCardInfo: return {command, CardInfo()};
    case kCmdLogin: return {command, Login(payload)};
    case kCmdChangePassword: return {command, ChangePassword(payload)};
    case kCmdPrepareCard: return {command, PrepareCard(payload)};
    case kCmdWriteFile: return {command, WriteFile(payload)};
    case kCmdReadFile: return {command, ReadFile(payload)};
    default: return {command, EraseCard(payload)};  // kCmdEraseCard, the last one PayloadFits knows
  }
}

std::vector<InTransfer> VirtualKpR50::Shape(const Reply& reply,
                                            const std::optional<FirmwareFault>& firing) {
  const auto firingIs = [&firing](FaultKind kind) { return firing && firing->kind == kind; };
  const bool wrongLength = wrongLength_ || firingIs(FaultKind::WrongLength);
  const bool garbage = garbage_ || firingIs(FaultKind::Garbage);
  const bool twice = twice_ || firingIs(FaultKind::AnswerTwice);
  const uint64_t delayMs = firingIs(FaultKind::Delay) ? firing->delayMs : delayMs_;
  std::vector<uint8_t> payload = reply.payload;
  if (wrongLength) payload.push_back(0);
  std::vector<uint8_t> frame =
      EncodeFrame(static_cast<uint8_t>(reply.command | kReplyBit), payload);
  if (garbage) {
    for (auto& b : frame) b = static_cast<uint8_t>(random_());
    // However unlikely, random bytes must not happen to form a good frame.
    if (DecodeFrame(frame)) frame.back() ^= 0xFF;
  }
  std::vector<InTransfer> out;
  out.push_back({frame, delayMs});
  if (twice) out.push_back({std::move(frame), delayMs});
  return out;
}

void VirtualKpR50::Vanish() {
  vanished_ = true;
  if (onVanish_) {
    onVanish_();
  } else if (bus_ != nullptr) {
    bus_->Unplug(deviceId_);
  }
}

// --- Status commands -------------------------------------------------------------------

uint16_t VirtualKpR50::StatusWord() const {
  uint16_t word = 0;
  if (keys_ == KeyState::Target) word |= kStatusKeysMask;
  if (keys_ == KeyState::Temporary) word |= kStatusKeysMask | kStatusTemporaryKeys;
  if (password_ == PasswordState::None) word |= kStatusNoUserPassword;
  if (password_ == PasswordState::SetByAdministrator) word |= kStatusAdminPassword;
  if (loggedIn_) word |= kStatusLoggedIn;
  return word;
}

std::vector<uint8_t> VirtualKpR50::Status() {
  std::vector<uint8_t> reply(wire::kStatusReplySize);
  PutLe16(&reply[wire::kStatusProgrammerNumberAt], programmerNumber_);
  PutLe16(&reply[wire::kStatusModelCodeAt], kModelCode);
  PutLe16(&reply[wire::kStatusFirmwareVersionAt], firmwareVersion_);
  PutLe16(&reply[wire::kStatusWordAt], StatusWord());
  return reply;
}

std::vector<uint8_t> VirtualKpR50::KeySignatureReply() const {
  if (keys_ == KeyState::None) return One(kStatusNoKeys);
  std::vector<uint8_t> reply(wire::kKeySignatureSize);
  PutLe32(reply.data(), signature_);
  return reply;
}

std::vector<uint8_t> VirtualKpR50::Logout() {
  loggedIn_ = false;
  return One(kStatusOk);
}

std::vector<uint8_t> VirtualKpR50::NewChallenge() {
  for (auto& b : challenge_) b = static_cast<uint8_t>(random_());
  challengeValid_ = true;
  return {challenge_.begin(), challenge_.end()};
}

std::vector<uint8_t> VirtualKpR50::CardInfo() const {
  uint8_t typeAndContent = 0;
  switch (card_) {
    case CardKind::None: return One(kStatusNoCard);
    case CardKind::DesfireEmpty: typeAndContent = kCardTypeDesfire << 2 | kContentEmpty; break;
    case CardKind::DesfirePrepared:
      typeAndContent = kCardTypeDesfire << 2 | kContentPrepared;
      break;
    case CardKind::DesfireWithFile: typeAndContent = kCardTypeDesfire << 2 | kContentFile; break;
    case CardKind::Foreign: typeAndContent = kCardTypeOther << 2; break;
  }
  std::vector<uint8_t> reply(wire::kCardInfoReplySize, 0);
  std::copy(cardUid_.begin(), cardUid_.end(), reply.begin() + wire::kCardInfoUidAt);
  reply[wire::kCardInfoTypeAndStateAt] = typeAndContent;
  return reply;
}

// --- Login and password ----------------------------------------------------------------

std::vector<uint8_t> VirtualKpR50::Login(std::span<const uint8_t> request) {
  const bool hadChallenge = challengeValid_;
  challengeValid_ = false;  // single use, whatever the outcome
  bool accepted = false;
  if (hadChallenge && password_ != PasswordState::None) {
    accepted = LoginMacMatches(passwordKey_.data(), &request[wire::kLoginIdentityAt],
                               challenge_.data(), &request[wire::kLoginMacAt]);
  }
  SecureWipe(challenge_.data(), challenge_.size());
  loggedIn_ = accepted;
  if (!accepted) return One(kStatusLoginRefused);
  ++acceptedLogins_;
  std::vector<uint8_t> reply(wire::kLoginReplySize);
  PutLe32(reply.data(), acceptedLogins_);
  return reply;
}

std::vector<uint8_t> VirtualKpR50::ChangePassword(std::span<const uint8_t> request) {
  const uint8_t* oldKey = &request[wire::kChangeOldKeyAt];
  const uint8_t* newKey = &request[wire::kChangeNewKeyAt];
  if (!loggedIn_ || password_ == PasswordState::None ||
      !SameBytes(oldKey, passwordKey_.data(), kKeySize)) {
    return One(kStatusPasswordRefused);
  }
  std::memcpy(passwordKey_.data(), newKey, kKeySize);
  password_ = PasswordState::SetByUser;
  return One(kStatusOk);
}

void VirtualKpR50::SetPasswordByAdministrator(const char* password) {
  Key key{};
  DerivePasswordKey(kUserIdentity, password, key.data());
  SetPasswordKey(key.data(), PasswordState::SetByAdministrator);
  SecureWipe(key.data(), key.size());
}

void VirtualKpR50::SetPasswordKey(const uint8_t key[kKeySize], PasswordState how) {
  if (how == PasswordState::None) {
    ClearPassword();
    return;
  }
  std::memcpy(passwordKey_.data(), key, kKeySize);
  password_ = how;
}

void VirtualKpR50::ClearPassword() {
  SecureWipe(passwordKey_.data(), passwordKey_.size());
  password_ = PasswordState::None;
}

std::optional<VirtualKpR50::Key> VirtualKpR50::PasswordKey() const {
  if (password_ == PasswordState::None) return std::nullopt;
  return passwordKey_;
}

std::optional<std::array<uint8_t, kChallengeSize>> VirtualKpR50::Challenge() const {
  if (!challengeValid_) return std::nullopt;
  return challenge_;
}

void VirtualKpR50::SetKeys(KeyState keys, uint32_t signature) {
  keys_ = keys;
  signature_ = keys == KeyState::None ? 0 : signature;
}

// --- Card commands ---------------------------------------------------------------------

uint8_t VirtualKpR50::CheckCardAccess(std::optional<uint8_t> selector,
                                      std::optional<std::span<const uint8_t>> uid) const {
  if (keys_ == KeyState::None) return kStatusNoKeys;
  if (!loggedIn_) return kStatusNotLoggedIn;
  if (selector && *selector != kCardSelector) return kStatusBadSelector;
  if (card_ == CardKind::None) return kStatusNoCard;
  if (uid && !std::equal(uid->begin(), uid->end(), cardUid_.begin(), cardUid_.end())) {
    return kStatusNoCard;
  }
  if (card_ == CardKind::Foreign) return kStatusOtherCard;
  return kStatusOk;
}

std::vector<uint8_t> VirtualKpR50::PrepareCard(std::span<const uint8_t> request) {
  const uint8_t refusal =
      CheckCardAccess(request[wire::kCardSelectorAt], request.subspan(wire::kCardUidAt, kUidSize));
  if (refusal != kStatusOk) return One(refusal);
  if (card_ != CardKind::DesfireEmpty) return One(kStatusCardState);
  card_ = CardKind::DesfirePrepared;
  return One(kStatusOk);
}

std::vector<uint8_t> VirtualKpR50::WriteFile(std::span<const uint8_t> request) {
  const uint8_t refusal =
      CheckCardAccess(request[wire::kCardSelectorAt], request.subspan(wire::kCardUidAt, kUidSize));
  if (refusal != kStatusOk) return One(refusal);
  const auto data = request.subspan(wire::kCardDataAt);
  if (data.size() != kCardFileSize) return One(kStatusBadLength);
  if (card_ != CardKind::DesfirePrepared && card_ != CardKind::DesfireWithFile) {
    return One(kStatusCardState);
  }
  std::copy(data.begin(), data.end(), cardFile_.begin());
  card_ = CardKind::DesfireWithFile;
  return One(kStatusOk);
}

std::vector<uint8_t> VirtualKpR50::ReadFile(std::span<const uint8_t> request) {
  const uint8_t refusal = CheckCardAccess(request[wire::kCardSelectorAt], std::nullopt);
  if (refusal != kStatusOk) return One(refusal);
  if (card_ != CardKind::DesfireWithFile) return One(kStatusCardState);
  std::vector<uint8_t> reply(cardUid_.begin(), cardUid_.end());
  reply.insert(reply.end(), cardFile_.begin(), cardFile_.end());
  return reply;
}

std::vector<uint8_t> VirtualKpR50::EraseCard(std::span<const uint8_t> request) {
  const uint8_t refusal =
      CheckCardAccess(std::nullopt, request.subspan(wire::kEraseUidAt, kUidSize));
  if (refusal != kStatusOk) return One(refusal);
  card_ = CardKind::DesfireEmpty;
  cardFile_.fill(0);
  return One(kStatusOk);
}

// --- The card field --------------------------------------------------------------------

void VirtualKpR50::PlaceCard(const uint8_t uid[kUidSize], CardKind kind) {
  card_ = kind;
  std::copy(uid, uid + kUidSize, cardUid_.begin());
  cardFile_.fill(0);
}

void VirtualKpR50::PlaceEmptyCard(const uint8_t uid[kUidSize]) {
  PlaceCard(uid, CardKind::DesfireEmpty);
}

void VirtualKpR50::PlacePreparedCard(const uint8_t uid[kUidSize]) {
  PlaceCard(uid, CardKind::DesfirePrepared);
}

void VirtualKpR50::PlaceProgrammedCard(const uint8_t uid[kUidSize], int32_t department,
                                       int32_t index) {
  PlaceCard(uid, CardKind::DesfireWithFile);
  PutLe32(&cardFile_[wire::kFileDepartmentAt], static_cast<uint32_t>(department));
  PutLe32(&cardFile_[wire::kFileIndexAt], static_cast<uint32_t>(index));
}

void VirtualKpR50::PlaceForeignCard(const uint8_t uid[kUidSize]) {
  PlaceCard(uid, CardKind::Foreign);
}

void VirtualKpR50::RemoveCard() {
  card_ = CardKind::None;
  cardUid_.fill(0);
  cardFile_.fill(0);
}

VirtualKpR50::Uid VirtualKpR50::RandomUid() {
  Uid uid{};
  uid[0] = 0x04;  // NXP
  for (size_t i = 1; i < 7; ++i) uid[i] = static_cast<uint8_t>(random_());
  return uid;
}

std::optional<VirtualKpR50::File> VirtualKpR50::CardFile() const {
  if (card_ != CardKind::DesfireWithFile) return std::nullopt;
  return cardFile_;
}

std::optional<std::pair<int32_t, int32_t>> VirtualKpR50::CardNumbers() const {
  if (card_ != CardKind::DesfireWithFile) return std::nullopt;
  return std::make_pair(static_cast<int32_t>(GetLe32(&cardFile_[wire::kFileDepartmentAt])),
                        static_cast<int32_t>(GetLe32(&cardFile_[wire::kFileIndexAt])));
}

}  // namespace kp
