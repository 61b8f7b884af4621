// kpnox-cli's commands: the link, the login, the password change and the status, and the run
// that picks the command; the card commands are CliCards.cpp's.
#include "cli/CliCommand.h"

#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "link/Tracecom.h"
#include "base/NumberText.h"
#include "programmer/OperatorTexts.h"

namespace kp {

namespace clirun {

std::string UidHex(const uint8_t uid[kUidSize]) { return HexText({uid, kUidSize}); }

Command::Command(CliContext& context)
    : c_(context), s_(context.platform, traceSink), r50_(s_.Programmer()) {}

Command::~Command() {
  s_.End();
  SecureWipe(key_, sizeof key_);
}

int Command::Open() {
  switch (s_.Poll()) {
    case PollResult::Linked: return kExitDone;
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
    case PollResult::Dropped: break;
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
      case CliCommand::Status: return Status(options.json);
      case CliCommand::Login: return Login();
      case CliCommand::Passwd: return Passwd();
      case CliCommand::Program:
      case CliCommand::Erase: return SingleCard(options);
      case CliCommand::Read: return options.wait ? ReadWait() : SingleCard(options);
      case CliCommand::Batch: return Batch(rows);
      case CliCommand::Help:
      case CliCommand::Version:
      case CliCommand::Doctor:  // the caller's, as help and version
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

}  // namespace clirun

std::vector<CardRow> RangeRows(const CliOptions& options) {
  std::vector<CardRow> rows;
  for (int32_t i = 0; i < options.count; ++i) {
    rows.push_back({options.department, options.firstIndex + i, i + 1});
  }
  return rows;
}

int RunCliCommand(const CliOptions& options, const std::vector<CardRow>& rows,
                  CliContext& context) {
  clirun::Command command(context);
  return command.Run(options, rows);
}

}  // namespace kp
