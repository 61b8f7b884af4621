// What kpnox-cli's batch costs beyond the programmer's own time: 100 cards through the whole
// command (login, the polls for each card and for it to leave, the status read before each
// card, the records) beside the same 100 cards programmed the way the window does it (login,
// then a status read and ProgramCard per card). Both run against the in-process virtual
// programmer, whose answers take no time and whose waits are virtual: what is left is the
// host's own work.
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "crypto/PasswordKey.h"
#include "link/KpCommands.h"
#include "link/Tracecom.h"
#include "programmer/KpR50.h"
#include "sim/firmware/VirtualKpR50.h"

#include <benchmark/benchmark.h>

#include <array>
#include <sstream>

namespace kp {
namespace {

constexpr int kCards = 100;

// A programmer whose field gets a fresh blank card whenever it is asked while empty, and
// loses the card once it holds the file: a person who is never slow.
struct Desk {
  Desk() {
    fw.SetKeys(KeyState::Target);
    std::array<uint8_t, 16> key{};
    DerivePasswordKey("user", "haslo123", key.data());
    fw.SetPasswordKey(key.data(), PasswordState::SetByUser);
    const VirtualBus::DeviceId id = fw.PlugInto(bus);
    bus.SetFirmware(id, [this](std::span<const uint8_t> request) {
      if (request.size() > 2 && request[2] == kCmdCardInfo) {
        if (fw.Card() == CardKind::None) {
          const VirtualKpR50::Uid uid = fw.RandomUid();
          fw.PlaceEmptyCard(uid.data());
        } else if (fw.Card() == CardKind::DesfireWithFile) {
          fw.RemoveCard();
        }
      }
      return fw.HandleRequest(request);
    });
  }
  VirtualBus bus;
  VirtualKpR50 fw{3};
};

void BM_CliBatch100Cards(benchmark::State& state) {
  const CliOptions options = *ParseCliOptions({"batch", "--department", "1", "--first-index", "1",
                                               "--count", std::to_string(kCards)})
                                  .options;
  const std::vector<CardRow> rows = RangeRows(options);
  for (auto _ : state) {
    Desk desk;
    std::ostringstream out;
    std::ostringstream err;
    const std::atomic<bool> stop{false};
    RecordWriter records(out, false);
    CliContext context{desk.bus,
                       out,
                       records,
                       err,
                       [](const char*) { return std::optional<std::u16string>(u"haslo123"); },
                       false,
                       stop,
                       [] { return std::string("T"); }};
    if (RunCliCommand(options, rows, context) != kExitDone) state.SkipWithError("batch failed");
    state.counters["virtual_wait_ms"] = static_cast<double>(desk.bus.SleptMs());
  }
}
BENCHMARK(BM_CliBatch100Cards)->Unit(benchmark::kMillisecond);

void BM_Window100Cards(benchmark::State& state) {
  for (auto _ : state) {
    Desk desk;
    KpR50 r50(desk.bus, &kKpR50InterfaceGuid, traceSink);
    r50.Link();
    r50.Logout();
    r50.ReadStatusAndSignature();
    std::array<uint8_t, 16> key{};
    DerivePasswordKey("user", "haslo123", key.data());
    if (!r50.Authenticate("user", key.data())) state.SkipWithError("login refused");
    for (int i = 0; i < kCards; ++i) {
      r50.ReadStatus(kStatusTimeoutMs);
      r50.ReadCardInfo();  // the field gets its card, as when the operator lays it down
      if (r50.ProgramCard(1, i + 1) != kCardOk) state.SkipWithError("card refused");
    }
    r50.Logout();
  }
}
BENCHMARK(BM_Window100Cards)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kp
