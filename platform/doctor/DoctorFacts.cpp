// What every system shares: the simulator's programmers, the udev rule's text, and the
// listing through the seam.
#include "platform/doctor/DoctorFacts.h"

#include "platform/doctor/SeamListing.h"
#include "platform/simclient/SimTcpPlatform.h"
#if !defined(_WIN32)
#include "platform/simclient/SimUnixPlatform.h"
#endif

#include <cctype>
#include <sstream>

namespace kp::doctor {

std::vector<std::string> ListPaths(UsbPlatform& platform, const Guid& interfaceClass) {
  std::vector<std::string> paths;
  const DevInfoHandle list = platform.SetupDiGetClassDevsA(interfaceClass);
  if (list == kInvalidHandle) return paths;
  DeviceInterfaceData member;
  for (uint32_t i = 0; platform.SetupDiEnumDeviceInterfaces(list, interfaceClass, i, &member);
       ++i) {
    uint32_t size = 0;
    platform.SetupDiGetDeviceInterfaceDetailA(list, member, nullptr, 0, &size);
    if (size == 0) continue;
    std::string path(size, '\0');
    if (!platform.SetupDiGetDeviceInterfaceDetailA(list, member, path.data(), size, &size))
      continue;
    path.resize(path.find('\0'));
    paths.push_back(std::move(path));
  }
  platform.SetupDiDestroyDeviceInfoList(list);
  return paths;
}

Open TryOpen(UsbPlatform& platform, const std::string& path, const std::string& where) {
  const FileHandle file = platform.CreateFileA(path.c_str());
  if (file != kInvalidHandle) {
    platform.CloseHandle(file);
    return Open::Opened;
  }
  for (const UnreachableDevice& device : platform.UnreachableDevices()) {
    if (device.where != where) continue;
    return device.why == Unreachable::NoPermission ? Open::NoPermission : Open::Held;
  }
  return Open::Failed;
}

namespace {

void AddSimulators(SimClientPlatform& platform, const char* transport, const Guid& interfaceClass,
                   std::vector<SimulatorProgrammer>* found) {
  for (const std::string& path : ListPaths(platform, interfaceClass)) {
    SimulatorProgrammer programmer{SimClientPlatform::PlaceOf(path), transport};
    programmer.open = TryOpen(platform, path, programmer.place);
    found->push_back(std::move(programmer));
  }
}

// `ATTR{name}=="value"` in a rule line: the value, "" when the key is not there.
std::string MatchValue(const std::string& line, const std::string& name) {
  for (const char* key : {"ATTR{", "ATTRS{"}) {
    const std::string pattern = key + name + "}==\"";
    const size_t at = line.find(pattern);
    if (at == std::string::npos) continue;
    const size_t start = at + pattern.size();
    const size_t end = line.find('"', start);
    if (end != std::string::npos) return line.substr(start, end - start);
  }
  return {};
}

bool IsHexId(const std::string& id) {
  if (id.size() != 4) return false;
  for (const char c : id) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

}  // namespace

std::vector<SimulatorProgrammer> GatherSimulators(const Guid& interfaceClass) {
  std::vector<SimulatorProgrammer> found;
#if !defined(_WIN32)
  SimUnixPlatform sockets;
  AddSimulators(sockets, "unix", interfaceClass, &found);
#endif
  SimTcpPlatform tcp;
  AddSimulators(tcp, "tcp", interfaceClass, &found);
  return found;
}

RuleFile ReadRule(const std::string& text) {
  RuleFile rule;
  bool broken = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    if (line.find("KPNOX_DEVICE_INTERFACE_GUIDS") == std::string::npos) continue;
    const std::string vendor = MatchValue(line, "idVendor");
    const std::string product = MatchValue(line, "idProduct");
    if (IsHexId(vendor) && IsHexId(product)) {
      rule.ids.push_back(vendor + ":" + product);
    } else {
      broken = true;
    }
  }
  rule.state = !rule.ids.empty() ? RuleFile::State::Filled
               : broken          ? RuleFile::State::Broken
                                 : RuleFile::State::Template;
  return rule;
}

#if !defined(_WIN32) && !KP_HAVE_LIBUSB_PLATFORM
Facts GatherFacts(const Guid& interfaceClass, const Roots&) {
  Facts facts;
  facts.simulators = GatherSimulators(interfaceClass);
  return facts;
}
#endif

}  // namespace kp::doctor
