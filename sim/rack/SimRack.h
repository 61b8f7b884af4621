// SimRack: the virtual programmers one kpr50-sim process hosts, each a firmware model on its
// own socket, numbered from 1. Every change, whether the control window, a script line or a
// client's request made it, comes out as one event line (the format is in sim/process/main.cpp) and
// as a change notice for the window.
#pragma once

#include "sim/rack/RequestText.h"
#include "sim/rack/SimPassword.h"
#include "sim/server/SimSocketServer.h"
#include "sim/firmware/ReplayFirmware.h"
#include "sim/firmware/VirtualKpR50.h"

#include <cstdint>
#include <functional>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kp {

// The user password the administrator has set on a fresh simulated programmer.
inline constexpr char kDefaultPassword[] = "admin123";
inline constexpr uint32_t kTargetKeySignature = 0x3A7F19C4;
inline constexpr uint32_t kTemporaryKeySignature = 0x0000AB01;

struct PasswordSetup {
  PasswordState state = PasswordState::SetByAdministrator;
  std::string text = kDefaultPassword;  // UTF-8, a password IsSimPassword takes, unless None
};

enum class CardSetupKind { None, Empty, Programmed, Foreign };

struct CardSetup {
  CardSetupKind kind = CardSetupKind::Empty;
  int32_t department = 0;  // Programmed only
  int32_t index = 0;
};

struct ProgrammerSetup {
  bool plugged = true;
  KeyState keys = KeyState::Target;
  PasswordSetup password;
  CardSetup card;
};

// One hosted programmer. The firmware and the replay are declared first: the server refers to
// one of them.
struct SimProgrammer {
  SimProgrammer(int index, uint64_t seed, SimTransport transport,
                std::unique_ptr<ReplayFirmware> replayed = nullptr);

  VirtualKpR50 firmware;
  // When set, it answers the client in place of the firmware (kpr50-sim --replay), the
  // serial number is the trace's, and the firmware's state stands for nothing.
  std::unique_ptr<ReplayFirmware> replay;
  SimSocketServer server;
  // The user password as typed here; empty when none is set or the tool changed it.
  std::string passwordText;
  // The latest request other than the poll's, for the window.
  std::optional<sim::RequestSummary> lastRequest;
  uint64_t pollRequests = 0;
  // Ends a stall of a set length; stopped when the stall ends otherwise.
  std::unique_ptr<QTimer> stallTimer;
};

class SimRack {
 public:
  using LineSink = std::function<void(const std::string& line)>;
  using ChangeSink = std::function<void(int index)>;
  using RequestSink = std::function<void(int index, const sim::RequestSummary& summary)>;

  // Every programmer is served over `transport`.
  explicit SimRack(uint64_t seed, SimTransport transport = kDefaultSimTransport);
  ~SimRack();
  SimRack(const SimRack&) = delete;
  SimRack& operator=(const SimRack&) = delete;

  void SetLineSink(LineSink sink) { onLine_ = std::move(sink); }
  void SetChangeSink(ChangeSink sink) { onChange_ = std::move(sink); }
  void SetRequestSink(RequestSink sink) { onRequest_ = std::move(sink); }

  // Adds a programmer under the lowest free number and returns it; plugs it if asked.
  int Add(const ProgrammerSetup& setup);
  // Adds a programmer that answers as `replay` says (without one, as Add does), plugged in if
  // asked. "replay n loaded: ..." tells what the trace holds, later "replay n ..." lines its
  // course; the commands that change a programmer's state or answers refuse this one.
  int AddReplay(std::unique_ptr<ReplayFirmware> replay, bool plugged);
  bool Remove(int index);
  std::vector<int> Indexes() const;
  SimProgrammer* Find(int index);

  // Each returns false, after an "error ..." line, when it cannot be done.
  bool Plug(int index);
  bool Unplug(int index);
  bool SetKeys(int index, KeyState keys);
  bool SetPassword(int index, const PasswordSetup& password);
  bool SetCard(int index, const CardSetup& card);
  bool SetLoggedIn(int index, bool loggedIn);
  // The programmer stops answering requests (they go unanswered, as to a hung device): for
  // `ms` milliseconds, or until Resume when `ms` is 0. Resume makes it answer again.
  bool Stall(int index, int ms);
  bool Resume(int index);
  // Every answer leaves `ms` milliseconds after its request (0: at once).
  bool SetDelay(int index, int ms);
  void UnplugAll();
  // Arms a one-shot fault (see VirtualKpR50) in place of all armed: "fault n armed ..." now,
  // "fault n fired ..." when the chosen request comes. AddFault arms one more beside them
  // (false, after an error line, when kMaxArmedFaults are). ClearFault disarms them all and
  // ends a fault's stall.
  bool ArmFault(int index, const FirmwareFault& fault);
  bool AddFault(int index, const FirmwareFault& fault);
  bool ClearFault(int index);
  // "fault n armed KIND [MS] COMMAND N" for each armed fault, first armed first, or the one
  // line "fault n none", for the state command.
  std::vector<std::string> FaultLines(int index);

  // The state lines of one programmer, as they come out on a change; of a replaying one, the
  // one line "replay n next line L" (or "stopped at line L", "finished").
  std::vector<std::string> StateLines(int index);
  void Error(const std::string& text) { Emit("error " + text); }
  void Echo(const std::string& line) { Emit(line); }

 private:
  struct Snapshot {
    KeyState keys = KeyState::None;
    PasswordState password = PasswordState::None;
    std::string passwordText;
    bool loggedIn = false;
    CardKind card = CardKind::None;
    VirtualKpR50::Uid uid{};
    std::optional<std::pair<int32_t, int32_t>> numbers;
  };

  SimProgrammer* Need(int index);
  // Need, and not one that replays a trace.
  SimProgrammer* NeedModel(int index);
  int Insert(std::unique_ptr<ReplayFirmware> replay);
  // Change the firmware without reporting; the callers report.
  static void ApplyKeys(SimProgrammer& p, KeyState keys);
  static bool ApplyPassword(SimProgrammer& p, const PasswordSetup& password);
  static void ApplyCard(SimProgrammer& p, const CardSetup& card);
  Snapshot Take(const SimProgrammer& p) const;
  // Emits a line for each aspect that differs from `before` (all of them when none).
  void EmitChanges(int index, const std::optional<Snapshot>& before);
  void Emit(const std::string& line);
  void Changed(int index);
  void EmitReplayNotices(int index);
  void OnServer(int index, ServerEvent event, const std::string& detail);
  void OnRequest(int index, std::span<const uint8_t> request,
                 const std::vector<InTransfer>& replies);

  uint64_t seed_;
  SimTransport transport_;
  std::map<int, std::unique_ptr<SimProgrammer>> programmers_;
  // The state as last reported, to tell what a request changed.
  std::map<int, Snapshot> reported_;
  LineSink onLine_;
  ChangeSink onChange_;
  RequestSink onRequest_;
};

}  // namespace kp
