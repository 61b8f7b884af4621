// The card operations with the rule for outcomes the programmer did not answer for.
#include "session/OperatorSession.h"

namespace kp {

namespace {

using End = CardOutcome::End;

// The commands after which a card may hold something else than before.
bool ChangesCard(uint8_t command) {
  return command == kCmdPrepareCard || command == kCmdWriteFile || command == kCmdEraseCard;
}

}  // namespace

template <typename Operation>
CardOutcome OperatorSession::RunCardOperation(Operation operation) {
  CardOutcome outcome;
  programmer_.cardPresent = false;
  programmer_.lastCommand = 0;
  bool failed = false;
  try {
    outcome.result = operation();
  } catch (...) {
    failed = true;
  }
  if (programmer_.cardPresent) outcome.card = programmer_.cardInfo;
  const bool changing = ChangesCard(programmer_.lastCommand);
  if (failed) {
    // The request that went unanswered may have been carried out.
    outcome.end = changing ? End::Uncertain : End::LinkFailed;
  } else if (outcome.result == kCardOk) {
    outcome.end = End::Done;
  } else {
    // A refusal of a repeat says nothing of what the first request did.
    outcome.end = changing && programmer_.answeredAfterResend ? End::Uncertain : End::Refused;
  }
  if (outcome.end == End::Uncertain || outcome.end == End::LinkFailed) {
    Drop();
  } else {
    SettleOrDrop();  // the outcome is true either way; only the connection may not be kept
  }
  return outcome;
}

CardOutcome OperatorSession::Program(int32_t department, int32_t index) {
  CardOutcome outcome =
      RunCardOperation([&] { return programmer_.ProgramCard(department, index); });
  outcome.department = department;
  outcome.index = index;
  return outcome;
}

CardOutcome OperatorSession::Read() {
  int32_t department = 0;
  int32_t index = 0;
  CardOutcome outcome = RunCardOperation([&] { return programmer_.ReadCard(&department, &index); });
  if (outcome.end == End::Done) {
    outcome.department = department;
    outcome.index = index;
  }
  return outcome;
}

CardOutcome OperatorSession::Erase() {
  return RunCardOperation([&] { return programmer_.EraseCard(); });
}

}  // namespace kp
