#include "cli/CliRun.h"

#include "cli/Records.h"
#include "codepage/PasswordCodePage.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "link/Tracecom.h"
#include "platform/NumberText.h"
#include "programmer/KpR50.h"
#include "programmer/OperatorTexts.h"

#include <cstring>

namespace kp {

namespace {

// The window's password rule, counted in UTF-16 code units like its boxes.
constexpr auto kMaxLength = static_cast<size_t>(kPasswordMaxLength);
constexpr auto kNewMinLength = static_cast<size_t>(kNewPasswordMinLength);

std::string UidHex(const uint8_t uid[kUidSize]) { return HexText({uid, kUidSize}); }

// The link failed: the window's DropConnection.
struct LinkFailed {};

class Session {
 public:
  explicit Session(CliContext& context)
      : c_(context), r50_(context.platform, &kKpR50InterfaceGuid, traceSink) {}
  ~Session() { End(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int Run(const CliOptions& options, const std::vector<CardRow>& rows);

 private:
  // The window's link of a fresh programmer: the only one there, logged out, status and
  // signature read.
  int Open();
  // Logs out and closes; after a failed link, a fresh link is tried for the logout, so that
  // no one finds the programmer logged in.
  void End();
  void Drop() { r50_.Close(); }
  // Runs `step`; a link failure becomes LinkFailed.
  template <typename Step>
  auto Guarded(Step step) -> decltype(step()) {
    try {
      return step();
    } catch (const LinkFailed&) {
      throw;
    } catch (...) {
      Drop();
      throw LinkFailed{};
    }
  }

  int CheckKeysAndPassword();
  int CheckCardReady();
  // The password asked for, as a key; kExitDone when `key` holds it.
  int AskKey(const char* prompt, uint8_t key[kKeySize], std::u16string* typed = nullptr);
  int LogIn();
  int LoginThenReady();

  int Status(bool json);
  int Login();
  int Passwd();
  int SingleCard(const CliOptions& options);
  int ReadWait(const CliOptions& options);
  int Batch(const CliOptions& options, const std::vector<CardRow>& rows);

  // Polls the field every kCardPollMs until a card is there; false when stopped first.
  bool AwaitCard();
  // Polls until the field holds no card or another one than `uid`; false when stopped first.
  bool AwaitLeave(const uint8_t uid[kUidSize]);
  void Record(RecordWriter& records, std::optional<int32_t> department,
              std::optional<int32_t> index, int32_t result);

  CliContext& c_;
  KpR50 r50_;
  bool loggedIn_ = false;  // a login was accepted at some time
};

int Session::Open() {
  if (!r50_.Link()) {
    bool any = false;
    for (const UnreachableDevice& device : c_.platform.UnreachableDevices()) {
      c_.err << UnreachableReason(device) << '\n';
      any = true;
    }
    if (!any) c_.err << kNoProgrammerText << '\n';
    return kExitNoProgrammer;
  }
  // While r50_ holds the first device, a second object can open only another one.
  KpR50 second(c_.platform, &kKpR50InterfaceGuid, &defaultTrace);
  if (second.Link()) {
    second.Close();
    Drop();
    c_.err << kTwoProgrammersText << '\n';
    return kExitNoProgrammer;
  }
  try {
    Guarded([&] {
      r50_.Logout();
      r50_.ReadStatusAndSignature();
    });
  } catch (const LinkFailed&) {
    c_.err << kNoConnectionText << '\n';
    return kExitNoProgrammer;
  }
  return kExitDone;
}

void Session::End() {
  if (!r50_.isOpen && loggedIn_) r50_.Link();
  if (r50_.isOpen) {
    try {
      r50_.Logout();
    } catch (...) {
      // The programmer is gone; a fresh link logs it out anyway.
    }
  }
  r50_.Close();
  loggedIn_ = false;
}

int Session::CheckKeysAndPassword() {
  if (!KeysLoaded(r50_.statusWord)) {
    c_.err << kNoKeysText << '\n';
    return kExitNotDone;
  }
  if ((r50_.statusWord & kStatusNoUserPassword) != 0) {
    c_.err << kNoUserPasswordText << '\n';
    return kExitNotDone;
  }
  return kExitDone;
}

int Session::CheckCardReady() {
  Guarded([&] { r50_.ReadStatus(kStatusTimeoutMs); });
  if (const int rc = CheckKeysAndPassword(); rc != kExitDone) return rc;
  if ((r50_.statusWord & kStatusLoggedIn) == 0) {
    c_.err << kNotLoggedInText << '\n';
    return kExitNotDone;
  }
  if ((r50_.statusWord & kStatusAdminPassword) != 0) {
    c_.err << kForcedChangeText << '\n';
    return kExitChangePassword;
  }
  return kExitDone;
}

int Session::AskKey(const char* prompt, uint8_t key[kKeySize], std::u16string* typed) {
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

int Session::LogIn() {
  if (const int rc = CheckKeysAndPassword(); rc != kExitDone) return rc;
  uint8_t key[kKeySize] = {};
  const WipeOnExit wipeKey(key, sizeof key);
  if (const int rc = AskKey("Hasło / password: ", key); rc != kExitDone) return rc;
  const bool accepted = Guarded([&] { return r50_.Authenticate(kUserIdentity, key); });
  if (!accepted) {
    c_.err << kLoginRefusedText << '\n';
    return kExitLoginRefused;
  }
  loggedIn_ = true;
  Guarded([&] { r50_.ReadStatus(kStatusTimeoutMs); });
  return kExitDone;
}

int Session::LoginThenReady() {
  if (const int rc = LogIn(); rc != kExitDone) return rc;
  return CheckCardReady();
}

int Session::Run(const CliOptions& options, const std::vector<CardRow>& rows) {
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
        return options.wait ? ReadWait(options) : SingleCard(options);
      case CliCommand::Batch:
        return Batch(options, rows);
      case CliCommand::Help:
      case CliCommand::Version:
        break;
    }
    return kExitUsage;
  } catch (const LinkFailed&) {
    c_.err << kNoConnectionText << '\n';
    return kExitNoProgrammer;
  }
}

int Session::Status(bool json) {
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

int Session::Login() {
  if (const int rc = LogIn(); rc != kExitDone) return rc;
  c_.err << kLoggedInText << '\n';
  // The administrator's password must give way to the user's before anything else.
  if ((r50_.statusWord & kStatusAdminPassword) != 0) {
    c_.err << kForcedChangeText << '\n';
    return kExitChangePassword;
  }
  return kExitDone;
}

int Session::Passwd() {
  if (const int rc = CheckKeysAndPassword(); rc != kExitDone) return rc;
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
  const bool lengthsOk =
      oldText.size() >= kNewMinLength && newText.size() >= kNewMinLength;
  const bool repeated = !c_.confirmNewPassword || repeatedText == newText;
  // As in the change dialog: a character the code page would turn into "?" or a look-alike
  // would set a weaker password than the one typed.
  const std::u32string lacking = UnrepresentableCharacters(newText);
  for (std::u16string* s : {&oldText, &newText, &repeatedText}) {
    SecureWipe(s->data(), s->size() * sizeof(char16_t));
  }
  if (rc != kExitDone) return rc;
  if (!repeated) {
    c_.err << "nowe hasła różnią się / the new passwords differ\n";
    return kExitUsage;
  }
  if (!lengthsOk) {
    c_.err << "hasła muszą mieć 8..20 znaków / passwords must have 8..20 characters\n";
    return kExitUsage;
  }
  if (!lacking.empty()) {
    c_.err << UnrepresentablePasswordText(lacking)
           << "\n(the new password has characters the programmer cannot take)\n";
    return kExitUsage;
  }
  const char* refusal = Guarded([&]() -> const char* {
    r50_.Logout();
    if (!r50_.Authenticate(kUserIdentity, oldKey)) return kOldPasswordRefusedText;
    loggedIn_ = true;
    if (!r50_.SendPasswordChange(kUserIdentity, oldKey, newKey)) return kChangeRefusedText;
    if (!r50_.Authenticate(kUserIdentity, newKey)) return kNewPasswordRefusedText;
    r50_.ReadStatus(kStatusTimeoutMs);
    return nullptr;
  });
  if (refusal != nullptr) {
    c_.err << refusal << '\n';
    return kExitLoginRefused;
  }
  c_.err << kPasswordChangedText << '\n';
  return kExitDone;
}

void Session::Record(RecordWriter& records, std::optional<int32_t> department,
                     std::optional<int32_t> index, int32_t result) {
  CardRecord record;
  record.department = department;
  record.index = index;
  if (result != kCardNoCard) record.uid = UidHex(r50_.cardInfo.uid);
  record.result = ResultWord(result);
  record.time = c_.clock();
  records.Write(record);
  if (result != kCardOk) c_.err << CardResultText(result) << '\n';
}

int Session::SingleCard(const CliOptions& options) {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  RecordWriter records(c_.out, options.json);
  records.Begin();
  int32_t department = options.department;
  int32_t index = options.index;
  int32_t result = kCardOk;
  if (options.command == CliCommand::Program) {
    result = Guarded([&] { return r50_.ProgramCard(department, index); });
    Record(records, department, index, result);
  } else if (options.command == CliCommand::Read) {
    result = Guarded([&] { return r50_.ReadCard(&department, &index); });
    if (result == kCardOk) {
      Record(records, department, index, result);
    } else {
      Record(records, std::nullopt, std::nullopt, result);
    }
  } else {
    result = Guarded([&] { return r50_.EraseCard(); });
    Record(records, std::nullopt, std::nullopt, result);
    if (result == kCardOk) c_.err << kCardErasedText << '\n';
  }
  return result == kCardOk ? kExitDone : kExitNotDone;
}

bool Session::AwaitCard() {
  while (!c_.stop) {
    if (Guarded([&] { return r50_.ReadCardInfo(); })) return true;
    c_.platform.Sleep(kCardPollMs);
  }
  return false;
}

bool Session::AwaitLeave(const uint8_t uid[kUidSize]) {
  while (!c_.stop) {
    const bool card = Guarded([&] { return r50_.ReadCardInfo(); });
    if (!card || std::memcmp(r50_.cardInfo.uid, uid, kUidSize) != 0) return true;
    c_.platform.Sleep(kCardPollMs);
  }
  return false;
}

int Session::ReadWait(const CliOptions& options) {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  RecordWriter records(c_.out, options.json);
  records.Begin();
  bool refused = false;
  while (AwaitCard()) {
    if (const int rc = CheckCardReady(); rc != kExitDone) return rc;
    int32_t department = 0;
    int32_t index = 0;
    const int32_t result = Guarded([&] { return r50_.ReadCard(&department, &index); });
    if (result == kCardNoCard) continue;  // gone between the two questions
    if (result == kCardOk) {
      Record(records, department, index, result);
    } else {
      Record(records, std::nullopt, std::nullopt, result);
      refused = true;
    }
    uint8_t uid[kUidSize];
    std::memcpy(uid, r50_.cardInfo.uid, kUidSize);
    if (!AwaitLeave(uid)) break;
  }
  return refused ? kExitNotDone : kExitDone;
}

int Session::Batch(const CliOptions& options, const std::vector<CardRow>& rows) {
  if (const int rc = LoginThenReady(); rc != kExitDone) return rc;
  RecordWriter records(c_.out, options.json);
  records.Begin();
  size_t done = 0;
  int rc = kExitDone;
  try {
    for (size_t row = 0; row < rows.size() && !c_.stop; ++row) {
      while (AwaitCard()) {
        rc = CheckCardReady();
        if (rc != kExitDone) break;
        const CardRow& card = rows[row];
        const int32_t result =
            Guarded([&] { return r50_.ProgramCard(card.department, card.index); });
        if (result == kCardNoCard) continue;  // gone between the two questions
        Record(records, card.department, card.index, result);
        if (result == kCardOk) ++done;
        // The next row takes another card; the last one needs none.
        if (result == kCardOk && row + 1 == rows.size()) break;
        uint8_t uid[kUidSize];
        std::memcpy(uid, r50_.cardInfo.uid, kUidSize);
        if (!AwaitLeave(uid) || result == kCardOk) break;
      }
      if (rc != kExitDone) break;
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
    rows.push_back({options.department, options.firstIndex + i, 0});
  }
  return rows;
}

int RunCliCommand(const CliOptions& options, const std::vector<CardRow>& rows,
                  CliContext& context) {
  Session session(context);
  return session.Run(options, rows);
}

}  // namespace kp
