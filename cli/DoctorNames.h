// How the doctor's verdict and its reports name a USB device: its ids as lsusb shows them
// ("1209:0001") and its place on the bus ("001/007").
#pragma once

#include "platform/doctor/DoctorFacts.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace kp::doctor {

inline std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", unsigned{value});
  return text;
}

inline std::string Ids(const UsbDevice& d) { return Hex4(d.vendorId) + ":" + Hex4(d.productId); }

// As lsusb names a device: "001/007".
inline std::string Where(const UsbDevice& d) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u/%03u", unsigned{d.bus}, unsigned{d.address});
  return text;
}

}  // namespace kp::doctor
