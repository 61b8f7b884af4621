#include "sim/rack/SimRack.h"

#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "base/NumberText.h"
#include "sim/rack/SimWords.h"

namespace kp {

namespace {

constexpr const char* kPasswordRule =
    "password: 1 to 20 characters of Windows-1250 (Polish letters too), no control characters";

std::string ArmedLine(int index, const FirmwareFault& fault) {
  return "fault " + std::to_string(index) + " armed " + sim::FaultText(fault);
}

uint64_t SeedOf(uint64_t rackSeed, int index) {
  return rackSeed ^ (0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index));
}

// A replay shows the traced programmer's serial number, so that the client reads what it read
// then.
std::u16string SerialOf(const ReplayFirmware* replay, int index) {
  if (replay == nullptr || !replay->TracedSerial()) return SimSerialNumber(SimProcessId(), index);
  const std::string text = HexWord32(*replay->TracedSerial());
  return std::u16string(text.begin(), text.end());
}

std::string Counted(size_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

SimProgrammer::SimProgrammer(int index, uint64_t seed, SimTransport transport,
                             std::unique_ptr<ReplayFirmware> replayed)
    : firmware(seed),
      replay(std::move(replayed)),
      server(replay ? static_cast<ServedFirmware&>(*replay) : firmware, index,
             SerialOf(replay.get(), index), transport) {
  firmware.SetProgrammerNumber(static_cast<uint16_t>(index));
}

SimRack::SimRack(uint64_t seed, SimTransport transport) : seed_(seed), transport_(transport) {}

SimRack::~SimRack() {
  // Whoever listened may be gone already; the servers still remove their files.
  onLine_ = nullptr;
  onChange_ = nullptr;
  onRequest_ = nullptr;
  programmers_.clear();
}

int SimRack::Insert(std::unique_ptr<ReplayFirmware> replay) {
  int index = 1;
  while (programmers_.count(index) != 0) ++index;
  auto programmer =
      std::make_unique<SimProgrammer>(index, SeedOf(seed_, index), transport_, std::move(replay));
  SimProgrammer& p = *programmer;
  programmers_[index] = std::move(programmer);
  p.server.SetStateObserver([this, index](ServerEvent event, const std::string& detail) {
    OnServer(index, event, detail);
  });
  p.server.SetRequestObserver(
      [this, index](std::span<const uint8_t> request, const std::vector<InTransfer>& replies) {
        OnRequest(index, request, replies);
      });
  Emit("added " + std::to_string(index));
  return index;
}

int SimRack::AddReplay(std::unique_ptr<ReplayFirmware> replay, bool plugged) {
  if (replay == nullptr) return Add(ProgrammerSetup{});
  const int index = Insert(std::move(replay));
  const ReplayFirmware& r = *Find(index)->replay;
  Emit("replay " + std::to_string(index) + " loaded: " + Counted(r.Requests(), "request") + ", " +
       Counted(r.Links(), "link"));
  EmitReplayNotices(index);  // a trace without a step has finished already
  if (plugged) Plug(index);
  Changed(index);
  return index;
}

int SimRack::Add(const ProgrammerSetup& setup) {
  const int index = Insert(nullptr);
  SimProgrammer& p = *Find(index);

  // The firmware takes the setup as it comes; what it cannot take is reported and skipped.
  ApplyKeys(p, setup.keys);
  if (!ApplyPassword(p, setup.password)) Error(kPasswordRule);
  ApplyCard(p, setup.card);
  reported_.erase(index);
  EmitChanges(index, std::nullopt);
  if (setup.plugged) Plug(index);
  Changed(index);
  return index;
}

bool SimRack::Remove(int index) {
  if (Need(index) == nullptr) return false;
  Unplug(index);
  programmers_.erase(index);
  reported_.erase(index);
  Emit("removed " + std::to_string(index));
  Changed(index);
  return true;
}

std::vector<int> SimRack::Indexes() const {
  std::vector<int> out;
  for (const auto& entry : programmers_) out.push_back(entry.first);
  return out;
}

SimProgrammer* SimRack::Find(int index) {
  const auto found = programmers_.find(index);
  return found == programmers_.end() ? nullptr : found->second.get();
}

SimProgrammer* SimRack::Need(int index) {
  SimProgrammer* p = Find(index);
  if (p == nullptr) Error("no programmer " + std::to_string(index));
  return p;
}

SimProgrammer* SimRack::NeedModel(int index) {
  SimProgrammer* p = Need(index);
  if (p == nullptr || !p->replay) return p;
  Error("programmer " + std::to_string(index) + " replays a trace: the trace has its answers");
  return nullptr;
}

bool SimRack::Plug(int index) {
  SimProgrammer* p = Need(index);
  if (p == nullptr) return false;
  std::string error;
  if (!p->server.Plug(&error)) {
    Error("plug " + std::to_string(index) + ": " + error);
    return false;
  }
  return true;
}

bool SimRack::Unplug(int index) {
  SimProgrammer* p = Need(index);
  if (p == nullptr) return false;
  p->server.Unplug();
  return true;
}

void SimRack::UnplugAll() {
  for (const auto& entry : programmers_) entry.second->server.Unplug();
}

void SimRack::ApplyKeys(SimProgrammer& p, KeyState keys) {
  p.firmware.SetKeys(keys,
                     keys == KeyState::Temporary ? kTemporaryKeySignature : kTargetKeySignature);
}

bool SimRack::ApplyPassword(SimProgrammer& p, const PasswordSetup& password) {
  if (password.state == PasswordState::None) {
    p.firmware.ClearPassword();
    p.passwordText.clear();
    return true;
  }
  // The key comes from the password's Windows-1250 bytes, as the application derives it.
  std::optional<std::string> bytes = SimPasswordBytes(password.text);
  if (!bytes) return false;
  if (password.state == PasswordState::SetByAdministrator) {
    p.firmware.SetPasswordByAdministrator(bytes->c_str());
  } else {
    VirtualKpR50::Key key{};
    DerivePasswordKey(kUserIdentity, bytes->c_str(), key.data());
    p.firmware.SetPasswordKey(key.data(), PasswordState::SetByUser);
    SecureWipe(key.data(), key.size());
  }
  SecureWipe(bytes->data(), bytes->size());
  p.passwordText = password.text;
  return true;
}

void SimRack::ApplyCard(SimProgrammer& p, const CardSetup& card) {
  const VirtualKpR50::Uid uid = p.firmware.RandomUid();
  switch (card.kind) {
    case CardSetupKind::None: p.firmware.RemoveCard(); break;
    case CardSetupKind::Empty: p.firmware.PlaceEmptyCard(uid.data()); break;
    case CardSetupKind::Programmed:
      p.firmware.PlaceProgrammedCard(uid.data(), card.department, card.index);
      break;
    case CardSetupKind::Foreign: p.firmware.PlaceForeignCard(uid.data()); break;
  }
}

bool SimRack::SetKeys(int index, KeyState keys) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  ApplyKeys(*p, keys);
  EmitChanges(index, reported_[index]);
  Changed(index);
  return true;
}

bool SimRack::SetPassword(int index, const PasswordSetup& password) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  if (!ApplyPassword(*p, password)) {
    Error(kPasswordRule);
    return false;
  }
  EmitChanges(index, reported_[index]);
  Changed(index);
  return true;
}

