// The Linux facts: libusb's listing, then sysfs, the device node, /proc and the udev rule
// folders for each device that may be the programmer.
#include "platform/doctor/DoctorFacts.h"

#include "platform/doctor/SeamListing.h"
#include "platform/usb/LibusbPlatform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kp::doctor {

namespace {

// Every file the doctor reads is small; anything longer is not what it looks for.
constexpr std::streamsize kMaxSysfsText = 512;
constexpr std::streamsize kMaxRuleFile = 1 << 20;

// The folders udev reads rules from, first the ones whose files hide those of the same name
// further down.
constexpr const char* kRuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                        "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                        "/lib/udev/rules.d"};

std::optional<std::string> ReadSmallFile(const std::string& path, std::streamsize limit) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(static_cast<size_t>(limit) + 1, '\0');
  file.read(text.data(), limit + 1);
  const std::streamsize n = file.gcount();
  if (n > limit) return std::nullopt;
  text.resize(static_cast<size_t>(n));
  return text;
}

// A sysfs attribute without its newline; "" when it cannot be read.
std::string Attribute(const std::string& path) {
  std::string text = ReadSmallFile(path, kMaxSysfsText).value_or("");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::optional<uint16_t> HexId(const std::string& text) {
  if (text.size() != 4) return std::nullopt;
  unsigned value = 0;
  if (std::sscanf(text.c_str(), "%4x", &value) != 1) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::string LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) == sizeof target) return {};
  return std::string(target, static_cast<size_t>(n));
}

