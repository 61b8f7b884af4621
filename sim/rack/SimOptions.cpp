#include "sim/rack/SimOptions.h"

#include "sim/rack/SimWords.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace kp {

namespace {

std::optional<PasswordSetup> PasswordOf(const std::string& text) {
  if (text == "none") return PasswordSetup{PasswordState::None, {}};
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string who = text.substr(0, colon);
  const std::string password = text.substr(colon + 1);
  if (!IsSimPassword(password)) return std::nullopt;
  if (who == "admin") return PasswordSetup{PasswordState::SetByAdministrator, password};
  if (who == "user") return PasswordSetup{PasswordState::SetByUser, password};
  return std::nullopt;
}

std::optional<CardSetup> CardOf(const std::string& text) {
  if (text == "none") return CardSetup{CardSetupKind::None, 0, 0};
  if (text == "empty") return CardSetup{CardSetupKind::Empty, 0, 0};
  if (text == "foreign") return CardSetup{CardSetupKind::Foreign, 0, 0};
  // programmed:DEP:IDX
  const std::string prefix = "programmed:";
  if (text.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::string numbers = text.substr(prefix.size());
  const size_t colon = numbers.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto department = ParseNumber<int32_t>(numbers.substr(0, colon));
  const auto index = ParseNumber<int32_t>(numbers.substr(colon + 1));
  if (!department || !index) return std::nullopt;
  return CardSetup{CardSetupKind::Programmed, *department, *index};
}

// The options without a value; false when `name` is none of them.
bool SetFlag(const std::string& name, SimOptions& o) {
  if (name == "--help" || name == "-h") {
    o.help = true;
  } else if (name == "--version") {
    o.version = true;
  } else if (name == "--headless") {
    o.headless = true;
  } else if (name == "--unplugged") {
    o.setup.plugged = false;
  } else if (name == "--no-card") {
    o.setup.card = {CardSetupKind::None, 0, 0};
  } else {
    return false;
  }
  return true;
}

constexpr std::string_view kValueOptions[] = {"--programmers", "--keys",        "--password",
                                              "--card",        "--transport",   "--seed",
                                              "--replay",      "--replay-speed"};

// What a replayed programmer takes from its trace, not from the command line.
constexpr std::string_view kModelOptions[] = {"--programmers", "--keys", "--password", "--card",
                                              "--no-card"};

bool TakesValue(const std::string& name) {
  return std::find(std::begin(kValueOptions), std::end(kValueOptions), name) !=
         std::end(kValueOptions);
}

std::optional<std::string> SetTransport(const std::optional<std::string>& text, SimOptions& o) {
  if (text == "unix") {
#if defined(_WIN32)
    return "--transport unix is not available on Windows";
#else
    o.transport = SimTransport::Unix;
#endif
  } else if (text == "tcp") {
    o.transport = SimTransport::Tcp;
  } else {
    return "--transport takes unix or tcp";
  }
  return std::nullopt;
}

// One of kValueOptions with its value, nullopt when none came; the reason when it is refused.
std::optional<std::string> SetValue(const std::string& name, const std::optional<std::string>& text,
                                    SimOptions& o) {
  if (name == "--programmers") {
    const auto n = text ? ParseNumber<int>(*text) : std::nullopt;
    if (!n || *n < 1 || *n > kMaxSimProgrammers) {
      return "--programmers takes 1 to " + std::to_string(kMaxSimProgrammers);
    }
    o.programmers = *n;
  } else if (name == "--keys") {
    const auto keys = text ? KeysOf(*text) : std::nullopt;
    if (!keys) return "--keys takes none, target or temporary";
    o.setup.keys = *keys;
  } else if (name == "--password") {
    const auto password = text ? PasswordOf(*text) : std::nullopt;
    if (!password) {
      return "--password takes none, admin:PASS or user:PASS (PASS: 1 to 20 characters of "
             "Windows-1250, Polish letters too)";
    }
    o.setup.password = *password;
  } else if (name == "--card") {
    const auto card = text ? CardOf(*text) : std::nullopt;
    if (!card) return "--card takes none, empty, foreign or programmed:DEP:IDX";
    o.setup.card = *card;
  } else if (name == "--transport") {
    return SetTransport(text, o);
  } else if (name == "--seed") {
    const auto seed = text ? ParseNumber<uint64_t>(*text) : std::nullopt;
    if (!seed) return "--seed takes a non-negative number";
    o.seed = *seed;
  } else if (name == "--replay") {
    if (!text || text->empty()) return "--replay takes a trace file (kpnox-cli --trace FILE)";
    o.replay = *text;
  } else if (name == "--replay-speed") {
    if (text != "0" && text != "1") {
      return "--replay-speed takes 0 (answers at once) or 1 (as traced)";
    }
    o.replaySpeed = text == "0" ? ReplaySpeed::AtOnce : ReplaySpeed::AsTraced;
  }
  return std::nullopt;
}

}  // namespace

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                     std::string* error) {
  SimOptions o;
  std::string modelOption;  // the first that --replay refuses
  bool speedGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (modelOption.empty() && std::find(std::begin(kModelOptions), std::end(kModelOptions),
                                         name) != std::end(kModelOptions)) {
      modelOption = name;
    }
    speedGiven = speedGiven || name == "--replay-speed";
    if (!value && SetFlag(name, o)) continue;
    if (!TakesValue(name)) {
      *error = "unknown option " + args[i];
      return false;
    }
    if (!value && i + 1 < args.size()) value = args[++i];
    if (std::optional<std::string> why = SetValue(name, value, o)) {
      *error = *why;
      return false;
    }
  }
  if (!o.replay.empty() && !modelOption.empty()) {
    *error = "--replay serves one programmer that answers as the trace has it: " + modelOption +
             " does not go with it";
    return false;
  }
  if (o.replay.empty() && speedGiven) {
    *error = "--replay-speed goes with --replay";
    return false;
  }
  *options = std::move(o);
  return true;
}