bool SimRack::SetCard(int index, const CardSetup& card) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  ApplyCard(*p, card);
  EmitChanges(index, reported_[index]);
  Changed(index);
  return true;
}

bool SimRack::SetLoggedIn(int index, bool loggedIn) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  p->firmware.SetLoggedIn(loggedIn);
  EmitChanges(index, reported_[index]);
  Changed(index);
  return true;
}

bool SimRack::Stall(int index, int ms) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  if (ms < 0) {
    Error("stall: a time of 0 ms or more");
    return false;
  }
  p->firmware.StaySilent(true);
  if (ms == 0) {
    if (p->stallTimer) p->stallTimer->stop();
    Emit("stalled " + std::to_string(index));
  } else {
    if (!p->stallTimer) {
      p->stallTimer = std::make_unique<QTimer>();
      p->stallTimer->setSingleShot(true);
      QObject::connect(p->stallTimer.get(), &QTimer::timeout, [this, index] { Resume(index); });
    }
    p->stallTimer->start(ms);
    Emit("stalled " + std::to_string(index) + " " + std::to_string(ms));
  }
  Changed(index);
  return true;
}

bool SimRack::Resume(int index) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  if (p->stallTimer) p->stallTimer->stop();
  p->firmware.StaySilent(false);
  Emit("resumed " + std::to_string(index));
  Changed(index);
  return true;
}

