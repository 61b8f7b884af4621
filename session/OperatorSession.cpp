// The session's link and guards, and the rule for late answers.
#include "session/OperatorSession.h"

#include "link/KpFrame.h"
#include "programmer/OperatorTexts.h"

namespace kp {

namespace {

// Gives up a device: signature, handles, status words and model record are cleared.
void ForgetConnection(KpR50& device) {
  device.keySignature = 0;
  device.Close();
  device.programmerNumber = 0;
  device.modelCode = 0;
  device.firmwareVersion = 0;
  device.statusWord = 0;
  device.modelRecord = nullptr;
}

// The resend's answer comes, as a rule, one time-out after the first one did; a second
// time-out leaves room for a programmer whose answers vary.
constexpr int kLateReplyWaits = 2;

}  // namespace

const char* GuardText(Guard guard) {
  switch (guard) {
    case Guard::Passed: return nullptr;
    case Guard::NoConnection: return kNoConnectionText;
    case Guard::NoKeys: return kNoKeysText;
    case Guard::NoUserPassword: return kNoUserPasswordText;
    case Guard::NotLoggedIn: return kNotLoggedInText;
    case Guard::ForcedChange: return kForcedChangeText;
    case Guard::Reconnected: return kReconnectedText;
  }
  return nullptr;
}

OperatorSession::OperatorSession(UsbPlatform& platform, TraceSet* tracer)
    : programmer_(platform, &kKpR50InterfaceGuid, tracer) {}

OperatorSession::~OperatorSession() { programmer_.Close(); }

// --- the link ---

PollResult OperatorSession::Poll() {
  try {
    if (Connected()) {
      programmer_.ReadStatus(kStatusTimeoutMs);
      if (!SettleOrDrop()) return PollResult::Dropped;
      return PollResult::StatusRead;
    }
    return Link();
  } catch (...) {
    Drop();
    return PollResult::Dropped;
  }
}

PollResult OperatorSession::Link() {
  if (!programmer_.Link()) return PollResult::NoProgrammer;
  {
    // While programmer_ holds the first device, a second object can open only another one.
    KpR50 second(Platform(), &kKpR50InterfaceGuid, &defaultTrace);
    if (second.Link()) {
      ForgetConnection(second);
      Drop();
      return PollResult::TwoProgrammers;
    }
  }
  // Every fresh connection starts logged out.
  programmer_.lateReplyMayFollow = false;
  programmer_.Logout();
  programmer_.ReadStatusAndSignature();
  if (!SettleOrDrop()) return PollResult::Dropped;
  return PollResult::Linked;
}

void OperatorSession::Drop() { ForgetConnection(programmer_); }

void OperatorSession::End() {
  if (!programmer_.isOpen && loggedIn_) programmer_.Link();
  bool lost = false;
  if (programmer_.isOpen) {
    try {
      programmer_.Logout();
    } catch (...) {
      lost = true;
    }
  }
  // A logout that went unanswered: on a fresh link the status tells whether the programmer is
  // still logged in, and then it is sent once more, so that a session that logged in does not
  // leave the programmer logged in after one lost exchange. A programmer that is gone fails
  // the link at once, and its next link logs it out anyway.
  if (lost && loggedIn_) {
    Drop();
    programmer_.Link();
    if (programmer_.isOpen) {
      try {
        programmer_.ReadStatus(kStatusTimeoutMs);
        if ((programmer_.statusWord & kStatusLoggedIn) != 0) programmer_.Logout();
      } catch (...) {
      }
    }
  }
  Drop();
  loggedIn_ = false;
}

bool OperatorSession::SettleLateReply() {
  KpR50& p = programmer_;
  if (!p.lateReplyMayFollow) return true;
  if (!p.isOpen) {
    p.lateReplyMayFollow = false;
    return true;
  }
  try {
    p.SetPipeTimeout(p.lateReplyTimeoutMs);
    uint8_t frame[kFrameCapacity];
    // A babbling device cannot hold the wait: it ends after as many frames as a reply wait
    // throws away.
    int frames = 0;
    for (int wait = 0; wait < kLateReplyWaits && p.lateReplyMayFollow;) {
      if (p.ReceiveFrame(frame) == 0) {
        ++wait;
      } else if (++frames >= kMaxDiscardedTransfers) {
        break;
      } else if (frame[wire::kFrameCommandAt] == (p.lateReplyCommand | kReplyBit)) {
        p.lateReplyMayFollow = false;
      }
    }
  } catch (...) {
    return false;
  }
  return !p.lateReplyMayFollow;
}

bool OperatorSession::SettleOrDrop() {
  if (SettleLateReply()) return true;
  Drop();
  programmer_.lateReplyMayFollow = false;
  return false;
}

void OperatorSession::EndAction() {
  if (programmer_.lateReplyMayFollow && programmer_.isOpen) Drop();
  programmer_.lateReplyMayFollow = false;
}

// --- the guards ---

Guard OperatorSession::EnsureConnected(const PollSeen& seen) {
  const auto poll = [&] {
    const PollResult result = Poll();
    if (seen) seen(result);
  };
  poll();
  if (!Connected()) poll();
  return Connected() ? Guard::Passed : Guard::NoConnection;
}

Guard OperatorSession::CheckKeysAndPassword() const {
  if (!KeysLoaded(programmer_.statusWord)) return Guard::NoKeys;
  if ((programmer_.statusWord & kStatusNoUserPassword) != 0) return Guard::NoUserPassword;
  return Guard::Passed;
}

Guard OperatorSession::CheckNoForcedChange() const {
  return (programmer_.statusWord & kStatusAdminPassword) != 0 ? Guard::ForcedChange : Guard::Passed;
}

Guard OperatorSession::CheckCardReady(const PollSeen& seen) {
  if (const Guard g = EnsureConnected(seen); g != Guard::Passed) return g;
  if (const Guard g = CheckKeysAndPassword(); g != Guard::Passed) return g;
  if ((programmer_.statusWord & kStatusLoggedIn) == 0) return Guard::NotLoggedIn;
  return CheckNoForcedChange();
}

Guard OperatorSession::CheckConnectionMark() const {
  // Link and Close clear the mark: still set, the connection lasted through the dialog.
  return programmer_.connectionMark ? Guard::Passed : Guard::Reconnected;
}

}  // namespace kp