std::string SimHelpText() {
  return std::string(R"(Usage: kpr50-sim [options]

Virtual KP-R50 programmers for KpNOX Koder. Each programmer is a socket
<GUID>.<pid>.<n>.sock in $XDG_RUNTIME_DIR/kpr50-sim (else /tmp/kpr50-sim-<uid>),
or with --transport tcp a port on 127.0.0.1 announced by a file <GUID>.<pid>.<n>.port
in $XDG_RUNTIME_DIR/kpr50-sim-tcp (else /tmp/kpr50-sim-tcp-<uid>; on Windows
%LOCALAPPDATA%\kpr50-sim); the application lists them as plugged-in programmers.

Options:
  --headless             no window: commands on standard input, events on standard output
  --programmers N        host N programmers, numbered 1..N (default 1, at most 8)
  --unplugged            start them unplugged
  --keys none|target|temporary          keys in the programmers (default target)
  --password none|admin:PASS|user:PASS  the user password, set by the administrator
                         (the user must change it) or by the user
                         (default admin:)") +
         kDefaultPassword + R"()
  --card none|empty|foreign|programmed:DEP:IDX
                         the card in each field (default empty: a blank DESFire card)
  --no-card              same as --card none
  --seed N               fixed seed for card UIDs and challenges
  --version              print "kpr50-sim" and the version
  --transport unix|tcp   how the application reaches the programmers: AF_UNIX sockets
                         (default on Linux) or TCP on 127.0.0.1 (default on Windows)
  --replay FILE          one programmer that answers as a traced one did: FILE is a
                         text trace (kpnox-cli or kpnox-koder --trace FILE). Each OUT
                         line is the next request expected: it must come with the
                         same bytes, but for those the trace withheld; the IN lines
                         after it up to the next OUT are its answers (nothing for one
                         where nothing arrived; withheld bytes as zeros, with a right
                         CRC). A LINK line expects the client to connect again. The
                         first request that differs ends the replay, and so does the
                         trace's end: nothing is answered after. Not with --programmers,
                         --keys, --password, --card or --no-card
  --replay-speed 0|1     1: each answer the traced time after its request (default);
                         0: at once
  -h, --help             this text

Headless commands, one per line; n is the programmer's number, 1 when left out:
  plug [n]               plug the programmer in (create its socket)
  unplug [n]             pull it out (drop the client, remove the socket)
  card empty [n]         place a blank DESFire card (new random UID)
  card programmed DEP IDX [n]   place a DESFire card holding department DEP, index IDX
  card foreign [n]       place a card of another type
  card none [n]          take the card away
  keys none|target|temporary [n]
  password none [n]
  password admin PASS [n]        set by the administrator: the user must change it
  password user PASS [n]         set by the user
  login yes|no [n]       log the user in or out without a password
  stall                  programmer 1 stops answering until resume
  stall MS [n]           it stops answering for MS milliseconds (MS 0: until resume)
  resume [n]             it answers again
  delay MS [n]           every answer leaves MS milliseconds after its request (0: at once)
  fault KIND COMMAND[:N] [n]     one failure at the N-th request of COMMAND from now (N 1
                         when left out), once; it replaces all faults armed. KIND:
                         drop-before  the link is lost, the command is not carried out
                         drop-after   the command is carried out, the link is lost, no reply
                         card-leave   the card leaves just before the command, which finds
                                      no card; the card keeps what it held
                         card-swap    the same, and a new blank card takes its place
                         stall        no answer to the command nor to its resend; it is
                                      not carried out
                         twice        the command is carried out, its answer comes twice
                         wrong-length the command is carried out, its answer is a good
                                      frame with one extra payload byte 0
                         garbage      the command is carried out, its answer is bytes that
                                      form no frame
  fault delay MS COMMAND[:N] [n] the command is carried out, its answer leaves MS late
  fault also KIND ...    the same, armed beside those armed (at most 4); each counts from
                         its own arming, and of two due at one request the first armed
                         fires, the other at the command's next request
  fault clear [n]        disarm all faults (and end a stall one began)
                         COMMAND: a name of the cmd lines (prepare-card ...), a short
                         name (info, prepare, write, read, erase, change) or 0xHH
  add                    add a programmer (defaults as at start-up) under the next free number
  remove n               unplug and remove programmer n
  state [n]              print the programmer's state lines and its fault lines
  quit                   unplug everything and end (so does the end of the input)
Lines that are empty or start with # are ignored. PASS: 1 to 20 characters, no
spaces, in UTF-8; Polish and the other letters of Windows-1250 are taken, and the key
comes from the Windows-1250 bytes, as KpNOX Koder derives it. A programmer that
replays a trace refuses the commands that change its state or its answers.

Events, one line each on standard output, flushed at once:
  ready                          start-up done
  added n | removed n
  plugged n PATH | unplugged n
  client n connected             a client (the application) holds programmer n
  client n busy                  a second client was turned away
  client n disconnected          the client closed its end
  client n dropped REASON        the simulator let it go (unplugged, too-large, error)
  client n refused REASON        (tcp) a connection closed before it became a client:
                                 token (wrong or none), time-out, too-many
  cmd n L NAME [DETAILS] -> REPLY
      one request the client sent: L its command letter (- when the transfer is no
      frame, ? when not printable), NAME status, key-signature, logout, challenge,
      card-info, login, change-password, prepare-card, write-file, read-file,
      erase-card, unknown 0xHH or garbage; DETAILS "card UID" and "dep D idx I";
      REPLY ok, accepted, refused HH, no card, no reply, garbage, word 0xHHHH,
      a key signature, challenge, "card UID desfire empty|prepared|programmed",
      "card UID type T", "card UID dep D idx I" or "N bytes"
      e.g. cmd 1 P write-file card 04A1B2C3D4E5F600 dep 12 idx 7 -> ok
  keys n none|target|temporary
  password n none | password n admin PASS | password n user [PASS]
  login n yes|no
  card n none | card n empty UID | card n prepared UID | card n foreign UID
  card n programmed UID dep D idx I
  stalled n [MS] | resumed n     answers stopped (for MS milliseconds), answers again
  delay n MS                     answers now leave MS milliseconds late
  fault n armed KIND [MS] COMMAND N   a fault waits for the N-th COMMAND (state: one
                                      line for each armed fault)
  fault n fired KIND [MS] COMMAND N   it fired at that request (before its cmd line)
  fault n cleared | fault n none      disarmed; none armed (state)
  replay n loaded: R requests, L links   (--replay) what the trace holds
  replay n mismatch at line L: expected OUT ..., came OUT ...[; DIFFERENCE]
                                 the request (or "a new link": the client connected) is
                                 not the one the trace's line L has; no more answers
  replay n finished              the trace's last step came; no more answers
  replay n next line L | replay n stopped at line L   (state) where the replay stands
  error TEXT                     a command or option that could not be done
State lines come whenever the state changes, from a command or a client's request.
)";
}

}  // namespace kp
