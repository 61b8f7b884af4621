// The doctor's use of a backend through the seam, as the link uses it: a listing, and one
// open given back at once.
#pragma once

#include "platform/doctor/DoctorFacts.h"

#include <string>
#include <vector>

namespace kp::doctor {

// The paths of the class's present devices, in list order.
std::vector<std::string> ListPaths(UsbPlatform& platform, const Guid& interfaceClass);

// Opens `path` and closes it again; a refusal is told apart by the backend's word for the
// device at `where` (UnreachableDevices).
Open TryOpen(UsbPlatform& platform, const std::string& path, const std::string& where);

}  // namespace kp::doctor
