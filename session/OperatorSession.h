// The operator's session with one KP-R50, for every front end (the window, kpnox-cli): the
// link with its one-programmer probe, the guards in their order, login, password change and
// the card operations, each ending in an outcome the front end only has to present.
//
// What a session tells is true. Replies carry no sequence number, so an answer that came only
// to the resend of a request may belong to either; an outcome the programmer did not answer
// for is never told as a refusal or a success:
// - A command that changes a card (prepare, write, erase) that went unanswered, or whose
//   refusal came only after its resend, ends Uncertain: the first request may have taken
//   effect on a card that has since left or been swapped.
// - A login or a change refused only after a resend, or not followed by the logged-in bit,
//   ends LinkFailed: the first request may have used up the challenge or replaced the key.
// - When an exchange was answered only by its resend, the resend's own answer is still on
//   its way and would pass for the answer to the next request of that command. The session
//   waits it out; when it does not come, the connection is dropped, so that the next link
//   drains the pipe and starts logged out. All of this is decided before an outcome returns:
//   nothing the front end shows is undone afterwards.
// Not thread-safe: one caller at a time. Every operation blocks on its exchanges.
#pragma once

#include "programmer/KpR50.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kp {

// How a poll ended.
enum class PollResult {
  StatusRead,      // an open programmer's status word read again
  NoProgrammer,    // nothing to link
  Linked,          // a fresh programmer linked, logged out, status and signature read
  TwoProgrammers,  // a second programmer is attached: nothing linked
  Dropped,         // the link failed; the connection is dropped
};

// The guards' refusals, in the order the guards run.
enum class Guard {
  Passed,
  NoConnection,  // "Brak połączenia z Programatorem R50."
  NoKeys,
  NoUserPassword,
  NotLoggedIn,
  ForcedChange,  // the administrator's password must be changed first
  Reconnected,   // the programmer was re-linked while a dialog was open
};

// The message of a guard's refusal; nullptr for Passed.
const char* GuardText(Guard guard);

// What a front end does with each poll a guard makes (the window tells a second programmer).
using PollSeen = std::function<void(PollResult)>;

// How a login or a password change ended.
struct PasswordOutcome {
  enum class End { Done, Refused, LinkFailed } end = End::LinkFailed;
  const char* refusal = nullptr;  // the message of a refusal
};

// How a card operation ended.
struct CardOutcome {
  enum class End {
    Done,        // the programmer answered for it: result kCardOk
    Refused,     // a refusal the programmer answered for: result 1..9
    Uncertain,   // a card-changing command the programmer did not answer for
    LinkFailed,  // the link failed before any command could change the card
  } end = End::LinkFailed;
  int32_t result = kCardOk;
  std::optional<CardInfo> card;  // the card the operation named, once the field was read
  int32_t department = 0;        // read: the card's numbers
  int32_t index = 0;
};

class OperatorSession {
 public:
  OperatorSession(UsbPlatform& platform, TraceSet* tracer);
  ~OperatorSession();
  OperatorSession(const OperatorSession&) = delete;
  OperatorSession& operator=(const OperatorSession&) = delete;

  KpR50& Programmer() { return programmer_; }
  const KpR50& Programmer() const { return programmer_; }
  UsbPlatform& Platform() const { return programmer_.Platform(); }
  bool Connected() const { return programmer_.winUsbHandle != kInvalidHandle; }

  // --- the link ---
  // An open programmer's status re-read; a closed one linked afresh. Any failure drops the
  // connection.
  PollResult Poll();
  // Gives up the programmer: signature, handles, status words and model record cleared.
  void Drop();
  // Logs out and closes; a fresh link is made for the logout when the connection was lost
  // after a login, so that no one finds the programmer logged in.
  void End();

  // --- the guards ---
  // With an open programmer the first poll re-reads the status word; if that fails, the
  // second one links again.
  Guard EnsureConnected(const PollSeen& seen = {});
  Guard CheckKeysAndPassword() const;
  Guard CheckNoForcedChange() const;
  // All of them, as a card operation needs them.
  Guard CheckCardReady(const PollSeen& seen = {});
  // Before a dialog: the mark that Link and Close clear.
  void MarkConnection() { programmer_.connectionMark = true; }
  Guard CheckConnectionMark() const;

  // --- login and password change (the keys are the caller's, wiped by it) ---
  PasswordOutcome Login(const uint8_t key[kKeySize]);
  PasswordOutcome ChangePassword(const uint8_t oldKey[kKeySize], const uint8_t newKey[kKeySize]);
  // Why a new password cannot be set as typed (its length, or characters the programmer would
  // not receive exactly); nullopt when it can.
  static std::optional<std::string> NewPasswordRefusal(std::u16string_view newPassword);

  // --- the card operations ---
  CardOutcome Program(int32_t department, int32_t index);
  CardOutcome Read();
  CardOutcome Erase();

  // --- actions ---
  // The start of an operator's action: no exchange of it has been answered only by its resend.
  void BeginAction() { programmer_.lateReplyMayFollow = false; }
  // The end of one: a late answer still on its way drops the connection. Operations decide
  // this themselves; this is for exchanges made outside them.
  void EndAction();

 private:
  // Waits out the answer to the resend that answered an exchange; false when it did not
  // come (or the link failed), and the connection is then to be dropped.
  bool SettleLateReply();
  // SettleLateReply, dropping the connection when the answer may still come; true when the
  // connection is still there.
  bool SettleOrDrop();
  PollResult Link();
  // The status word read after an accepted login: Done only when it says logged in.
  PasswordOutcome LoggedInAfter();
  // The outcome of a login or a change once late answers are settled; a link failure drops
  // the connection.
  PasswordOutcome Decided(const PasswordOutcome& outcome);
  template <typename Operation>
  CardOutcome RunCardOperation(Operation operation);

  KpR50 programmer_;
  bool loggedIn_ = false;  // a login was sent since the last End: End logs out
};

}  // namespace kp
