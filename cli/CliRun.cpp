#include "cli/CliRun.h"

#include "codepage/PasswordCodePage.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "link/Tracecom.h"
#include "platform/NumberText.h"
#include "programmer/OperatorTexts.h"
#include "session/OperatorSession.h"

#include <cstring>

namespace kp {

namespace {

// The window's password rule, counted in UTF-16 code units like its boxes.
constexpr auto kMaxLength = static_cast<size_t>(kPasswordMaxLength);
constexpr auto kNewMinLength = static_cast<size_t>(kNewPasswordMinLength);
// A programmer lost in a batch is linked again within this many polls, or the batch stops.
constexpr int kRelinkPolls = 16;

using CardEnd = CardOutcome::End;
using PasswordEnd = PasswordOutcome::End;

std::string UidHex(const uint8_t uid[kUidSize]) { return HexText({uid, kUidSize}); }

// The link failed and could not be had back: the command ends with kExitNoProgrammer.
struct LinkFailed {};
// A record could not be written: the command ends with kExitRecordLost.
struct RecordLost {};

class Command {
 public:
  explicit Command(CliContext& context)
      : c_(context), s_(context.platform, traceSink), r50_(s_.Programmer()) {}
  ~Command() {
    s_.End();
    SecureWipe(key_, sizeof key_);
  }
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

int Command::Open() {
  switch (s_.Poll()) {
    case PollResult::Linked:
      return kExitDone;
    case PollResult::TwoProgrammers:
      c_.err << kTwoProgrammersText << '\n';
      return kExitNoProgrammer;
    case PollResult::NoProgrammer: {
      bool any = false;
      for (const UnreachableDevice& device : c_.platform.UnreachableDevices()) {
        c_.err << UnreachableReason(device) << '\n';
        any = true;
      }
      if (!any) c_.err << kNoProgrammerText << '\n';
      return kExitNoProgrammer;
    }
    case PollResult::StatusRead:
    case PollResult::Dropped:
      break;
  }
  c_.err << kNoConnectionText << '\n';
  return kExitNoProgrammer;
}

int Command::Refused(Guard guard) {
  c_.err << GuardText(guard) << '\n';
  switch (guard) {
    case Guard::NoConnection: return kExitNoProgrammer;
    case Guard::ForcedChange: return kExitChangePassword;
    default: return kExitNotDone;
  }
}

int Command::AskKey(const char* prompt, uint8_t key[kKeySize], std::u16string* typed) {
  std::optional<std::u16string> password = c_.password(prompt);
  if (!password) {
    if (c_.stop) return kExitNotDone;
    c_.err << "brak hasła / no password\n";
    return kExitUsage;
  }
  const WipeOnExit wipePassword(password->data(), password->size() * sizeof(char16_t));
  if (password->size() > kMaxLength) {
    c_.err << "hasło dłuższe niż 20 znaków / the password is longer than 20 characters\n";
    return kExitUsage;
  }
  std::string text = PasswordTo8Bit(*password);
  const WipeOnExit wipeText(text.data(), text.size());
  DerivePasswordKey(kUserIdentity, text.c_str(), key);
  if (typed != nullptr) *typed = *password;
  return kExitDone;
}

int Command::LogIn() {
  if (const Guard g = s_.CheckKeysAndPassword(); g != Guard::Passed) return Refused(g);
  if (const int rc = AskKey("Hasło / password: ", key_); rc != kExitDone) return rc;
  haveKey_ = true;
  const PasswordOutcome outcome = s_.Login(key_);
  if (outcome.end == PasswordEnd::Refused) {
    c_.err << outcome.refusal << '\n';
    return kExitLoginRefused;
  }
  if (outcome.end == PasswordEnd::LinkFailed) throw LinkFailed{};
  return kExitDone;
}

bool Command::Relink() {
  for (int poll = 0; poll < kRelinkPolls && !c_.stop; ++poll) {
    if (s_.Connected() || s_.Poll() == PollResult::Linked) {
      if ((r50_.statusWord & kStatusLoggedIn) != 0) return true;
      if (!haveKey_ || s_.CheckKeysAndPassword() != Guard::Passed) return false;
      const PasswordOutcome outcome = s_.Login(key_);
      if (outcome.end == PasswordEnd::Done) return true;
      if (outcome.end == PasswordEnd::Refused) return false;
    }
    c_.platform.Sleep(kCardPollMs);
  }
  return false;
}

int Command::Ready() {
  Guard guard = s_.CheckCardReady();
  if (guard == Guard::NoConnection || (guard == Guard::NotLoggedIn && haveKey_)) {
    if (!Relink()) throw LinkFailed{};
    guard = s_.CheckCardReady();
  }
  return guard == Guard::Passed ? kExitDone : Refused(guard);
}

int Command::LoginThenReady() {
  if (const int rc = LogIn(); rc != kExitDone) return rc;
  return Ready();
}

int Command::Run(const CliOptions& options, const std::vector<CardRow>& rows) {
  if (const int rc = Open(); rc != kExitDone) return rc;
  try {
    switch (options.command) {
      case CliCommand::Status:
        return Status(options.json);
      case CliCommand::Login:
        return Login();
      case CliCommand::Passwd:
        return Passwd();
      case CliCommand::Program:
      case CliCommand::Erase:
        return SingleCard(options);
      case CliCommand::Read:
        return options.wait ? ReadWait() : SingleCard(options);
      case CliCommand::Batch:
        return Batch(rows);
      case CliCommand::Help:
      case CliCommand::Version:
        break;
    }
    return kExitUsage;
  } catch (const LinkFailed&) {
    c_.err << kNoConnectionText << '\n';
    return kExitNoProgrammer;
  } catch (const RecordLost&) {
    c_.err << "kpnox-cli: nie można zapisać rekordu / cannot write the record: "
           << c_.records.Error() << '\n';
    return kExitRecordLost;
  }
}

int Command::Status(bool json) {
  const bool card = Guarded([&] { return r50_.ReadCardInfo(); });
  const uint16_t status = r50_.statusWord;
  const bool keys = KeysLoaded(status);
  const char* keyWord = !keys                                  ? "none"
                        : (status & kStatusTemporaryKeys) != 0 ? "temporary"
                                                               : "target";
  const std::string signature = keys ? HexWord32(r50_.keySignature) : std::string();
  const char* password = (status & kStatusNoUserPassword) != 0  ? "none"
                         : (status & kStatusAdminPassword) != 0 ? "administrator"
                                                                : "user";
  const char* loggedIn = (status & kStatusLoggedIn) != 0 ? "yes" : "no";
  const char* cardWord = !card                                        ? "none"
                         : r50_.cardInfo.cardType != kCardTypeDesfire ? "other"
                         : r50_.cardInfo.contentState == 0            ? "desfire-empty"
                                                                      : "desfire-data";
  const std::string uid = card ? UidHex(r50_.cardInfo.uid) : std::string();
  if (json) {
    auto text = [](const std::string& s) {
      return s.empty() ? std::string("null") : "\"" + s + "\"";
    };
    c_.out << "{\"programmer\":" << r50_.programmerNumber
           << ",\"firmware\":" << r50_.firmwareVersion << ",\"keys\":\"" << keyWord
           << "\",\"signature\":" << text(signature) << ",\"password\":\"" << password
           << "\",\"logged_in\":" << (loggedIn[0] == 'y' ? "true" : "false") << ",\"card\":\""
           << cardWord << "\",\"uid\":" << text(uid) << "}\n";
  } else {
    c_.out << "programmer: " << r50_.programmerNumber << "\nfirmware: " << r50_.firmwareVersion
           << "\nkeys: " << keyWord << "\nsignature: " << (keys ? signature : "--------")
           << "\npassword: " << password << "\nlogged-in: " << loggedIn << "\ncard: " << cardWord
           << "\nuid: " << uid << '\n';
  }
  c_.out.flush();
  return kExitDone;
}

int Command::Login() {
  if (const int rc = LogIn(); rc != kExitDone) return rc;
  c_.err << kLoggedInText << '\n';
  // The administrator's password must give way to the user's before anything else.
  if (s_.CheckNoForcedChange() != Guard::Passed) return Refused(Guard::ForcedChange);
  return kExitDone;
}

int Command::Passwd() {
  if (const Guard g = s_.CheckKeysAndPassword(); g != Guard::Passed) return Refused(g);
  uint8_t oldKey[kKeySize] = {};
  uint8_t newKey[kKeySize] = {};
  uint8_t repeatedKey[kKeySize] = {};
  const WipeOnExit wipeOld(oldKey, sizeof oldKey);
  const WipeOnExit wipeNew(newKey, sizeof newKey);
  const WipeOnExit wipeRepeated(repeatedKey, sizeof repeatedKey);
  std::u16string oldText;
  std::u16string newText;
  std::u16string repeatedText;
  int rc = AskKey("Stare hasło / old password: ", oldKey, &oldText);
  if (rc == kExitDone) rc = AskKey("Nowe hasło / new password: ", newKey, &newText);
  // Typed at a terminal, the new password is typed twice, as in the change dialog.
  if (rc == kExitDone && c_.confirmNewPassword) {
    rc = AskKey("Powtórz nowe hasło / repeat the new password: ", repeatedKey, &repeatedText);
  }
  const bool oldLengthOk = oldText.size() >= kNewMinLength;
  const bool repeated = !c_.confirmNewPassword || repeatedText == newText;
  const std::optional<std::string> refusal = OperatorSession::NewPasswordRefusal(newText);
  for (std::u16string* s : {&oldText, &newText, &repeatedText}) {
    SecureWipe(s->data(), s->size() * sizeof(char16_t));
  }
  if (rc != kExitDone) return rc;
  if (!repeated) {
    c_.err << "nowe hasła różnią się / the new passwords differ\n";
    return kExitUsage;
  }
  if (!oldLengthOk) {
    c_.err << "hasła muszą mieć 8..20 znaków / passwords must have 8..20 characters\n";
    return kExitUsage;
  }
  if (refusal) {
    c_.err << *refusal << "\n(the new password cannot be set as typed)\n";
    return kExitUsage;
  }
  const PasswordOutcome outcome = s_.ChangePassword(oldKey, newKey);
  if (outcome.end == PasswordEnd::LinkFailed) throw LinkFailed{};
  if (outcome.end == PasswordEnd::Refused) {
    c_.err << outcome.refusal << '\n';
    return kExitLoginRefused;
  }
  c_.err << kPasswordChangedText << '\n';
  return kExitDone;
}

CardRecord Command::RecordOf(const CardOutcome& outcome, const CardRow* row) {
  if (outcome.end == CardEnd::Uncertain) return Resolve(outcome, row);
  CardRecord record;
  if (row != nullptr) {
    record.department = row->department;
    record.index = row->index;
    record.line = row->line;
  }
  if (outcome.card) record.uid = UidHex(outcome.card->uid);
  record.result = ResultWord(outcome.result);
  if (outcome.result != kCardOk) c_.err << CardResultText(outcome.result) << '\n';
  return record;
}

CardRecord Command::ReadRecordOf(const CardOutcome& outcome) {
  const CardRow numbers{outcome.department, outcome.index, 0};
  return RecordOf(outcome, outcome.end == CardEnd::Done ? &numbers : nullptr);
}

CardRecord Command::Resolve(const CardOutcome& outcome, const CardRow* row) {
  CardRecord record;
  if (row != nullptr) {
    record.department = row->department;
    record.index = row->index;
    record.line = row->line;
  }
  record.result = kResultUnknown;
  if (!outcome.card) return record;
  record.uid = UidHex(outcome.card->uid);
  c_.err << kNoConnectionText << '\n';
  if (!Relink()) return record;
  const CardOutcome back = s_.Read();
  if (!back.card || std::memcmp(back.card->uid, outcome.card->uid, kUidSize) != 0) {
    return record;  // the card has left: nobody can say what it holds
  }
  if (back.card->cardType != kCardTypeDesfire) return record;
  if (back.card->contentState == 0) {
    record.result = kResultBlank;
  } else if (back.end != CardEnd::Done) {
    // A card prepared but not written holds no file to read.
    if (back.card->contentState == 1) record.result = kResultPrepared;
  } else if (row == nullptr) {
    // Erase: anything on the card means the erase did not happen.
    record.result = ResultWord(kCardEraseFailed);
  } else {
    const bool holdsRow = back.department == row->department && back.index == row->index;
    record.result = holdsRow ? ResultWord(kCardOk) : ResultWord(kCardHoldsData);
  }
  return record;
}

void Command::Write(const CardRecord& record, bool progress) {
  CardRecord stamped = record;
  stamped.time = c_.clock();
  if (!c_.records.Write(stamped)) throw RecordLost{};
  if (progress && !c_.quiet) {
    c_.err << "wiersz / line " << record.line << ": " << (record.uid.empty() ? "-" : record.uid)
           << ' ' << record.result << '\n';
  }
}

int Command::SingleCard(const CliOptions& options) {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  if (!c_.records.Begin()) throw RecordLost{};
  CardOutcome outcome;
  std::optional<CardRow> row;
  if (options.command == CliCommand::Program) {
    row = CardRow{options.department, options.index, 0};
    outcome = s_.Program(options.department, options.index);
  } else if (options.command == CliCommand::Read) {
    outcome = s_.Read();
    if (outcome.end == CardEnd::Done) row = CardRow{outcome.department, outcome.index, 0};
  } else {
    outcome = s_.Erase();
  }
  if (outcome.end == CardEnd::LinkFailed) throw LinkFailed{};
  const CardRecord record = RecordOf(outcome, row ? &*row : nullptr);
  Write(record, false);
  const bool erased = options.command == CliCommand::Erase &&
                      (outcome.end == CardEnd::Done || record.result == kResultBlank);
  if (erased) c_.err << kCardErasedText << '\n';
  if (record.result == ResultWord(kCardOk) || erased) return kExitDone;
  return outcome.end == CardEnd::Uncertain && !s_.Connected() ? kExitNoProgrammer
                                                               : kExitNotDone;
}

bool Command::AwaitCard() {
  while (!c_.stop) {
    bool card = false;
    try {
      card = Guarded([&] { return r50_.ReadCardInfo(); });
    } catch (const LinkFailed&) {
      if (!Relink()) throw;
    }
    if (card) return true;
    c_.platform.Sleep(kCardPollMs);
  }
  return false;
}

bool Command::AwaitLeave(const uint8_t uid[kUidSize]) {
  while (!c_.stop) {
    bool card = true;
    try {
      card = Guarded([&] { return r50_.ReadCardInfo(); });
    } catch (const LinkFailed&) {
      if (!Relink()) throw;
      continue;
    }
    if (!card || std::memcmp(r50_.cardInfo.uid, uid, kUidSize) != 0) return true;
    c_.platform.Sleep(kCardPollMs);
  }
  return false;
}

int Command::ReadWait() {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  if (!c_.records.Begin()) throw RecordLost{};
  bool refused = false;
  while (AwaitCard()) {
    if (const int rc = Ready(); rc != kExitDone) return rc;
    const CardOutcome outcome = s_.Read();
    if (outcome.end == CardEnd::LinkFailed) {
      if (!Relink()) throw LinkFailed{};
      continue;
    }
    if (outcome.result == kCardNoCard) continue;  // gone between the two questions
    Write(ReadRecordOf(outcome), false);
    refused = refused || outcome.result != kCardOk;
    if (outcome.card && !AwaitLeave(outcome.card->uid)) break;
  }
  return refused ? kExitNotDone : kExitDone;
}

int Command::Batch(const std::vector<CardRow>& rows) {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  if (!c_.records.Begin()) throw RecordLost{};
  size_t done = 0;
  int rc = kExitDone;
  try {
    for (size_t at = 0; at < rows.size() && !c_.stop && rc == kExitDone; ++at) {
      const CardRow& row = rows[at];
      while (AwaitCard()) {
        rc = Ready();
        if (rc != kExitDone) break;
        const CardOutcome outcome = s_.Program(row.department, row.index);
        if (outcome.end == CardEnd::LinkFailed) {
          // Nothing reached the card: the same card is asked for again.
          if (!Relink()) throw LinkFailed{};
          continue;
        }
        if (outcome.end != CardEnd::Uncertain && outcome.result == kCardNoCard) {
          continue;  // gone between the two questions
        }
        const CardRecord record = RecordOf(outcome, &row);
        Write(record, true);
        const bool ok = record.result == ResultWord(kCardOk);
        if (ok) ++done;
        // A card nobody could read may hold the row: the row goes on no other card.
        const bool rowClosed = ok || record.result == kResultUnknown;
        if (record.result == kResultUnknown && !s_.Connected()) throw LinkFailed{};
        // The next row takes another card; the last one needs none.
        if (rowClosed && at + 1 == rows.size()) break;
        if (!outcome.card || !AwaitLeave(outcome.card->uid) || rowClosed) break;
      }
    }
  } catch (const LinkFailed&) {
    c_.err << kNoConnectionText << '\n';
    rc = kExitNoProgrammer;
  }
  c_.err << (c_.stop ? "Przerwano / stopped: " : "") << "zaprogramowano " << done << " z "
         << rows.size() << " kart / programmed " << done << " of " << rows.size() << " cards\n";
  if (rc != kExitDone) return rc;
  return done == rows.size() ? kExitDone : kExitNotDone;
}

}  // namespace

std::vector<CardRow> RangeRows(const CliOptions& options) {
  std::vector<CardRow> rows;
  for (int32_t i = 0; i < options.count; ++i) {
    rows.push_back({options.department, options.firstIndex + i, i + 1});
  }
  return rows;
}

int RunCliCommand(const CliOptions& options, const std::vector<CardRow>& rows,
                  CliContext& context) {
  Command command(context);
  return command.Run(options, rows);
}

}  // namespace kp
