// The KP-R50's status side: key signature, logout, login challenge, the card in the field,
// and its model record.
#include "programmer/KpR50.h"

#include "base/ByteOrder.h"

#include <cstring>

namespace kp {

const uint8_t kKpR50ModelRecord[8] = {
    wire::kModelCode >> 8, wire::kModelCode & 0xFF, 0x05, 0x00, 0x35, 0x00, 0x00, 0x00};

KpR50::KpR50(UsbPlatform& platform, const Guid* guid, TraceSet* sink)
    : KpWUsbBulkD(platform, guid, sink) {}

uint8_t KpR50::CheckModel() {
  modelRecord = kKpR50ModelRecord;
  return KpWUsbBulkD::CheckModel();
}

void KpR50::ReadStatusAndSignature() {
  ReadStatus(kStatusTimeoutMs);
  if (!KeysLoaded(statusWord)) return;  // without keys the signature means nothing
  // Any reply length is taken: the signature is only shown, never relied on.
  uint8_t signature[wire::kKeySignatureSize] = {};
  Exchange(kCmdKeySignature, 0, nullptr, sizeof signature, signature, kKeySignatureTimeoutMs);
  keySignature = GetLe32(signature);
}

void KpR50::Logout() { ExchangeAck(kCmdLogout, 0, nullptr, kLogoutTimeoutMs); }

void KpR50::GetChallenge(uint8_t challenge[kChallengeSize]) {
  if (Exchange(kCmdChallenge, 0, nullptr, kChallengeSize, challenge, kChallengeTimeoutMs) ==
      static_cast<int32_t>(kChallengeSize)) {
    return;
  }
  // A status byte instead of a challenge: the programmer gets a little over a second before
  // it is asked once more.
  Platform().Sleep(kChallengeRetryPauseMs);
  if (Exchange(kCmdChallenge, 0, nullptr, kChallengeSize, challenge, kChallengeTimeoutMs) !=
      static_cast<int32_t>(kChallengeSize)) {
    throw WUsbErr{wusb::kBadReply, kCmdChallenge};
  }
}

bool KpR50::ReadCardInfo() {
  uint8_t reply[kCardInfoReplySize] = {};
  // Any length but a full card-info reply means that the field is empty; no error.
  cardPresent = Exchange(kCmdCardInfo, 0, nullptr, sizeof reply, reply, kCardInfoTimeoutMs) ==
                static_cast<int32_t>(kCardInfoReplySize);
  if (cardPresent) {
    std::memcpy(cardInfo.uid, &reply[wire::kCardInfoUidAt], kUidSize);
    cardInfo.cardType = reply[wire::kCardInfoTypeAndStateAt] >> 2;
    cardInfo.contentState = reply[wire::kCardInfoTypeAndStateAt] & 3;
    cardInfo.further1 = reply[wire::kCardInfoFurther1At];
    cardInfo.further2 = reply[wire::kCardInfoFurther2At];
  }
  std::memcpy(lastCardInfoReply, reply, sizeof reply);
  return cardPresent;
}

}  // namespace kp
