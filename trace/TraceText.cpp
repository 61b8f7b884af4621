#include "trace/TraceText.h"

#include "codepage/PasswordCodePage.h"
#include "link/Crc16.h"
#include "link/KpCommands.h"
#include "link/KpWire.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"
#include "trace/TraceTextEscape.h"

#include <algorithm>

namespace kp {

namespace {

constexpr uint8_t kReplyBit = 0x80;

struct CommandName {
  uint8_t command;
  const char* name;
};

constexpr CommandName kCommandNames[] = {
    {kCmdStatus, "status"},
    {kCmdKeySignature, "key-signature"},
    {kCmdLogout, "logout"},
    {kCmdChallenge, "challenge"},
    {kCmdCardInfo, "card-info"},
    {kCmdLogin, "login"},
    {kCmdChangePassword, "change-password"},
    {kCmdPrepareCard, "prepare"},
    {kCmdWriteFile, "write-file"},
    {kCmdReadFile, "read-file"},
    {kCmdEraseCard, "erase-card"},
};

// "request 'M' status", "reply 'n' challenge", "request 0x7A unknown".
std::string KindAndCommand(uint8_t byte) {
  std::string text = (byte & kReplyBit) != 0 ? "reply " : "request ";
  const auto command = static_cast<uint8_t>(byte & ~kReplyBit);
  for (const CommandName& c : kCommandNames) {
    if (c.command == command) return text + "'" + static_cast<char>(command) + "' " + c.name;
  }
  return text + "0x" + HexText({&byte, 1}) + " unknown";
}

std::string Seconds(uint64_t micros) {
  std::string fraction = std::to_string(micros % 1000000);
  return std::to_string(micros / 1000000) + "." + std::string(6 - fraction.size(), '0') + fraction;
}

}  // namespace

std::string DescribeTransfer(bool toDevice, std::span<const uint8_t> transfer) {
  const size_t size = transfer.size();
  if (size == 0) return toDevice ? "nothing sent" : "nothing arrived";
  if (size < wire::kFrameLengthAt + 2) return "not one whole frame";
  const uint16_t length = GetLe16(&transfer[wire::kFrameLengthAt]);
  if (size < wire::kFrameOverhead || size > wire::kFrameCapacity || length != size) {
    std::string text = "not one whole frame: length field " + std::to_string(length);
    if (size > wire::kFrameCommandAt) {
      text += ", " + KindAndCommand(transfer[wire::kFrameCommandAt]);
    }
    return text;
  }
  const bool crcHolds = Crc16(transfer.data(), static_cast<int32_t>(size), kCrc16Initial) == 0;
  return KindAndCommand(transfer[wire::kFrameCommandAt]) + ", payload " +
         std::to_string(size - wire::kFrameOverhead) + (crcHolds ? ", CRC ok" : ", CRC bad");
}

std::string TransferLine(uint64_t micros, bool toDevice, std::span<const uint8_t> transfer) {
  const std::vector<ByteRange> withheld = WithheldRanges(transfer);
  std::string line =
      Seconds(micros) + (toDevice ? " OUT " : " IN ") + std::to_string(transfer.size()) + " bytes:";
  line.reserve(line.size() + 3 * transfer.size() + 80);
  auto range = withheld.begin();
  for (size_t i = 0; i < transfer.size();) {
    if (range != withheld.end() && range->at == i) {
      line += range->size == 1 ? " [1 byte withheld]"
                               : " [" + std::to_string(range->size) + " bytes withheld]";
      i += range->size;
      ++range;
      continue;
    }
    line += ' ';
    line += HexText(transfer.subspan(i, 1));
    ++i;
  }
  return line + " | " + DescribeTransfer(toDevice, transfer);
}

TextTrace::TextTrace(TraceWrite write, TraceClock clock, const TraceHeader& header)
    : write_(std::move(write)), clock_(std::move(clock)) {
  start_ = clock_();
  Put(kTraceFormatLine);
  Put("# program: " + EscapeTraceText(header.program));
  Put("# system: " + EscapeTraceText(header.system));
  Put("# backend: " + EscapeTraceText(header.backend));
}

uint64_t TextTrace::Since() {
  const uint64_t now = clock_();
  return now > start_ ? now - start_ : 0;
}

void TextTrace::Put(std::string line) {
  line += '\n';
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!write_(line)) failed_ = true;
}

bool TextTrace::Failed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

// The link never expects its sink to throw: a line that cannot be made is a failed line.
void TextTrace::TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t,
                              int32_t) {
  try {
    const size_t size = count > 0 && bytes != nullptr ? static_cast<size_t>(count) : 0;
    Put(TransferLine(Since(), direction == kTraceToDevice, {bytes, size}));
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
  }
}

void TextTrace::TraceMessage(const char* text) {
  try {
    const std::string_view raw = text != nullptr ? text : "";
    const std::string utf8 = IsUtf8(raw) ? std::string(raw) : Windows1250ToUtf8(raw);
    Put(Seconds(Since()) + " NOTE " + EscapeTraceText(utf8));
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
  }
}

void TextTrace::TraceLink(const char* devicePath, uint32_t serialNumber, uint8_t pipeOut,
                          uint8_t pipeIn) {
  try {
    std::string serial = HexWord32(serialNumber);
    serial.erase(0, std::min(serial.find_first_not_of('0'), serial.size() - 1));
    Put(Seconds(Since()) + " LINK serial " + serial + " pipes " + HexText({&pipeOut, 1}) + "/" +
        HexText({&pipeIn, 1}) + " path " +
        EscapeTraceText(devicePath != nullptr ? devicePath : ""));
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
  }
}

}  // namespace kp
