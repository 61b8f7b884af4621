// kpnox-cli's card commands: program, read and erase one card, read card after card, and
// the batch, with one record for every card a command sent a prepare or a write to.
#include "cli/CliCommand.h"

#include "programmer/OperatorTexts.h"

#include <cstring>

namespace kp::clirun {

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
  return outcome.end == CardEnd::Uncertain && !s_.Connected() ? kExitNoProgrammer : kExitNotDone;
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

}  // namespace kp::clirun
