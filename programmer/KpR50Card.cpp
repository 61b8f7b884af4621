// Card commands of the KP-R50 and the three operations behind the operator's buttons.
// All card cryptography happens in the programmer: the host names the card by its UID and
// moves the 16-byte file that holds the department number and the index.
#include "programmer/KpR50.h"

#include "base/ByteOrder.h"

#include <cstring>

namespace kp {

using wire::kCardHeaderSize;

uint8_t KpR50::PrepareCard(uint8_t selector) {
  uint8_t request[kCardHeaderSize];
  request[wire::kCardSelectorAt] = selector;
  std::memcpy(&request[wire::kCardUidAt], cardInfo.uid, kUidSize);
  return ExchangeStatus(kCmdPrepareCard, sizeof request, request, kPrepareCardTimeoutMs);
}

uint8_t KpR50::WriteCardFile(uint8_t selector, uint32_t length, const uint8_t* data) {
  // A file the programmer cannot take is the caller's mistake, not a written file.
  if (length > kMaxCardFileData) throw WUsbErr{wusb::kBadParameters, kCmdWriteFile};
  uint8_t request[kCardHeaderSize + kMaxCardFileData];
  request[wire::kCardSelectorAt] = selector;
  std::memcpy(&request[wire::kCardUidAt], cardInfo.uid, kUidSize);
  if (length != 0) std::memcpy(&request[wire::kCardDataAt], data, length);
  return ExchangeStatus(kCmdWriteFile, kCardHeaderSize + length, request, kWriteFileTimeoutMs);
}

int32_t KpR50::ReadCardFile(uint8_t selector, uint32_t length, uint8_t* output) {
  if (length > kMaxCardFileData) throw WUsbErr{wusb::kBadParameters, kCmdReadFile};
  uint8_t request[wire::kReadRequestSize];
  request[wire::kCardSelectorAt] = selector;
  uint8_t reply[wire::kReadReplyDataAt + kMaxCardFileData];
  const int32_t status = ExchangeData(kCmdReadFile, sizeof request, request, kUidSize + length,
                                      reply, kReadFileTimeoutMs);
  if (status != 0) return status;
  // Another card may have been put in the field since the card-info step.
  if (std::memcmp(&reply[wire::kReadReplyUidAt], cardInfo.uid, kUidSize) != 0) return -1;
  if (length != 0) std::memcpy(output, &reply[wire::kReadReplyDataAt], length);
  return 0;
}

int32_t KpR50::ProgramCard(int32_t department, int32_t index) {
  uint8_t file[kCardFileSize] = {};
  PutLe32(&file[wire::kFileDepartmentAt], static_cast<uint32_t>(department));
  PutLe32(&file[wire::kFileIndexAt], static_cast<uint32_t>(index));  // the rest stays zero

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
  *department = static_cast<int32_t>(GetLe32(&file[wire::kFileDepartmentAt]));
  *index = static_cast<int32_t>(GetLe32(&file[wire::kFileIndexAt]));
  return kCardOk;
}

int32_t KpR50::EraseCard() {
  if (!ReadCardInfo()) return kCardNoCard;
  if (cardInfo.cardType != kCardTypeDesfire) return kCardOtherType;
  // An empty card is erased like any other: the operator may want a clean start.
  uint8_t request[wire::kEraseRequestSize];
  std::memcpy(&request[wire::kEraseUidAt], cardInfo.uid, kUidSize);
  if (ExchangeStatus(kCmdEraseCard, sizeof request, request, kEraseCardTimeoutMs) != 0) {
    return kCardEraseFailed;
  }
  return kCardOk;
}

}  // namespace kp
