// kpr50-sim --headless: commands on standard input, one event line per change on standard
// output, no display needed.
#pragma once

#include "sim/rack/SimOptions.h"

#include <memory>

namespace kp {

// Runs until "quit", the end of the input or a quit signal; returns the exit code. With a
// replay its programmer is the only one at the start.
int RunHeadless(int& argc, char** argv, const SimOptions& options, uint64_t seed,
                std::unique_ptr<ReplayFirmware> replay);

}  // namespace kp
