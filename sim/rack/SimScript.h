// The headless mode's commands, one per line (the list is in SimOptions.cpp's help text).
#pragma once

#include "sim/rack/SimRack.h"

#include <string>

namespace kp {

enum class ScriptOutcome { Continue, Quit };

// Carries out one input line on the rack. Blank lines and lines starting with '#' do
// nothing; a line that cannot be done gives one "error ..." line and changes nothing.
ScriptOutcome RunScriptLine(SimRack& rack, const std::string& line);

}  // namespace kp