std::string NameAfterSlash(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string UserName(uid_t uid) {
  if (const passwd* user = ::getpwuid(uid)) return user->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

// The ACL of a node from its xattr, as the kernel stores it (a version, then tag, permission
// and id of each entry, little-endian), without getfacl or libacl.
std::optional<std::vector<std::string>> ReadAcl(const std::string& path) {
  constexpr uint32_t kAclVersion = 2;
  enum : uint16_t { kUser = 0x02, kGroup = 0x08, kMask = 0x10 };
  uint8_t raw[1024];
  const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", raw, sizeof raw);
  if (n < 0) {
    if (errno == ENODATA) return std::vector<std::string>{};
    return std::nullopt;  // no xattr support, too long, or not allowed: it cannot be told
  }
  auto le = [&](size_t at, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= uint32_t{raw[at + i]} << (8 * i);
    return v;
  };
  if (n < 4 || (n - 4) % 8 != 0 || le(0, 4) != kAclVersion) return std::nullopt;
  std::vector<std::string> entries;
  for (size_t at = 4; at + 8 <= static_cast<size_t>(n); at += 8) {
    const auto tag = static_cast<uint16_t>(le(at, 2));
    const uint32_t perm = le(at + 2, 2);
    const uint32_t id = le(at + 4, 4);
    const std::string bits =
        std::string(perm & 4 ? "r" : "-") + (perm & 2 ? "w" : "-") + (perm & 1 ? "x" : "-");
    if (tag == kUser) entries.push_back("user:" + UserName(id) + ":" + bits);
    if (tag == kGroup) entries.push_back("group:" + GroupName(id) + ":" + bits);
    if (tag == kMask) entries.push_back("mask::" + bits);
  }
  return entries;
}

NodeAccess ReadNode(const std::string& path) {
  NodeAccess node;
  node.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return node;
  node.exists = true;
  node.owner = UserName(st.st_uid);
  node.group = GroupName(st.st_gid);
  node.mode = st.st_mode & 07777;
  // Opening is the one test that weighs the mode, the ACL, the effective ids and the
  // capabilities as the kernel does; usbfs does nothing on an open alone.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  node.readWrite = fd >= 0;
  if (fd >= 0) ::close(fd);
  node.acl = ReadAcl(path);
  return node;
}

// Every other process with `node` open, as far as /proc lets this user see.
void FindHolders(const std::string& procRoot, const std::set<std::string>& node,
                 UsbDevice* device) {
  DIR* processes = ::opendir(procRoot.c_str());
  if (processes == nullptr) {
    device->holdersComplete = false;
    return;
  }
  const long self = static_cast<long>(::getpid());
  while (const dirent* entry = ::readdir(processes)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9 ||
        std::stol(pid) == self) {
      continue;
    }
    const std::string fdFolder = procRoot + "/" + pid + "/fd";
    DIR* fds = ::opendir(fdFolder.c_str());
    if (fds == nullptr) {
      if (errno != ENOENT) device->holdersComplete = false;  // ENOENT: it has just ended
      continue;
    }
    bool holds = false;
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      if (node.contains(LinkTarget(fdFolder + "/" + fd->d_name))) holds = true;
    }
    ::closedir(fds);
    if (holds)
      device->holders.push_back({std::stol(pid), Attribute(procRoot + "/" + pid + "/comm")});
  }
  ::closedir(processes);
  std::sort(device->holders.begin(), device->holders.end(),
            [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<RuleFile> ReadRules(const std::string& root) {
  std::vector<RuleFile> rules;
  std::set<std::string> names;             // files seen in a folder read earlier
  std::set<std::pair<dev_t, ino_t>> seen;  // /lib is often /usr/lib
  for (const char* folder : kRuleFolders) {
    const std::string path = root + folder;
    struct stat folderStat {};
    if (::stat(path.c_str(), &folderStat) != 0 ||
        !seen.insert({folderStat.st_dev, folderStat.st_ino}).second) {
      continue;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) continue;
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 6 && name.ends_with(".rules")) files.push_back(name);
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) {
      const bool hidden = !names.insert(name).second;
      const std::optional<std::string> text = ReadSmallFile(path + "/" + name, kMaxRuleFile);
      if (!text || text->find("KPNOX_DEVICE_INTERFACE_GUIDS") == std::string::npos) continue;
      RuleFile rule = ReadRule(*text);
      rule.path = std::string(folder) + "/" + name;
      rule.overridden = hidden;
      rules.push_back(std::move(rule));
    }
  }
  return rules;
}

std::string NodePath(const std::string& devRoot, uint8_t bus, uint8_t address) {
  char name[32];
  std::snprintf(name, sizeof name, "/bus/usb/%03u/%03u", unsigned{bus}, unsigned{address});
  return devRoot + name;
}

std::string Where(uint8_t bus, uint8_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u/%03u", unsigned{bus}, unsigned{address});
  return text;
}

UsbDevice Examine(LibusbPlatform& usb, const SurveyedDevice& seen, const Roots& roots) {
  UsbDevice device;
  device.foundBy = seen.tagged      ? FoundBy::UdevRule
                   : seen.msOsNamed ? FoundBy::MsOsDescriptors
                                    : FoundBy::VendorInterface;
  device.bus = seen.bus;
  device.address = seen.address;
  device.interface = seen.interface;
  device.unreadable = seen.unprobed;
  // The ids as udev compares them with the rule's: sysfs's text.
  const std::string sysfs = roots.sys + "/bus/usb/devices/" + seen.port;
  device.vendorId = HexId(Attribute(sysfs + "/idVendor")).value_or(seen.vendorId);
  device.productId = HexId(Attribute(sysfs + "/idProduct")).value_or(seen.productId);
  device.serial = Attribute(sysfs + "/serial");
  const std::string configuration = Attribute(sysfs + "/bConfigurationValue");
  if (!configuration.empty()) {
    const std::string itf = sysfs + "/" + seen.port + ":" + configuration + ".0";
    device.driver = NameAfterSlash(LinkTarget(itf + "/driver"));
  }
  device.node = ReadNode(NodePath(roots.dev, seen.bus, seen.address));
  FindHolders(roots.proc, {device.node.path, NodePath("/dev", seen.bus, seen.address)}, &device);
  if (!seen.Named()) return device;
  // Claimed through usbfs while this process holds nothing: another program has it, and a
  // try of ours would only be refused.
  device.open = device.driver == "usbfs" ? Open::Held
                                         : TryOpen(usb, seen.path, Where(seen.bus, seen.address));
  return device;
}

}  // namespace

Facts GatherFacts(const Guid& interfaceClass, const Roots& roots) {
  Facts facts;
  facts.system = Facts::System::Linux;
  facts.libusbVersion = LibusbPlatform::LibusbVersion();
  facts.udevRunning = Exists(roots.files + "/run/udev/control");
  facts.container = Exists(roots.files + "/.dockerenv") ||
                    Exists(roots.files + "/run/.containerenv") ||
                    Exists(roots.files + "/run/systemd/container");
  facts.rules = ReadRules(roots.files);
  LibusbPlatform usb;
  const std::optional<std::vector<SurveyedDevice>> survey = usb.Survey(interfaceClass);
  facts.listed = survey.has_value();
  for (const SurveyedDevice& seen : survey.value_or(std::vector<SurveyedDevice>{})) {
    facts.devices.push_back(Examine(usb, seen, roots));
  }
  facts.simulators = GatherSimulators(interfaceClass);
  return facts;
}

}  // namespace kp::doctor
