// Where every field sits in the KP-R50's frames, requests and replies: one table for the
// host and the virtual programmer alike. Offsets count from the start of the payload
// (frame header excluded) unless they belong to the frame itself.
#pragma once

#include "crypto/LoginProof.h"
#include "crypto/PasswordKey.h"

#include <cstdint>

namespace kp::wire {

// Frame: length (16-bit LE, whole frame) | command byte | payload | CRC-16 (LE).
inline constexpr uint32_t kFrameLengthAt = 0;
inline constexpr uint32_t kFrameCommandAt = 2;
inline constexpr uint32_t kFramePayloadAt = 3;
inline constexpr uint32_t kFrameCrcSize = 2;
inline constexpr uint32_t kFrameOverhead = kFramePayloadAt + kFrameCrcSize;
inline constexpr uint32_t kFrameCapacity = 1032;
inline constexpr uint32_t kMaxPayload = kFrameCapacity - kFrameOverhead;

// The programmer's own values in the fields.
inline constexpr uint16_t kModelCode = 0x00AA;  // status word 1 of a KP-R50
inline constexpr uint8_t kCardSelector = 1;     // the one application on the card
inline constexpr uint8_t kCardTypeDesfire = 4;  // card type in the card-info reply

// Field sizes.
inline constexpr uint32_t kUidSize = 8;
inline constexpr uint32_t kKeySize = kPasswordKeySize;
inline constexpr uint32_t kChallengeSize = kLoginChallengeSize;
inline constexpr uint32_t kMacSize = kLoginMacSize;
inline constexpr uint32_t kIdentityFieldSize = kIdentityFieldWidth;
inline constexpr uint32_t kKeySignatureSize = 4;
inline constexpr uint32_t kCardFileSize = 16;
inline constexpr uint32_t kMaxCardFileData = 244;

// Status reply ('M'): four 16-bit LE words.
inline constexpr uint32_t kStatusProgrammerNumberAt = 0;
inline constexpr uint32_t kStatusModelCodeAt = 2;
inline constexpr uint32_t kStatusFirmwareVersionAt = 4;
inline constexpr uint32_t kStatusWordAt = 6;
inline constexpr uint32_t kStatusReplySize = 8;

// Card-info reply ('R'): UID | card type << 2 | content state | two further bytes | rest.
inline constexpr uint32_t kCardInfoUidAt = 0;
inline constexpr uint32_t kCardInfoTypeAndStateAt = kCardInfoUidAt + kUidSize;
inline constexpr uint32_t kCardInfoFurther1At = kCardInfoTypeAndStateAt + 1;
inline constexpr uint32_t kCardInfoFurther2At = kCardInfoFurther1At + 1;
inline constexpr uint32_t kCardInfoReplySize = 16;

// Login request ('L'): identity field | AES-CMAC over identity field and challenge.
inline constexpr uint32_t kLoginIdentityAt = 0;
inline constexpr uint32_t kLoginMacAt = kLoginIdentityAt + kIdentityFieldSize;
inline constexpr uint32_t kLoginRequestSize = kLoginMacAt + kMacSize;
inline constexpr uint32_t kLoginReplySize = 4;

// Password-change request ('H'): identity field | old password key | new password key.
inline constexpr uint32_t kChangeIdentityAt = 0;
inline constexpr uint32_t kChangeOldKeyAt = kChangeIdentityAt + kIdentityFieldSize;
inline constexpr uint32_t kChangeNewKeyAt = kChangeOldKeyAt + kKeySize;
inline constexpr uint32_t kChangePasswordRequestSize = kChangeNewKeyAt + kKeySize;

// Prepare ('p') and write-file ('P') requests: selector | card UID | file data ('P' only).
inline constexpr uint32_t kCardSelectorAt = 0;
inline constexpr uint32_t kCardUidAt = kCardSelectorAt + 1;
inline constexpr uint32_t kCardDataAt = kCardUidAt + kUidSize;
inline constexpr uint32_t kCardHeaderSize = kCardDataAt;
// Read-file request ('r'): selector. Its reply: UID of the card read | file data.
inline constexpr uint32_t kReadRequestSize = 1;
inline constexpr uint32_t kReadReplyUidAt = 0;
inline constexpr uint32_t kReadReplyDataAt = kReadReplyUidAt + kUidSize;
// Erase request ('C'): card UID.
inline constexpr uint32_t kEraseUidAt = 0;
inline constexpr uint32_t kEraseRequestSize = kEraseUidAt + kUidSize;

// The card file: department number (32-bit LE) | index (32-bit LE) | zeros.
inline constexpr uint32_t kFileDepartmentAt = 0;
inline constexpr uint32_t kFileIndexAt = 4;

static_assert(kFrameOverhead == 5 && kMaxPayload == 1027);
static_assert(kIdentityFieldSize == 12 && kKeySize == 16, "the login messages' widths");
static_assert(kLoginRequestSize == 28, "identity and MAC");
static_assert(kChangePasswordRequestSize == 44, "identity, old key and new key");
static_assert(kMacSize == kChallengeSize, "the MAC takes the challenge's place in the request");
static_assert(kCardHeaderSize == 9);
static_assert(kCardInfoFurther2At < kCardInfoReplySize);
static_assert(kFileIndexAt + 4 <= kCardFileSize && kCardFileSize <= kMaxCardFileData);
static_assert(kReadReplyDataAt + kMaxCardFileData <= kMaxPayload, "a read reply fits in one frame");
static_assert(kCardHeaderSize + kMaxCardFileData <= kMaxPayload,
              "a write request fits in one frame");

}  // namespace kp::wire