bool SimRack::SetDelay(int index, int ms) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  if (ms < 0) {
    Error("delay: a time of 0 ms or more");
    return false;
  }
  p->firmware.AnswerLate(static_cast<uint64_t>(ms));
  Emit("delay " + std::to_string(index) + " " + std::to_string(ms));
  Changed(index);
  return true;
}

bool SimRack::ArmFault(int index, const FirmwareFault& fault) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  p->firmware.ArmFault(fault);
  Emit(ArmedLine(index, *p->firmware.ArmedFault()));
  Changed(index);
  return true;
}

bool SimRack::AddFault(int index, const FirmwareFault& fault) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  if (!p->firmware.AddFault(fault)) {
    Error("fault " + std::to_string(index) + ": at most " + std::to_string(kMaxArmedFaults) +
          " armed");
    return false;
  }
  Emit(ArmedLine(index, p->firmware.ArmedFaults().back()));
  Changed(index);
  return true;
}

bool SimRack::ClearFault(int index) {
  SimProgrammer* p = NeedModel(index);
  if (p == nullptr) return false;
  p->firmware.DisarmFault();
  Emit("fault " + std::to_string(index) + " cleared");
  Changed(index);
  return true;
}

std::vector<std::string> SimRack::FaultLines(int index) {
  SimProgrammer* p = Find(index);
  const std::vector<FirmwareFault> armed =
      p != nullptr ? p->firmware.ArmedFaults() : std::vector<FirmwareFault>();
  if (armed.empty()) return {"fault " + std::to_string(index) + " none"};
  std::vector<std::string> lines;
  for (const FirmwareFault& fault : armed) lines.push_back(ArmedLine(index, fault));
  return lines;
}

SimRack::Snapshot SimRack::Take(const SimProgrammer& p) const {
  Snapshot s;
  s.keys = p.firmware.Keys();
  s.password = p.firmware.Password();
  s.passwordText = p.passwordText;
  s.loggedIn = p.firmware.LoggedIn();
  s.card = p.firmware.Card();
  s.uid = p.firmware.CardUid();
  s.numbers = p.firmware.CardNumbers();
  return s;
}

std::vector<std::string> SimRack::StateLines(int index) {
  SimProgrammer* p = Find(index);
  if (p == nullptr) return {};
  if (p->replay) return {"replay " + std::to_string(index) + " " + p->replay->StateText()};
  const Snapshot s = Take(*p);
  const std::string n = ' ' + std::to_string(index);
  std::vector<std::string> lines;
  lines.push_back("keys" + n + " " + KeysWord(s.keys));
  switch (s.password) {
    case PasswordState::None: lines.push_back("password" + n + " none"); break;
    case PasswordState::SetByAdministrator:
      lines.push_back("password" + n + " admin " + s.passwordText);
      break;
    case PasswordState::SetByUser:
      lines.push_back("password" + n + " user" +
                      (s.passwordText.empty() ? std::string() : ' ' + s.passwordText));
      break;
  }
  lines.push_back("login" + n + (s.loggedIn ? " yes" : " no"));
  const std::string uid = ' ' + sim::UidText(s.uid);
  switch (s.card) {
    case CardKind::None: lines.push_back("card" + n + " none"); break;
    case CardKind::DesfireEmpty: lines.push_back("card" + n + " empty" + uid); break;
    case CardKind::DesfirePrepared: lines.push_back("card" + n + " prepared" + uid); break;
    case CardKind::DesfireWithFile:
      lines.push_back("card" + n + " programmed" + uid + " dep " +
                      std::to_string(s.numbers ? s.numbers->first : 0) + " idx " +
                      std::to_string(s.numbers ? s.numbers->second : 0));
      break;
    case CardKind::Foreign: lines.push_back("card" + n + " foreign" + uid); break;
  }
  return lines;
}

