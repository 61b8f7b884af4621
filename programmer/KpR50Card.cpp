// Card commands of the KP-R50 and the three operations behind the operator's buttons.
// All card cryptography happens in the programmer: the host names the card by its UID and
// moves the 16-byte file that holds the department number and the index.
#include "programmer/KpR50.h"

#include "programmer/LittleEndian.h"

#include <cstring>

namespace kp {

namespace {
constexpr uint32_t kCardHeaderSize = 1 + kUidSize;  // selector, UID
}  // namespace

uint8_t KpR50::PrepareCard(uint8_t selector) {
  uint8_t request[kCardHeaderSize];
  request[0] = selector;                              /* selector */
  std::memcpy(&request[1], cardInfo.uid, kUidSize);   /* card UID */
  return ExchangeStatus(kCmdPrepareCard, sizeof request, request, kPrepareCardTimeoutMs);
}

uint8_t KpR50::WriteCardFile(uint8_t selector, uint32_t length, const uint8_t* data) {
  // A file the programmer cannot take is the caller's mistake, not a written file.
  if (length > kMaxCardFileData) throw WUsbErr{wusb::kBadParameters, kCmdWriteFile};
  uint8_t request[kCardHeaderSize + kMaxCardFileData];
  request[0] = selector;                                     /* selector */
  std::memcpy(&request[1], cardInfo.uid, kUidSize);          /* card UID */
  if (length != 0) std::memcpy(&request[9], data, length);   /* file data */
  return ExchangeStatus(kCmdWriteFile, kCardHeaderSize + length, request, kWriteFileTimeoutMs);
}

int32_t KpR50::ReadCardFile(uint8_t selector, uint32_t length, uint8_t* output) {
  if (length > kMaxCardFileData) throw WUsbErr{wusb::kBadParameters, kCmdReadFile};
  uint8_t request[1];
  request[0] = selector;  /* selector */
  uint8_t reply[kUidSize + kMaxCardFileData];  // UID of the card read, file data
  const int32_t status = ExchangeData(kCmdReadFile, sizeof request, request, kUidSize + length,
                                      reply, kReadFileTimeoutMs);
  if (status != 0) return status;
  // Another card may have been put in the field since the card-info step.
  if (std::memcmp(reply, cardInfo.uid, kUidSize) != 0) return -1;
  if (length != 0) std::memcpy(output, &reply[kUidSize], length);
  return 0;
}

int32_t KpR50::ProgramCard(int32_t department, int32_t index) {
  uint8_t file[kCardFileSize] = {};
  PutLe32(&file[0], static_cast<uint32_t>(department));  /* department number */
  PutLe32(&file[4], static_cast<uint32_t>(index));       /* index; bytes 8..15 stay zero */

  if (!ReadCardInfo()) return kCardNoCard;
  if (cardInfo.cardType != kCardTypeDesfire) return kCardOtherType;
  if (cardInfo.contentState != 0) return kCardHoldsData;  // never overwrite a used card
  if (PrepareCard(kCardSelector) != 0) return kCardPrepareFailed;
  if (WriteCardFile(kCardSelector, sizeof file, file) != 0) return kCardWriteFailed;
  return kCardOk;
}

int32_t KpR50::ReadCard(int32_t* department, int32_t* index) {
  if (!ReadCardInfo()) return kCardNoCard;
  if (cardInfo.cardType != kCardTypeDesfire) return kCardOtherType;
  if (cardInfo.contentState == 0) return kCardEmpty;
  uint8_t file[kCardFileSize];
  if (ReadCardFile(kCardSelector, sizeof file, file) != 0) return kCardReadFailed;
  *department = static_cast<int32_t>(GetLe32(&file[0]));
  *index = static_cast<int32_t>(GetLe32(&file[4]));
  return kCardOk;
}

int32_t KpR50::EraseCard() {
  if (!ReadCardInfo()) return kCardNoCard;
  if (cardInfo.cardType != kCardTypeDesfire) return kCardOtherType;
  // An empty card is erased like any other: the operator may want a clean start.
  uint8_t request[kUidSize];
  std::memcpy(request, cardInfo.uid, kUidSize);  /* card UID */
  if (ExchangeStatus(kCmdEraseCard, sizeof request, request, kEraseCardTimeoutMs) != 0) {
    return kCardEraseFailed;
  }
  return kCardOk;
}

}  // namespace kp
