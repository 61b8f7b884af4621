// What kpnox-cli doctor finds out about this machine when no programmer is seen: the USB
// devices that may be the programmer and why each does or does not open, the udev rule, the
// device nodes and who holds them (Linux), the WinUSB binding (Windows), and kpr50-sim's
// programmers. Facts only: which of them matters, and what to do, is cli/Doctor's to say.
// This is the one place besides the backends that looks at USB, sysfs, /proc, /dev or
// SetupAPI; the backends' own listing is reused, so the doctor sees what the programs see.
#pragma once

#include "platform/UsbPlatform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kp::doctor {

// How a try to open the device as the programs open it ended.
enum class Open : uint8_t {
  NotTried,      // not known to be a programmer, or nothing could open it anyway
  Opened,        // opened and given back: usable
  NoPermission,  // this user may not open it
  Held,          // another program has it
  Failed,        // anything else (gone meanwhile, a broken device)
};

// Why the device is among those that may be the programmer.
enum class FoundBy : uint8_t {
  UdevRule,         // udev tagged it with the interface class (Linux)
  MsOsDescriptors,  // its Microsoft OS descriptors name the class (Linux)
  VendorInterface,  // only a vendor-specific interface with bulk pipes: not named
  InterfaceClass,   // a member of the class in SetupAPI (Windows)
  DeviceRegistry,   // its device key names the class, but no WinUSB binds it (Windows)
  NoDriver,         // a vendor-specific USB device without any driver (Windows)
};

// The device node's permissions for this user (Linux).
struct NodeAccess {
  std::string path;  // "/dev/bus/usb/001/005"
  bool exists = false;
  std::string owner;  // the name, or the number when it has none
  std::string group;
  uint32_t mode = 0;       // permission bits
  bool readWrite = false;  // this user may open it for reading and writing
  // Named users and groups of its ACL ("user:anna:rw-", "mask::rw-"); empty: no ACL;
  // nothing: it cannot be told (no xattr support, or not allowed to read it).
  std::optional<std::vector<std::string>> acl;
};

// A process that has the device node open (Linux).
struct Holder {
  long pid = 0;
  std::string name;  // its comm, "" where it cannot be read
  bool operator==(const Holder&) const = default;
};

struct UsbDevice {
  FoundBy foundBy = FoundBy::VendorInterface;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;     // "" when it has none or it cannot be read
  std::string interface;  // interface 0, "ff/00/00, bulk IN 81, bulk OUT 01" (Linux)
  Open open = Open::NotTried;
  // Linux.
  uint8_t bus = 0;
  uint8_t address = 0;
  bool unreadable = false;  // it could not be read to tell whether it is a programmer
  std::string driver;       // interface 0's kernel driver; "usbfs": claimed by a program
  NodeAccess node;
  std::vector<Holder> holders;  // other processes with the node open, as far as seen
  bool holdersComplete = true;  // false: some processes' files could not be looked at
  // Windows.
  std::string instanceId;  // "USB\VID_1A2B&PID_3C4D\00001A2B"
  std::string service;     // the driver that holds it ("WinUSB"), "" for none
  bool present = true;     // plugged in now (a member of the class seen before is kept)
};

// One udev rules file that sets the class property (Linux).
struct RuleFile {
  enum class State : uint8_t {
    Template,  // as shipped: the marked line still commented out, no active line
    Filled,    // active lines with ids
    Broken,    // an active line without usable ids (placeholders left in it)
  };
  std::string path;
  State state = State::Template;
  std::vector<std::string> ids;  // "1a2b:3c4d" of the active lines, as written
  bool overridden = false;       // a file of the same name in a folder read first hides it
};

// One of kpr50-sim's programmers, found by its socket or announce file.
struct SimulatorProgrammer {
  std::string place;      // "kpr50-sim 4711.1": the server's pid and the programmer's number
  std::string transport;  // "unix" or "tcp"
  Open open = Open::NotTried;
};

struct Facts {
  enum class System : uint8_t { Linux, Windows, Other };
  System system = System::Other;
  std::vector<UsbDevice> devices;
  std::vector<SimulatorProgrammer> simulators;
  bool listed = true;  // false: the system's device list could not be had at all
  // Linux.
  std::string libusbVersion;
  bool udevRunning = false;
  bool container = false;
  std::vector<RuleFile> rules;  // in the order udev reads the folders
};

// Where the Linux facts are read; a test points these at a fake tree or umockdev's. The
// device list itself is libusb's and udev's, which read the real /sys (umockdev fakes it).
struct Roots {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
  std::string files;  // before /etc, /usr, /lib, /run and /.dockerenv
};

// Everything there is to find out on this system about the programmers of `interfaceClass`.
// Opens each device that is known to be a programmer once, as the programs do, and gives it
// back. On Windows the SetupAPI calls are the system's (WindowsFacts.h for others).
Facts GatherFacts(const Guid& interfaceClass, const Roots& roots = {});

// The rule file's text: its state and the ids of its active lines.
RuleFile ReadRule(const std::string& text);

// The simulator's programmers of the class, from the folders the programs look in.
std::vector<SimulatorProgrammer> GatherSimulators(const Guid& interfaceClass);

}  // namespace kp::doctor
