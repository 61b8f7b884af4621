#include "sim/RequestText.h"

#include "link/KpWUsbBulkD.h"
#include "sim/Frames.h"
#include "sim/VirtualKpR50.h"

#include <cstdio>

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

int32_t Le32(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return static_cast<int32_t>(value);
}

// The card file's two numbers, when `bytes` from `offset` on is a whole card file.
std::optional<std::pair<int32_t, int32_t>> NumbersAt(std::span<const uint8_t> bytes,
                                                     size_t offset) {
  if (bytes.size() != offset + kFileSize) return std::nullopt;
  return std::make_pair(Le32(bytes, offset), Le32(bytes, offset + 4));
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

uint8_t CardByte(const Summary& s) { return s.payload.size() > 8 ? s.payload[8] : 0; }

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
  if (s.command == kCmdStatus && s.payload.size() == 8) {
    return Format("word 0x%04X", static_cast<unsigned>(s.payload[6] | s.payload[7] << 8));
  }
  if (s.command == kCmdKeySignature && s.payload.size() == 4) {
    return Format("%08X", static_cast<unsigned>(Le32(s.payload, 0)));
  }
  if (s.command == kCmdChallenge && s.payload.size() == kChallengeSize) return "challenge";
  if (s.command == kCmdLogin && s.payload.size() == 4) return "accepted";
  if (s.command == kCmdCardInfo && s.uid && s.payload.size() == 16) {
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
  if (s.command == kCmdStatus && s.payload.size() == 8) {
    return Format("słowo statusu 0x%04X", static_cast<unsigned>(s.payload[6] | s.payload[7] << 8));
  }
  if (s.command == kCmdKeySignature && s.payload.size() == 4) {
    return Format("%08X", static_cast<unsigned>(Le32(s.payload, 0)));
  }
  if (s.command == kCmdChallenge && s.payload.size() == kChallengeSize) return "otrzymane";
  if (s.command == kCmdLogin && s.payload.size() == 4) return "przyjęte";
  if (s.command == kCmdCardInfo && s.uid && s.payload.size() == 16) {
    return CardKindSentence(CardByte(s)) + ", UID " + UidText(*s.uid);
  }
  if (s.command == kCmdReadFile && s.uid && s.numbers) {
    return "karta " + UidText(*s.uid) + ", " + NumbersSentence(*s.numbers);
  }
  return std::to_string(s.payload.size()) + " bajtów";
}

}  // namespace

std::string UidText(const std::array<uint8_t, 8>& uid) {
  std::string text;
  for (uint8_t b : uid) text += Format("%02X", b);
  return text;
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
        if (p.size() == 1 + kUidSize) s.uid = UidAt(p, 1);
        break;
      case kCmdWriteFile:
        if (p.size() >= 1 + kUidSize) {
          s.uid = UidAt(p, 1);
          s.numbers = NumbersAt(p, 1 + kUidSize);
        }
        break;
      case kCmdEraseCard:
        if (p.size() == kUidSize) s.uid = UidAt(p, 0);
        break;
      default:
        break;
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
  if (s.command == kCmdCardInfo && s.payload.size() == 16) s.uid = UidAt(s.payload, 0);
  if (s.command == kCmdReadFile && s.payload.size() == kUidSize + kFileSize) {
    s.uid = UidAt(s.payload, 0);
    s.numbers = NumbersAt(s.payload, kUidSize);
  }
  return s;
}

std::string RequestLine(const RequestSummary& s) {
  if (!s.framed) return "- garbage " + std::to_string(s.size) + " bytes -> " + ReplyLine(s);
  std::string line(1, s.command > 0x20 && s.command < 0x7F ? static_cast<char>(s.command) : '?');
  const char* name = CommandName(s.command);
  line += name != nullptr ? std::string(" ") + name : Format(" unknown 0x%02X", s.command);
  const bool cardInRequest = s.command == kCmdPrepareCard || s.command == kCmdWriteFile ||
                             s.command == kCmdEraseCard;
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
