// kpnox-cli's commands on a platform: each opens the programmer as the window links it
// (logged out, a second programmer refused), runs the window's guards with its texts, does
// its work, and logs the programmer out and closes it however it ends, a stop request
// (Ctrl+C, SIGTERM) included. Records go to `out`, messages for people to `err`.
#pragma once

#include "cli/CliOptions.h"
#include "cli/CardList.h"
#include "cli/Records.h"
#include "platform/UsbPlatform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kp {

enum ExitCode : int {
  kExitDone = 0,
  kExitNotDone = 1,  // a card refused, a guard failed, a row of a batch not done
  kExitUsage = 2,
  kExitNoProgrammer = 3,  // none there, held by another program, or the link failed
  kExitLoginRefused = 4,
  kExitChangePassword = 5,
  kExitRecordLost = 6,  // a record could not be written: the command stopped before the next card
  kExitNoUsableProgrammer = 7,  // doctor: no real programmer can be used; the report says why
};

// How often the field is asked for a card while one is awaited.
inline constexpr uint32_t kCardPollMs = 250;

// A password as typed (UTF-16), asked for with `prompt`; nullopt when none came (end of
// input, a stop request, a terminal that could not be read).
using PasswordSource = std::function<std::optional<std::u16string>(const char* prompt)>;

struct CliContext {
  UsbPlatform& platform;
  std::ostream& out;      // status
  RecordWriter& records;  // every card's record (opened, not yet begun)
  std::ostream& err;      // messages for people
  PasswordSource password;
  bool confirmNewPassword;  // passwd asks for the new password twice (a terminal)
  const std::atomic<bool>& stop;
  std::function<std::string()> clock;  // record time stamps
  bool quiet = false;                  // no progress line per card on `err`
};

// status, login, passwd, program, read, erase; batch from `rows` (the list already read and
// checked, or the range of the options). Help and version are the caller's.
int RunCliCommand(const CliOptions& options, const std::vector<CardRow>& rows, CliContext& context);

// The rows of `batch --department D --first-index I --count N`.
std::vector<CardRow> RangeRows(const CliOptions& options);

}  // namespace kp