void SimRack::EmitChanges(int index, const std::optional<Snapshot>& before) {
  SimProgrammer* p = Find(index);
  if (p == nullptr || p->replay) return;
  const Snapshot now = Take(*p);
  const std::vector<std::string> lines = StateLines(index);  // keys, password, login, card
  const bool changed[] = {
      !before || before->keys != now.keys,
      !before || before->password != now.password || before->passwordText != now.passwordText,
      !before || before->loggedIn != now.loggedIn,
      !before || before->card != now.card || before->uid != now.uid ||
          before->numbers != now.numbers,
  };
  for (size_t i = 0; i < lines.size() && i < std::size(changed); ++i) {
    if (changed[i]) Emit(lines[i]);
  }
  reported_[index] = now;
}

void SimRack::Emit(const std::string& line) {
  if (onLine_) onLine_(line);
}

void SimRack::Changed(int index) {
  if (onChange_) onChange_(index);
}

void SimRack::EmitReplayNotices(int index) {
  SimProgrammer* p = Find(index);
  if (p == nullptr || !p->replay) return;
  for (const ReplayNotice& notice : p->replay->TakeNotices()) {
    Emit("replay " + std::to_string(index) + " " + NoticeText(notice));
  }
}

void SimRack::OnServer(int index, ServerEvent event, const std::string& detail) {
  const std::string n = ' ' + std::to_string(index);
  switch (event) {
    case ServerEvent::Plugged: Emit("plugged" + n + " " + detail); break;
    case ServerEvent::Unplugged: Emit("unplugged" + n); break;
    case ServerEvent::ClientConnected:
      Emit("client" + n + " connected");
      EmitReplayNotices(index);  // the opening was the link the trace expected, or not
      break;
    case ServerEvent::ClientBusy: Emit("client" + n + " busy"); break;
    case ServerEvent::ClientDisconnected: Emit("client" + n + " disconnected"); break;
    case ServerEvent::ClientDropped: Emit("client" + n + " dropped " + detail); break;
    case ServerEvent::ClientRefused: Emit("client" + n + " refused " + detail); break;
  }
  Changed(index);
}

void SimRack::OnRequest(int index, std::span<const uint8_t> request,
                        const std::vector<InTransfer>& replies) {
  SimProgrammer* p = Find(index);
  if (p == nullptr) return;
  const sim::RequestSummary summary = sim::Summarise(request, replies);
  if (const auto fired = p->firmware.TakeFiredFault()) {
    Emit("fault " + std::to_string(index) + " fired " + sim::FaultText(*fired));
  }
  // The tool chose the new password; only its key reached the programmer.
  if (summary.command == sim::kCmdChangePassword &&
      summary.reply == sim::RequestSummary::Reply::Status && summary.status == sim::kStatusOk) {
    p->passwordText.clear();
  }
  if (IsPollCommand(summary)) {
    ++p->pollRequests;
  } else {
    p->lastRequest = summary;
  }
  Emit("cmd " + std::to_string(index) + " " + sim::RequestLine(summary));
  EmitReplayNotices(index);
  EmitChanges(index, reported_[index]);
  if (onRequest_) onRequest_(index, summary);
  Changed(index);
}

}  // namespace kp
