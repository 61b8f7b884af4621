// The KP-R50 programmer: key signature, logout, login challenge, the card in the field, the
// card operations with their result codes, and the login and password-change messages.
// Every operation blocks on its exchanges and throws WUsbErr on link failures.
#pragma once

#include "link/KpWUsbBulkD.h"

#include <cstdint>

namespace kp {

// Time-outs of the IN pipe per command, milliseconds.
inline constexpr uint32_t kKeySignatureTimeoutMs = 50;
inline constexpr uint32_t kLogoutTimeoutMs = 50;
inline constexpr uint32_t kChallengeTimeoutMs = 50;
inline constexpr uint32_t kChallengeRetryPauseMs = 1100;
inline constexpr uint32_t kCardInfoTimeoutMs = 2000;
inline constexpr uint32_t kLoginTimeoutMs = 500;
inline constexpr uint32_t kChangePasswordTimeoutMs = 1000;
inline constexpr uint32_t kPrepareCardTimeoutMs = 2000;
inline constexpr uint32_t kWriteFileTimeoutMs = 2000;
inline constexpr uint32_t kReadFileTimeoutMs = 2000;
inline constexpr uint32_t kEraseCardTimeoutMs = 1000;

// Sizes on the wire.
using wire::kCardFileSize;
using wire::kCardInfoReplySize;
using wire::kCardSelector;
using wire::kChallengeSize;
using wire::kChangePasswordRequestSize;
using wire::kIdentityFieldSize;
using wire::kKeySize;
using wire::kLoginReplySize;
using wire::kLoginRequestSize;
using wire::kMaxCardFileData;
using wire::kUidSize;
inline constexpr int32_t kCardTypeDesfire = wire::kCardTypeDesfire;

// The KP-R50 model record: model code 0x00AA (high byte first), match result 5.
extern const uint8_t kKpR50ModelRecord[8];

// Result codes of the card operations.
enum CardResult : int32_t {
  kCardOk = 0,
  kCardNoCard = 1,
  kCardOtherType = 2,
  kCardEmpty = 3,
  kCardHoldsData = 4,
  kCardUidChanged = 5,
  kCardPrepareFailed = 6,
  kCardWriteFailed = 7,
  kCardEraseFailed = 8,
  kCardReadFailed = 9,
};

// The message of a result code; every code outside 1..9 gives the no-description text.
const char* CardResultText(int32_t resultCode);

struct CardInfo {
  uint8_t uid[kUidSize] = {};
  int32_t cardType = 0;      // 0..63; 4 = DESFire
  int32_t contentState = 0;  // 0..3; 0 = empty
  int32_t further1 = 0;      // reply byte 9, kept
  int32_t further2 = 0;      // reply byte 10, kept
};

class KpR50 : public KpWUsbBulkD {
 public:
  KpR50(UsbPlatform& platform, const Guid* interfaceGuid, TraceSet* tracer);

  uint8_t CheckModel() override;

  // Status commands.
  void ReadStatusAndSignature();
  void Logout();
  void GetChallenge(uint8_t challenge[kChallengeSize]);
  bool ReadCardInfo();

  // Card commands: the programmer's status byte (0 = done). A file longer than
  // kMaxCardFileData bytes throws WUsbErr 11 (wusb::kBadParameters) with the command byte
  // before anything is sent.
  uint8_t PrepareCard(uint8_t selector);
  uint8_t WriteCardFile(uint8_t selector, uint32_t length, const uint8_t* data);
  // 0: output holds the file; the programmer's non-zero status; -1: another card answered.
  // The output is written only on 0.
  int32_t ReadCardFile(uint8_t selector, uint32_t length, uint8_t* output);

  // Composite card operations: result codes.
  int32_t ProgramCard(int32_t department, int32_t index);
  int32_t ReadCard(int32_t* department, int32_t* index);
  int32_t EraseCard();

  // Login and password change.
  bool Authenticate(const char* identity, const uint8_t key[kKeySize]);
  bool SendLoginProof(const uint8_t request[kLoginRequestSize]);
  bool SendPasswordChange(const char* identity, const uint8_t oldKey[kKeySize],
                          const uint8_t newKey[kKeySize]);

  CardInfo cardInfo;
  uint8_t lastCardInfoReply[kCardInfoReplySize] = {};
  bool cardPresent = false;
  uint8_t loginReply[kLoginReplySize] = {};
  uint32_t keySignature = 0;
};

}  // namespace kp
