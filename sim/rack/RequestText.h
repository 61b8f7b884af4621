// What the tool asked a virtual programmer and what it got, taken apart from the request
// transfer and the firmware's reply, for the simulator's event lines and its control window.
#pragma once

#include "platform/virtual/VirtualBus.h"
#include "sim/firmware/VirtualKpR50.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kp::sim {

struct RequestSummary {
  enum class Reply {
    None,     // the firmware said nothing
    Garbage,  // it answered with something that is no frame
    Status,   // one status byte
    Data,     // a longer payload
  };

  bool framed = false;  // the request was one good frame
  size_t size = 0;      // bytes of the request transfer
  uint8_t command = 0;
  // The card a card command names, or the one a card-info or read-file reply reports.
  std::optional<std::array<uint8_t, 8>> uid;
  // Department and index written by write-file or read back by read-file.
  std::optional<std::pair<int32_t, int32_t>> numbers;
  Reply reply = Reply::None;
  uint8_t status = 0;            // Reply::Status
  std::vector<uint8_t> payload;  // the reply's payload, Reply::Data
};

RequestSummary Summarise(std::span<const uint8_t> request, const std::vector<InTransfer>& replies);

// The event line's part after "cmd <n> ": "<letter> <name>[ <details>] -> <reply>", e.g.
// "P write-file card 04A1B2C3D4E5F600 dep 12 idx 7 -> ok". See sim/process/main.cpp for the list.
std::string RequestLine(const RequestSummary& summary);

// The same for the operator, in Polish (UTF-8): "Programowanie karty 04A1… wydział 12,
// index 7: ok".
std::string RequestSentence(const RequestSummary& summary);

// The commands the tool's 250 ms poll sends over and over; the window does not log them.
bool IsPollCommand(const RequestSummary& summary);

// A command as the event lines name it ("prepare-card"), or by a short name ("prepare"),
// or its byte ("0x70"); nullopt for anything else.
std::optional<uint8_t> CommandOf(const std::string& word);
// The event lines' name of a command byte, or "0xHH" for one the firmware does not know.
std::string CommandText(uint8_t command);

// Fault kinds as the headless commands name them: drop-before, drop-after, card-leave,
// card-swap, stall, delay, twice, wrong-length, garbage.
const char* FaultKindName(FaultKind kind);
std::optional<FaultKind> FaultKindOf(const std::string& word);
// "drop-after write-file 2" or "delay 3000 read-file 1": kind, [ms,] command, occurrence.
std::string FaultText(const FirmwareFault& fault);

// Eight bytes as 16 upper-case hexadecimal digits, as the tool shows a UID.
std::string UidText(const std::array<uint8_t, 8>& uid);

}  // namespace kp::sim
