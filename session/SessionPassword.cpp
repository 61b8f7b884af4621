// Login and password change. The programmer answers a login or a change with one status
// byte, matched to the request by its reply code alone; the status word read afterwards says
// whether the programmer really holds the login.
#include "codepage/PasswordCodePage.h"
#include "crypto/PasswordKey.h"
#include "programmer/OperatorTexts.h"
#include "session/OperatorSession.h"

namespace kp {

namespace {

using End = PasswordOutcome::End;

bool LoggedInNow(const KpR50& programmer) { return (programmer.statusWord & kStatusLoggedIn) != 0; }

// A refusal that came only after the request went out twice says nothing about the password:
// the first request may have been carried out (a login uses up its challenge, a change
// replaces the key the second one names).
PasswordOutcome Refusal(const KpR50& programmer, const char* text) {
  if (programmer.answeredAfterResend) return {End::LinkFailed, nullptr};
  return {End::Refused, text};
}

}  // namespace

PasswordOutcome OperatorSession::Login(const uint8_t key[kKeySize]) {
  PasswordOutcome outcome;
  // A login that reached the programmer may have been taken, whatever its answer said.
  loggedIn_ = true;
  try {
    if (!programmer_.Authenticate(kUserIdentity, key)) {
      outcome = Refusal(programmer_, kLoginRefusedText);
    } else {
      outcome = LoggedInAfter();
    }
  } catch (...) {
    outcome = {End::LinkFailed, nullptr};
  }
  return Decided(outcome);
}

PasswordOutcome OperatorSession::ChangePassword(const uint8_t oldKey[kKeySize],
                                                const uint8_t newKey[kKeySize]) {
  PasswordOutcome outcome;
  loggedIn_ = true;
  try {
    programmer_.Logout();
    if (!programmer_.Authenticate(kUserIdentity, oldKey)) {
      outcome = Refusal(programmer_, kOldPasswordRefusedText);
    } else {
      if (!programmer_.SendPasswordChange(kUserIdentity, oldKey, newKey)) {
        outcome = Refusal(programmer_, kChangeRefusedText);
      } else if (!programmer_.Authenticate(kUserIdentity, newKey)) {
        outcome = Refusal(programmer_, kNewPasswordRefusedText);
      } else {
        outcome = LoggedInAfter();
      }
    }
  } catch (...) {
    outcome = {End::LinkFailed, nullptr};
  }
  return Decided(outcome);
}

// The late answer to an earlier login that timed out can pass for this one's: a login the
// programmer did not take is no login.
PasswordOutcome OperatorSession::LoggedInAfter() {
  programmer_.ReadStatus(kStatusTimeoutMs);
  return {LoggedInNow(programmer_) ? End::Done : End::LinkFailed, nullptr};
}

// A login the session would drop right after is no login either.
PasswordOutcome OperatorSession::Decided(const PasswordOutcome& outcome) {
  if (outcome.end != End::LinkFailed && SettleOrDrop()) return outcome;
  Drop();
  return {End::LinkFailed, nullptr};
}

std::optional<std::string> OperatorSession::NewPasswordRefusal(std::u16string_view newPassword) {
  const auto length = newPassword.size();
  if (length < static_cast<size_t>(kNewPasswordMinLength) ||
      length > static_cast<size_t>(kPasswordMaxLength)) {
    return "hasła muszą mieć 8..20 znaków / passwords must have 8..20 characters";
  }
  // A character the code page would turn into "?" or a look-alike would set a weaker
  // password than the one typed.
  const std::u32string lacking = UnrepresentableCharacters(newPassword);
  if (!lacking.empty()) return UnrepresentablePasswordText(lacking);
  return std::nullopt;
}

}  // namespace kp
