// What a simulated programmer's server drives: the firmware behind one device. The model
// (VirtualKpR50) and the replay of a trace (ReplayFirmware) both are one, so that the
// simulator serves either the same way.
#pragma once

#include "platform/virtual/VirtualBus.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kp {

class ServedFirmware {
 public:
  virtual ~ServedFirmware() = default;

  // One OUT transfer in, the IN transfers it answers with out (none, one or several).
  virtual std::vector<InTransfer> HandleRequest(std::span<const uint8_t> request) = 0;
  // A client opened the device; what the device offers it before any request.
  virtual std::vector<InTransfer> Opened() { return {}; }
  // What vanishing means for the transport; a firmware that never vanishes ignores it.
  virtual void SetVanishHandler(std::function<void()> handler) { (void)handler; }

 protected:
  ServedFirmware() = default;
  ServedFirmware(const ServedFirmware&) = default;
  ServedFirmware& operator=(const ServedFirmware&) = default;
};

}  // namespace kp
