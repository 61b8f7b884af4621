// kpnox-cli's commands on one operator session: the class the command files share. Only
// CliRun.cpp (link, login, password, status) and CliCards.cpp (the card commands) use it.
#pragma once

#include "cli/CliRun.h"
#include "codepage/PasswordCodePage.h"
#include "session/OperatorSession.h"

#include <cstdint>
#include <string>

namespace kp::clirun {

// The window's password rule, counted in UTF-16 code units like its boxes.
inline constexpr auto kMaxLength = static_cast<size_t>(kPasswordMaxLength);
inline constexpr auto kNewMinLength = static_cast<size_t>(kNewPasswordMinLength);
// A programmer lost in a batch is linked again within this many polls, or the batch stops.
inline constexpr int kRelinkPolls = 16;

using CardEnd = CardOutcome::End;
using PasswordEnd = PasswordOutcome::End;

std::string UidHex(const uint8_t uid[kUidSize]);

// The link failed and could not be had back: the command ends with kExitNoProgrammer.
struct LinkFailed {};
// A record could not be written: the command ends with kExitRecordLost.
struct RecordLost {};

class Command {
 public:
  explicit Command(CliContext& context);
  // Logs out and closes, however the command ended; the kept key is wiped.
  ~Command();
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  int Run(const CliOptions& options, const std::vector<CardRow>& rows);

 private:
  // The window's link of a fresh programmer: the only one there, logged out, status and
  // signature read.
  int Open();
  // Runs `step`; a link failure drops the connection and becomes LinkFailed.
  template <typename Step>
  auto Guarded(Step step) -> decltype(step()) {
    try {
      return step();
    } catch (...) {
      s_.Drop();
      throw LinkFailed{};
    }
  }
  // A guard's refusal told, as an exit code.
  int Refused(Guard guard);
  // The password asked for, as a key; kExitDone when `key` holds it.
  int AskKey(const char* prompt, uint8_t key[kKeySize], std::u16string* typed = nullptr);
  // Asks for the password and logs in; the key is kept for logging in again after a lost
  // link (a batch), and wiped when the command ends.
  int LogIn();
  // The guards of a card operation; a programmer linked again in between is logged in again.
  int Ready();
  int LoginThenReady();
  // Links the programmer again after a lost link and logs in; false when it cannot be had
  // back within kRelinkPolls polls, or the login is no longer taken.
  bool Relink();

  int Status(bool json);
  int Login();
  int Passwd();
  int SingleCard(const CliOptions& options);
  int ReadWait();
  int Batch(const std::vector<CardRow>& rows);

  // Polls the field every kCardPollMs until a card is there; false when stopped first.
  bool AwaitCard();
  // Polls until the field holds no card or another one than `uid`; false when stopped first.
  bool AwaitLeave(const uint8_t uid[kUidSize]);
  // After an outcome the programmer did not answer for: the programmer linked again and the
  // card read back, if it is still in the field. The record's result says what it holds.
  CardRecord Resolve(const CardOutcome& outcome, const CardRow* row);
  // The record of one outcome, with the row's numbers (for a read: the numbers read); a
  // refusal's message is said on err.
  CardRecord RecordOf(const CardOutcome& outcome, const CardRow* row);
  // A read's record: the numbers only when they were read.
  CardRecord ReadRecordOf(const CardOutcome& outcome);
  void Write(const CardRecord& record, bool progress);

  CliContext& c_;
  OperatorSession s_;
  KpR50& r50_;
  uint8_t key_[kKeySize] = {};
  bool haveKey_ = false;
};

}  // namespace kp::clirun
