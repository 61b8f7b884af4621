// kpnox-cli doctor: from the facts the platform gathered (platform/doctor), the one verdict
// on why no programmer is usable, the one next step, Polish and English, and the report as
// text for people or one JSON object for support scripts.
#pragma once

#include "platform/doctor/DoctorFacts.h"

#include <ostream>
#include <string>

namespace kp::doctor {

enum class Verdict : uint8_t {
  Ready,           // exactly one real programmer opens
  TwoProgrammers,  // more than one programmer opens (real or simulated): the programs refuse
  Held,            // a programmer another program holds
  NoPermission,    // a programmer this user may not open
  Broken,          // a programmer that fails to open for another reason
  NoDriver,        // Windows: a device with the programmer's marks that WinUSB does not serve
  NotNamed,        // Linux: a device that may be the programmer, that nothing names as one
  SimulatorOnly,   // only kpr50-sim's programmers: a training PC
  Unplugged,       // Windows: the programmer was here before, it is not plugged in now
  NoList,          // the system's device list could not be had
  NoDevice,        // nothing that may be a programmer
};

struct Judgement {
  Verdict verdict = Verdict::NoDevice;
  int exitCode = 0;
  std::string stepPl;  // the one next step
  std::string stepEn;
};

// "ready", "held", ...: the verdict's word in the JSON report.
const char* VerdictWord(Verdict verdict);

Judgement Judge(const Facts& facts);

std::string DoctorText(const Facts& facts, const Judgement& judgement);
// One JSON object, one line.
std::string DoctorJson(const Facts& facts, const Judgement& judgement);

// Gathers the facts for the KP-R50, writes the report; the exit code.
int RunDoctor(std::ostream& out, bool json);

}  // namespace kp::doctor
