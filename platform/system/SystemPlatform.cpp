#include "platform/system/SystemPlatform.h"

#include "simwire/SimTcpProtocol.h"

#if defined(_WIN32)
#include "platform/CompositePlatform.h"
#include "platform/simclient/SimTcpPlatform.h"
#include "platform/usb/WinUsbPlatform.h"
#elif defined(__unix__)
#include <sys/utsname.h>

#include "platform/CompositePlatform.h"
#include "platform/simclient/SimUnixPlatform.h"
#include "platform/simclient/SimTcpPlatform.h"
#if KP_HAVE_LIBUSB_PLATFORM
#include "platform/usb/LibusbPlatform.h"
#endif
#else
#include "platform/NullPlatform.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kp {

std::unique_ptr<UsbPlatform> MakeSystemPlatform() {
#if defined(_WIN32)
  auto composite = std::make_unique<CompositePlatform>();
  composite->Add(std::make_unique<WinUsbPlatform>());
  composite->Add(std::make_unique<SimTcpPlatform>());
  return composite;
#elif defined(__unix__)
  auto composite = std::make_unique<CompositePlatform>();
#if KP_HAVE_LIBUSB_PLATFORM
  composite->Add(std::make_unique<LibusbPlatform>());
#endif
  composite->Add(std::make_unique<SimUnixPlatform>());
  composite->Add(std::make_unique<SimTcpPlatform>());
  return composite;
#else
  return std::make_unique<NullPlatform>();
#endif
}

namespace {

// A simulator's TCP programmers are announced on every system.
std::string SimTcpText() {
  return "kpr50-sim over TCP on 127.0.0.1, announced in " + simtcp::AnnounceDirectory();
}

}  // namespace

std::string SystemBackendsText() {
#if defined(_WIN32)
  return "WinUSB; " + SimTcpText();
#elif defined(__unix__)
  std::string text;
#if KP_HAVE_LIBUSB_PLATFORM
  text = "libusb; ";
#endif
  return text + "kpr50-sim over AF_UNIX in " + simsock::SocketDirectory() + "; " + SimTcpText();
#else
  return "none";
#endif
}

#if defined(_WIN32)

std::string SystemText() {
  // GetVersionEx answers what the program's manifest claims; ntdll tells the truth.
  struct VersionInfo {
    ULONG size;
    ULONG major;
    ULONG minor;
    ULONG build;
    ULONG platform;
    WCHAR servicePack[128];
  };
  using RtlGetVersion = LONG(WINAPI*)(VersionInfo*);
  using WineGetVersion = const char*(CDECL*)();
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  std::string text = "Windows";
  if (ntdll == nullptr) return text;
  VersionInfo info{};
  info.size = sizeof info;
  // Through void (*)(): a cast between two other function types would be warned about.
  const auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (get != nullptr && get(&info) == 0) {
    // Piece by piece: GCC 12 at -O3 takes " " + a temporary for an overlapping copy.
    text += ' ';
    text += std::to_string(info.major);
    text += '.';
    text += std::to_string(info.minor);
    text += " build ";
    text += std::to_string(info.build);
  }
  const auto wine = reinterpret_cast<WineGetVersion>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine != nullptr) text += std::string(" (Wine ") + wine() + ")";
  return text;
}

#elif defined(__unix__)

std::string SystemText() {
  struct utsname name {};
  if (uname(&name) != 0) return "Unix";
  return std::string(name.sysname) + " " + name.release + " " + name.version + " " + name.machine;
}

#else

std::string SystemText() { return "unknown"; }

#endif

}  // namespace kp
