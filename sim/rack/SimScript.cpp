#include "sim/rack/SimScript.h"

#include "sim/rack/SimWords.h"

#include <optional>
#include <sstream>
#include <vector>

namespace kp {

namespace {

// The words after the verb: `fixed` of them, then the optional programmer number (1 when
// absent). False when the count or the number is wrong.
bool Split(const std::vector<std::string>& words, size_t fixed, int* programmer) {
  if (words.size() == 1 + fixed) {
    *programmer = 1;
    return true;
  }
  if (words.size() != 2 + fixed) return false;
  const auto n = ParseNumber<int32_t>(words.back());
  if (!n || *n < 1) return false;
  *programmer = *n;
  return true;
}

ScriptOutcome Fail(SimRack& rack, const std::string& line) {
  rack.Error("cannot do: " + line);
  return ScriptOutcome::Continue;
}

// COMMAND or COMMAND:N, the n-th request of the command from now on.
std::optional<std::pair<uint8_t, uint32_t>> AimOf(const std::string& word) {
  const size_t colon = word.find(':');
  const auto command = sim::CommandOf(word.substr(0, colon));
  if (!command) return std::nullopt;
  if (colon == std::string::npos) return std::make_pair(*command, uint32_t{1});
  const auto nth = ParseNumber<int32_t>(word.substr(colon + 1));
  if (!nth || *nth < 1) return std::nullopt;
  return std::make_pair(*command, static_cast<uint32_t>(*nth));
}

// fault clear [n] | fault [also] delay MS COMMAND[:N] [n] | fault [also] KIND COMMAND[:N] [n]
// Without "also" the fault replaces all armed; with it, it is armed beside them.
ScriptOutcome RunFaultLine(SimRack& rack, std::vector<std::string> words, const std::string& line) {
  int n = 1;
  if (words.size() > 1 && words[1] == "clear" && Split(words, 1, &n)) {
    rack.ClearFault(n);
    return ScriptOutcome::Continue;
  }
  const bool also = words.size() > 1 && words[1] == "also";
  if (also) words.erase(words.begin() + 1);
  const std::string kind = words.size() > 1 ? words[1] : std::string();
  const auto faultKind = sim::FaultKindOf(kind);
  if (!faultKind) return Fail(rack, line);
  FirmwareFault fault;
  fault.kind = *faultKind;
  size_t aimAt = 2;
  if (fault.kind == FaultKind::Delay) {
    const auto ms = words.size() > 2 ? ParseNumber<int32_t>(words[2]) : std::nullopt;
    if (!ms || *ms < 0) return Fail(rack, line);
    fault.delayMs = static_cast<uint64_t>(*ms);
    aimAt = 3;
  }
  if (!Split(words, aimAt, &n)) return Fail(rack, line);
  const auto aim = AimOf(words[aimAt]);
  if (!aim) return Fail(rack, line);
  fault.command = aim->first;
  fault.nth = aim->second;
  if (also) {
    rack.AddFault(n, fault);
  } else {
    rack.ArmFault(n, fault);
  }
  return ScriptOutcome::Continue;
}

// The lines about the rack itself; nullopt for any other line.
std::optional<ScriptOutcome> RunRackLine(SimRack& rack, const std::vector<std::string>& words,
                                         const std::string& line) {
  const std::string& verb = words[0];
  int n = 1;
  if (verb == "quit" && words.size() == 1) return ScriptOutcome::Quit;
  if (verb == "plug" && Split(words, 0, &n)) {
    rack.Plug(n);
  } else if (verb == "unplug" && Split(words, 0, &n)) {
    rack.Unplug(n);
  } else if (verb == "add" && words.size() == 1) {
    rack.Add(ProgrammerSetup{});
  } else if (verb == "remove" && Split(words, 0, &n)) {
    rack.Remove(n);
  } else if (verb == "state" && Split(words, 0, &n)) {
    if (rack.Find(n) == nullptr) return Fail(rack, line);
    for (const std::string& state : rack.StateLines(n)) rack.Echo(state);
    for (const std::string& fault : rack.FaultLines(n)) rack.Echo(fault);
  } else {
    return std::nullopt;
  }
  return ScriptOutcome::Continue;
}

// The lines about a card in a programmer's field; nullopt for any other line.
std::optional<ScriptOutcome> RunCardLine(SimRack& rack, const std::vector<std::string>& words,
                                         const std::string& line) {
  const std::string kind = words.size() > 1 ? words[1] : std::string();
  int n = 1;
  if (words[0] != "card") return std::nullopt;
  if (kind == "programmed" && Split(words, 3, &n)) {
    const auto department = ParseNumber<int32_t>(words[2]);
    const auto index = ParseNumber<int32_t>(words[3]);
    if (!department || !index) return Fail(rack, line);
    rack.SetCard(n, {CardSetupKind::Programmed, *department, *index});
  } else if (Split(words, 1, &n) && (kind == "empty" || kind == "foreign" || kind == "none")) {
    rack.SetCard(n, {kind == "empty"     ? CardSetupKind::Empty
                     : kind == "foreign" ? CardSetupKind::Foreign
                                         : CardSetupKind::None,
                     0, 0});
  } else {
    return std::nullopt;
  }
  return ScriptOutcome::Continue;
}

// The lines about one programmer's state and behaviour; nullopt for any other line.
std::optional<ScriptOutcome> RunProgrammerLine(SimRack& rack, const std::vector<std::string>& words,
                                               const std::string& line) {
  const std::string& verb = words[0];
  const std::string kind = words.size() > 1 ? words[1] : std::string();
  int n = 1;
  if (verb == "keys" && Split(words, 1, &n) && KeysOf(kind)) {
    rack.SetKeys(n, *KeysOf(kind));
  } else if (verb == "login" && Split(words, 1, &n) && (kind == "yes" || kind == "no")) {
    rack.SetLoggedIn(n, kind == "yes");
  } else if (verb == "password" && kind == "none" && Split(words, 1, &n)) {
    rack.SetPassword(n, {PasswordState::None, {}});
  } else if (verb == "password" && (kind == "admin" || kind == "user") && Split(words, 2, &n)) {
    rack.SetPassword(
        n,
        {kind == "admin" ? PasswordState::SetByAdministrator : PasswordState::SetByUser, words[2]});
  } else if (verb == "stall" && words.size() == 1) {
    rack.Stall(1, 0);
  } else if ((verb == "stall" || verb == "delay") && Split(words, 1, &n)) {
    const auto ms = ParseNumber<int32_t>(words[1]);
    if (!ms || *ms < 0) return Fail(rack, line);
    if (verb == "stall") rack.Stall(n, *ms);
    if (verb == "delay") rack.SetDelay(n, *ms);
  } else if (verb == "resume" && Split(words, 0, &n)) {
    rack.Resume(n);
  } else if (verb == "fault") {
    return RunFaultLine(rack, words, line);
  } else {
    return RunCardLine(rack, words, line);
  }
  return ScriptOutcome::Continue;
}

}  // namespace

ScriptOutcome RunScriptLine(SimRack& rack, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.empty() || words[0][0] == '#') return ScriptOutcome::Continue;
  if (const auto outcome = RunRackLine(rack, words, line)) return *outcome;
  if (const auto outcome = RunProgrammerLine(rack, words, line)) return *outcome;
  return Fail(rack, line);
}

}  // namespace kp
