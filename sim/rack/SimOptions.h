// kpr50-sim's command line.
#pragma once

#include "sim/rack/SimRack.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kp {

struct SimOptions {
  bool help = false;
  bool version = false;
  bool headless = false;
  int programmers = 1;
  ProgrammerSetup setup;         // each programmer starts like this
  std::optional<uint64_t> seed;  // card UIDs and challenges; random when absent
  SimTransport transport = kDefaultSimTransport;
  // --replay FILE: the one programmer answers as the text trace FILE has it (ReplayFirmware).
  std::string replay;
  ReplaySpeed replaySpeed = ReplaySpeed::AsTraced;
};

inline constexpr int kMaxSimProgrammers = 8;

// `args` without the program name. False, with the reason in *error, on anything unknown.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* options, std::string* error);

// What --help prints: the options, the headless commands and the event lines.
std::string SimHelpText();

}  // namespace kp
