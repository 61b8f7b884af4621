#include "sim/rack/RequestText.h"

#include "link/KpFrame.h"
#include "link/KpWUsbBulkD.h"
#include "link/KpWire.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"
#include "sim/firmware/VirtualKpR50.h"

#include <cstdio>
#include <string>

namespace kp::sim {

namespace {

using Summary = RequestSummary;

std::optional<std::array<uint8_t, 8>> UidAt(std::span<const uint8_t> bytes, size_t offset) {
  if (bytes.size() < offset + kUidSize) return std::nullopt;
  std::array<uint8_t, 8> uid{};
  std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(offset + kUidSize), uid.begin());
  return uid;
}

// The card file's two numbers, when `bytes` from `offset` on is a whole card file.
std::optional<std::pair<int32_t, int32_t>> NumbersAt(std::span<const uint8_t> bytes,
                                                     size_t offset) {
  if (bytes.size() != offset + kCardFileSize) return std::nullopt;
  return std::make_pair(static_cast<int32_t>(GetLe32(&bytes[offset + wire::kFileDepartmentAt])),
                        static_cast<int32_t>(GetLe32(&bytes[offset + wire::kFileIndexAt])));
}

std::string Format(const char* format, unsigned value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

const char* CommandName(uint8_t command) {
  switch (command) {
    case kCmdStatus: return "status";
    case kCmdKeySignature: return "key-signature";
    case kCmdLogout: return "logout";
    case kCmdChallenge: return "challenge";
    case kCmdCardInfo: return "card-info";
    case kCmdLogin: return "login";
    case kCmdChangePassword: return "change-password";
    case kCmdPrepareCard: return "prepare-card";
    case kCmdWriteFile: return "write-file";
    case kCmdReadFile: return "read-file";
    case kCmdEraseCard: return "erase-card";
    default: return nullptr;
  }
}

constexpr uint8_t kKnownCommands[] = {
    kCmdStatus,         kCmdKeySignature, kCmdLogout,    kCmdChallenge, kCmdCardInfo, kCmdLogin,
    kCmdChangePassword, kCmdPrepareCard,  kCmdWriteFile, kCmdReadFile,  kCmdEraseCard};

struct FaultName {
  FaultKind kind;
  const char* name;
};
constexpr FaultName kFaultNames[] = {
    {FaultKind::DropBefore, "drop-before"},
    {FaultKind::DropAfter, "drop-after"},
    {FaultKind::CardLeave, "card-leave"},
    {FaultKind::CardSwap, "card-swap"},
    {FaultKind::Stall, "stall"},
    {FaultKind::Delay, "delay"},
    {FaultKind::AnswerTwice, "twice"},
    {FaultKind::WrongLength, "wrong-length"},
    {FaultKind::Garbage, "garbage"},
};

uint8_t CardByte(const Summary& s) {
  return s.payload.size() > wire::kCardInfoTypeAndStateAt ? s.payload[wire::kCardInfoTypeAndStateAt]
                                                          : 0;
}

// "desfire empty" and the like, for a card-info reply.
std::string CardKindLine(uint8_t typeAndContent) {
  const unsigned type = typeAndContent >> 2;
  const unsigned content = typeAndContent & 3u;
  if (type != kCardTypeDesfire) return Format("type %u", type);
  switch (content) {
    case kContentEmpty: return "desfire empty";
    case kContentPrepared: return "desfire prepared";
    case kContentFile: return "desfire programmed";
    default: return Format("desfire content %u", content);
  }
}

std::string CardKindSentence(uint8_t typeAndContent) {
  const unsigned type = typeAndContent >> 2;
  const unsigned content = typeAndContent & 3u;
  if (type != kCardTypeDesfire) return "karta innego typu";
  switch (content) {
    case kContentEmpty: return "DESFire, pusta";
    case kContentPrepared: return "DESFire, przygotowana";
    default: return "DESFire, z danymi";
  }
}

std::string NumbersLine(const std::pair<int32_t, int32_t>& n) {
  return "dep " + std::to_string(n.first) + " idx " + std::to_string(n.second);
}

std::string NumbersSentence(const std::pair<int32_t, int32_t>& n) {
  return "wydział " + std::to_string(n.first) + ", index " + std::to_string(n.second);
}

std::string ReplyLine(const Summary& s) {
  switch (s.reply) {
    case Summary::Reply::None: return "no reply";
    case Summary::Reply::Garbage: return "garbage";
    case Summary::Reply::Status:
      if (s.status == kStatusOk) return s.command == kCmdLogin ? "accepted" : "ok";
      if (s.command == kCmdCardInfo && s.status == kStatusNoCard) return "no card";
      return Format("refused %02X", s.status);
    case Summary::Reply::Data: break;
  }
  if (s.command == kCmdStatus && s.payload.size() == wire::kStatusReplySize) {
    return Format("word 0x%04X", GetLe16(&s.payload[wire::kStatusWordAt]));
  }
  if (s.command == kCmdKeySignature && s.payload.size() == wire::kKeySignatureSize) {
    return HexWord32(GetLe32(s.payload.data()));
  }
  if (s.command == kCmdChallenge && s.payload.size() == kChallengeSize) return "challenge";
  if (s.command == kCmdLogin && s.payload.size() == wire::kLoginReplySize) return "accepted";
  if (s.command == kCmdCardInfo && s.uid && s.payload.size() == wire::kCardInfoReplySize) {
    return "card " + UidText(*s.uid) + " " + CardKindLine(CardByte(s));
  }
  if (s.command == kCmdReadFile && s.uid && s.numbers) {
    return "card " + UidText(*s.uid) + " " + NumbersLine(*s.numbers);
  }
  return std::to_string(s.payload.size()) + " bytes";
}

std::string ReplySentence(const Summary& s) {
  switch (s.reply) {
    case Summary::Reply::None: return "brak odpowiedzi";
    case Summary::Reply::Garbage: return "odpowiedź nieczytelna";
    case Summary::Reply::Status:
      if (s.status == kStatusOk) {
        if (s.command == kCmdLogin) return "przyjęte";
        if (s.command == kCmdChangePassword) return "przyjęta";
        return "ok";
      }
      if (s.command == kCmdCardInfo && s.status == kStatusNoCard) return "brak karty";
      if (s.command == kCmdLogin) return Format("odrzucone (kod %02X)", s.status);
      if (s.command == kCmdChangePassword) return Format("odrzucona (kod %02X)", s.status);
      return Format("odmowa (kod %02X)", s.status);
    case Summary::Reply::Data: break;
  }
  if (s.command == kCmdStatus && s.payload.size() == wire::kStatusReplySize) {
    return Format("słowo statusu 0x%04X", GetLe16(&s.payload[wire::kStatusWordAt]));
  }
  if (s.command == kCmdKeySignature && s.payload.size() == wire::kKeySignatureSize) {
    return HexWord32(GetLe32(s.payload.data()));
  }
  if (s.command == kCmdChallenge && s.payload.size() == kChallengeSize) return "otrzymane";
  if (s.command == kCmdLogin && s.payload.size() == wire::kLoginReplySize) return "przyjęte";
  if (s.command == kCmdCardInfo && s.uid && s.payload.size() == wire::kCardInfoReplySize) {
    return CardKindSentence(CardByte(s)) + ", UID " + UidText(*s.uid);
  }
  if (s.command == kCmdReadFile && s.uid && s.numbers) {
    return "karta " + UidText(*s.uid) + ", " + NumbersSentence(*s.numbers);
  }
  return std::to_string(s.payload.size()) + " bajtów";
}

}  // namespace

std::string UidText(const std::array<uint8_t, 8>& uid) { return HexText(uid); }

std::optional<uint8_t> CommandOf(const std::string& word) {
  if (word.size() == 4 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    const int high = HexDigitValue(word[2]);
    const int low = HexDigitValue(word[3]);
    if (high >= 0 && low >= 0) return static_cast<uint8_t>(high << 4 | low);
  }
  for (uint8_t command : kKnownCommands) {
    const std::string name = CommandName(command);
    if (word == name) return command;
  }
  // Short names for the commands a test aims at most.
  if (word == "info") return kCmdCardInfo;
  if (word == "prepare") return kCmdPrepareCard;
  if (word == "write") return kCmdWriteFile;
  if (word == "read") return kCmdReadFile;
  if (word == "erase") return kCmdEraseCard;
  if (word == "change") return kCmdChangePassword;
  return std::nullopt;
}

std::string CommandText(uint8_t command) {
  const char* name = CommandName(command);
  return name != nullptr ? std::string(name) : Format("0x%02X", command);
}

const char* FaultKindName(FaultKind kind) {
  for (const FaultName& entry : kFaultNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

std::optional<FaultKind> FaultKindOf(const std::string& word) {
  for (const FaultName& entry : kFaultNames) {
    if (word == entry.name) return entry.kind;
  }
  return std::nullopt;
}

std::string FaultText(const FirmwareFault& fault) {
  std::string text = FaultKindName(fault.kind);
  if (fault.kind == FaultKind::Delay) text += ' ' + std::to_string(fault.delayMs);
  return text + ' ' + CommandText(fault.command) + ' ' + std::to_string(fault.nth);
}

Summary Summarise(std::span<const uint8_t> request, const std::vector<InTransfer>& replies) {
  Summary s;
  s.size = request.size();
  const auto frame = DecodeFrame(request);
  if (frame) {
    s.framed = true;
    s.command = frame->command;
    const std::span<const uint8_t> p = frame->payload;
    switch (s.command) {
      case kCmdPrepareCard:
        if (p.size() == wire::kCardHeaderSize) s.uid = UidAt(p, wire::kCardUidAt);
        break;
      case kCmdWriteFile:
        if (p.size() >= wire::kCardHeaderSize) {
          s.uid = UidAt(p, wire::kCardUidAt);
          s.numbers = NumbersAt(p, wire::kCardDataAt);
        }
        break;
      case kCmdEraseCard:
        if (p.size() == wire::kEraseRequestSize) s.uid = UidAt(p, wire::kEraseUidAt);
        break;
      default: break;
    }
  }
  // Only the first IN transfer counts: that is the one the tool takes as the reply.
  if (replies.empty()) return s;
  const auto reply = DecodeFrame(replies.front().bytes);
  if (!reply || reply->payload.empty()) {
    s.reply = Summary::Reply::Garbage;
    return s;
  }
  if (reply->payload.size() == 1) {
    s.reply = Summary::Reply::Status;
    s.status = reply->payload[0];
    return s;
  }
  s.reply = Summary::Reply::Data;
  s.payload.assign(reply->payload.begin(), reply->payload.end());
  if (s.command == kCmdCardInfo && s.payload.size() == wire::kCardInfoReplySize) {
    s.uid = UidAt(s.payload, wire::kCardInfoUidAt);
  }
  if (s.command == kCmdReadFile && s.payload.size() == wire::kReadReplyDataAt + kCardFileSize) {
    s.uid = UidAt(s.payload, wire::kReadReplyUidAt);
    s.numbers = NumbersAt(s.payload, wire::kReadReplyDataAt);
  }
  return s;
}

std::string RequestLine(const RequestSummary& s) {
  if (!s.framed) return "- garbage " + std::to_string(s.size) + " bytes -> " + ReplyLine(s);
  std::string line(1, s.command > 0x20 && s.command < 0x7F ? static_cast<char>(s.command) : '?');
  const char* name = CommandName(s.command);
  line += name != nullptr ? std::string(" ") + name : Format(" unknown 0x%02X", s.command);
  const bool cardInRequest =
      s.command == kCmdPrepareCard || s.command == kCmdWriteFile || s.command == kCmdEraseCard;
  if (cardInRequest && s.uid) line += " card " + UidText(*s.uid);
  if (s.command == kCmdWriteFile && s.numbers) line += ' ' + NumbersLine(*s.numbers);
  return line + " -> " + ReplyLine(s);
}

std::string RequestSentence(const RequestSummary& s) {
  if (!s.framed) {
    return "Nieprawidłowa ramka (" + std::to_string(s.size) + " bajtów): " + ReplySentence(s);
  }
  std::string what;
  const std::string card = s.uid ? ' ' + UidText(*s.uid) : std::string();
  switch (s.command) {
    case kCmdStatus: what = "Odczyt statusu"; break;
    case kCmdKeySignature: what = "Odczyt sygnatury kluczy"; break;
    case kCmdLogout: what = "Wylogowanie"; break;
    case kCmdChallenge: what = "Pobranie wyzwania logowania"; break;
    case kCmdCardInfo: what = "Odczyt karty w polu"; break;
    case kCmdLogin: what = "Logowanie"; break;
    case kCmdChangePassword: what = "Zmiana hasła"; break;
    case kCmdPrepareCard: what = "Przygotowanie karty" + card; break;
    case kCmdWriteFile:
      what = "Programowanie karty" + card;
      if (s.numbers) what += ", " + NumbersSentence(*s.numbers);
      break;
    case kCmdReadFile: what = "Odczyt pliku z karty"; break;
    case kCmdEraseCard: what = "Kasowanie karty" + card; break;
    default: what = Format("Nieznany rozkaz 0x%02X", s.command); break;
  }
  return what + ": " + ReplySentence(s);
}

bool IsPollCommand(const RequestSummary& s) {
  return s.framed && (s.command == kCmdStatus || s.command == kCmdKeySignature);
}

}  // namespace kp::sim
