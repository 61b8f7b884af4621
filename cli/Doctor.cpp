#include "cli/Doctor.h"

#include "cli/CliRun.h"
#include "link/WUsbBulkD.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace kp::doctor {

namespace {

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", unsigned{value});
  return text;
}

std::string Ids(const UsbDevice& d) { return Hex4(d.vendorId) + ":" + Hex4(d.productId); }

// As lsusb names a device: "001/007".
std::string Where(const UsbDevice& d) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u/%03u", unsigned{d.bus}, unsigned{d.address});
  return text;
}

// How the report names a device: its place on the bus, or Windows' instance id.
std::string Name(const Facts& facts, const UsbDevice& d) {
  if (facts.system == Facts::System::Windows) return d.instanceId;
  return Where(d) + " (" + Ids(d) + ")";
}

bool IsNamed(const UsbDevice& d) {
  return d.foundBy == FoundBy::UdevRule || d.foundBy == FoundBy::MsOsDescriptors ||
         d.foundBy == FoundBy::InterfaceClass;
}

Judgement Say(Verdict verdict, std::string pl, std::string en) {
  return {verdict, verdict == Verdict::Ready ? kExitDone : kExitNoUsableProgrammer, std::move(pl),
          std::move(en)};
}

const UsbDevice* First(const Facts& facts, const std::function<bool(const UsbDevice&)>& which) {
  const auto it = std::find_if(facts.devices.begin(), facts.devices.end(), which);
  return it == facts.devices.end() ? nullptr : &*it;
}

constexpr const char* kReloadPl =
    "sudo udevadm control --reload-rules && sudo udevadm trigger, potem odłącz i podłącz "
    "programator";
constexpr const char* kReloadEn =
    "sudo udevadm control --reload-rules && sudo udevadm trigger, then unplug the programmer "
    "and plug it in again";

// The step that lets this user open `d` on Linux: the udev rule and what stands in its way.
Judgement RuleStep(const Facts& facts, const UsbDevice& d, Verdict verdict) {
  const std::string ids = Ids(d);
  // Unnamed, it may be some other device: the step says so.
  const std::string ifPl = IsNamed(d) ? "" : "jeśli " + Where(d) + " (" + ids + ") to KP-R50: ";
  const std::string ifEn = IsNamed(d) ? "" : "if " + Where(d) + " (" + ids + ") is the KP-R50: ";
  auto say = [&](const std::string& pl, const std::string& en) {
    return Say(verdict, ifPl + pl, ifEn + en);
  };
  std::vector<const RuleFile*> rules;
  for (const RuleFile& r : facts.rules) {
    if (!r.overridden) rules.push_back(&r);
  }
  const auto pick = [&](const std::function<bool(const RuleFile&)>& which) -> const RuleFile* {
    const auto it =
        std::find_if(rules.begin(), rules.end(), [&](const RuleFile* r) { return which(*r); });
    return it == rules.end() ? nullptr : *it;
  };
  const RuleFile* matching = pick(
      [&](const RuleFile& r) { return std::find(r.ids.begin(), r.ids.end(), ids) != r.ids.end(); });
  if (matching != nullptr) {
    if (!facts.udevRunning) {
      if (facts.container) {
        return say(
            "udev nie działa w tym kontenerze, reguła nic nie daje: przekaż do kontenera "
            "węzeł " +
                d.node.path +
                " z prawem odczytu i zapisu dla tego użytkownika "
                "(albo uruchom jako root)",
            "udev does not run in this container, so the rule does nothing: pass the node " +
                d.node.path +
                " into the container, readable and writable by this user "
                "(or run as root)");
      }
      return say("udev nie działa: uruchom go (systemd-udevd), potem odłącz i podłącz programator",
                 "udev is not running: start it (systemd-udevd), then unplug the programmer and "
                 "plug it in again");
    }
    if (d.foundBy != FoundBy::UdevRule) {
      return say(
          "reguła " + matching->path + " jest, ale udev jej nie zastosował: " + kReloadPl,
          "the rule " + matching->path + " is there but udev has not applied it: " + kReloadEn);
    }
    return say(
        "reguła daje dostęp (uaccess) tylko użytkownikowi zalogowanemu przy tym "
        "komputerze: zaloguj się przy nim (nie przez ssh) albo uruchom jako root",
        "the rule gives access (uaccess) only to the user logged in at this computer: log "
        "in there (not over ssh), or run as root");
  }
  if (const RuleFile* filled = pick([](const RuleFile& r) { return !r.ids.empty(); })) {
    std::string held;
    for (const std::string& id : filled->ids) held += (held.empty() ? "" : ", ") + id;
    return say("w " + filled->path + " wpisz " + ids + " (małymi literami; jest tam " + held +
                   "), potem " + kReloadPl,
               "put " + ids + " into " + filled->path + " (in lower case; it holds " + held +
                   "), then " + kReloadEn);
  }
  if (const RuleFile* rule = pick([](const RuleFile&) { return true; })) {
    const bool local = rule->path.starts_with("/etc/");
    const std::string file =
        local ? rule->path : "/etc/udev/rules.d/" + rule->path.substr(rule->path.rfind('/') + 1);
    const std::string copyPl = local ? "" : "skopiuj " + rule->path + " do /etc/udev/rules.d/ i ";
    const std::string copyEn = local ? "" : "copy " + rule->path + " to /etc/udev/rules.d/ and ";
    return say(copyPl + "w " + file + " wpisz " + ids +
                   " w miejsce VVVV:PPPP i usuń „# ” z początku tego wiersza, potem " + kReloadPl,
               copyEn + "in " + file + " put " + ids +
                   " in place of VVVV:PPPP and remove the \"# \" at the start of that line, then " +
                   kReloadEn);
  }
  return say("zainstaluj regułę udev z identyfikatorami " + ids +
                 " (README: „Using a real KP-R50 on Linux”), potem odłącz i podłącz programator",
             "install the udev rule with the ids " + ids +
                 " (README: \"Using a real KP-R50 on Linux\"), then unplug the programmer and "
                 "plug it in again");
}

Judgement HeldStep(const Facts& facts, const UsbDevice& d) {
  std::string names;
  for (const Holder& h : d.holders) {
    names += (names.empty() ? "" : ", ") + (h.name.empty() ? std::string("?") : h.name) + " (PID " +
             std::to_string(h.pid) + ")";
  }
  if (!names.empty()) {
    return Say(Verdict::Held, "zamknij program, który używa " + Name(facts, d) + ": " + names,
               "close the program that holds " + Name(facts, d) + ": " + names);
  }
  return Say(
      Verdict::Held,
      "zamknij program, który używa " + Name(facts, d) + " — drugi KpNOX Koder albo inne narzędzie",
      "close the program that holds " + Name(facts, d) +
          " — a second KpNOX Koder, or another tool");
}

}  // namespace

const char* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ready: return "ready";
    case Verdict::TwoProgrammers: return "two-programmers";
    case Verdict::Held: return "held";
    case Verdict::NoPermission: return "no-permission";
    case Verdict::Broken: return "broken";
    case Verdict::NoDriver: return "no-driver";
    case Verdict::NotNamed: return "not-named";
    case Verdict::SimulatorOnly: return "simulator-only";
    case Verdict::Unplugged: return "unplugged";
    case Verdict::NoList: return "no-list";
    case Verdict::NoDevice: return "no-device";
  }
  return "?";
}

Judgement Judge(const Facts& facts) {
  const auto opened = [](const UsbDevice& d) { return d.open == Open::Opened; };
  const auto real = std::count_if(facts.devices.begin(), facts.devices.end(), opened);
  const auto simulated =
      std::count_if(facts.simulators.begin(), facts.simulators.end(),
                    [](const SimulatorProgrammer& s) { return s.open == Open::Opened; });
  if (real + simulated > 1) {
    if (simulated > 0 && real > 0) {
      return Say(Verdict::TwoProgrammers,
                 "zamknij symulator kpr50-sim: programy pracują z jednym programatorem",
                 "close the simulator kpr50-sim: the programs work with one programmer only");
    }
    return Say(Verdict::TwoProgrammers,
               "zostaw podłączony jeden programator: programy pracują tylko z jednym",
               "leave one programmer connected: the programs work with one only");
  }
  if (const UsbDevice* d = First(facts, opened)) {
    return Say(Verdict::Ready, "nic: " + Name(facts, *d) + " jest gotowy",
               "nothing: " + Name(facts, *d) + " is ready");
  }
  const auto named = [&](Open open) {
    return First(facts,
                 [&](const UsbDevice& d) { return IsNamed(d) && d.present && d.open == open; });
  };
  if (const UsbDevice* d = named(Open::Held)) return HeldStep(facts, *d);
  if (const UsbDevice* d = named(Open::NoPermission)) {
    if (facts.system != Facts::System::Linux) {
      return Say(Verdict::NoPermission, "uruchom program jako administrator",
                 "run the program as an administrator");
    }
    if (!d->node.exists) {
      return Say(Verdict::NoPermission,
                 "brak węzła " + d->node.path + ": przekaż urządzenie do kontenera",
                 "the node " + d->node.path + " is missing: pass the device into the container");
    }
    return RuleStep(facts, *d, Verdict::NoPermission);
  }
  if (const UsbDevice* d = named(Open::Failed)) {
    return Say(Verdict::Broken,
               "odłącz " + Name(facts, *d) +
                   " i podłącz ponownie (gdy nie pomoże: inny port "
                   "lub kabel)",
               "unplug " + Name(facts, *d) +
                   " and plug it in again (if that does not help: "
                   "another port or cable)");
  }
  if (const UsbDevice* d = First(facts, [](const UsbDevice& u) {
        return u.foundBy == FoundBy::NoDriver || u.foundBy == FoundBy::DeviceRegistry;
      })) {
    const std::string name = Name(facts, *d);
    if (d->service.empty()) {
      return Say(Verdict::NoDriver,
                 "zainstaluj sterownik WinUSB programatora (dostarczany z KP-R50) dla " + name +
                     ", potem odłącz i podłącz programator",
                 "install the programmer's WinUSB driver (it comes with the KP-R50) for " + name +
                     ", then unplug the programmer and plug it in again");
    }
    return Say(Verdict::NoDriver,
               name + " obsługuje sterownik " + d->service +
                   ": zastąp go sterownikiem WinUSB programatora (Menedżer urządzeń, Aktualizuj "
                   "sterownik)",
               name + " is served by the driver " + d->service +
                   ": replace it with the programmer's WinUSB driver (Device Manager, Update "
                   "driver)");
  }
  if (const UsbDevice* d =
          First(facts, [](const UsbDevice& u) { return u.foundBy == FoundBy::VendorInterface; })) {
    return RuleStep(facts, *d, Verdict::NotNamed);
  }
  if (simulated > 0) {
    return Say(Verdict::SimulatorOnly,
               "nic do szkolenia; do prawdziwych kart podłącz KP-R50 (to tylko symulator)",
               "nothing, for training; for real cards plug in the KP-R50 (this is only the "
               "simulator)");
  }
  // A simulator that has ended leaves its socket behind: only a held one is there.
  if (std::any_of(facts.simulators.begin(), facts.simulators.end(),
                  [](const SimulatorProgrammer& s) { return s.open == Open::Held; })) {
    return Say(Verdict::SimulatorOnly,
               "zamknij program, który używa programatora symulatora (drugi KpNOX Koder?)",
               "close the program that holds the simulator's programmer (a second KpNOX Koder?)");
  }
  if (First(facts, [](const UsbDevice& d) { return !d.present; }) != nullptr) {
    return Say(Verdict::Unplugged,
               "podłącz programator (był już podłączony do tego komputera); sprawdź kabel",
               "plug the programmer in (it has been connected to this PC before); check the cable");
  }
  if (!facts.listed) {
    return Say(Verdict::NoList, "nie można wyliczyć urządzeń USB: uruchom jako root, aby sprawdzić",
               "the USB devices cannot be listed: run as root to check");
  }
  if (facts.system == Facts::System::Linux && facts.container && !facts.udevRunning) {
    return Say(Verdict::NoDevice,
               "to kontener bez urządzeń USB gospodarza: przekaż do niego /dev/bus/usb",
               "this is a container without the host's USB devices: pass /dev/bus/usb into it");
  }
  if (facts.system == Facts::System::Windows) {
    return Say(Verdict::NoDevice,
               "podłącz programator; jeśli jest podłączony, zainstaluj jego sterownik WinUSB",
               "plug the programmer in; if it is plugged in, install its WinUSB driver");
  }
  return Say(Verdict::NoDevice, "podłącz programator (lsusb powinien go pokazać); sprawdź kabel",
             "plug the programmer in (lsusb should show it); check the cable");
}

namespace {

struct Words {
  const char* pl;
  const char* en;
  const char* json;
};

Words OpenWords(Open open) {
  switch (open) {
    case Open::NotTried: return {"nie próbowano", "not tried", "not-tried"};
    case Open::Opened: return {"otwiera się", "opens", "opened"};
    case Open::NoPermission: return {"brak uprawnień", "no permission", "no-permission"};
    case Open::Held: return {"zajęty przez inny program", "held by another program", "held"};
    case Open::Failed: return {"nie otwiera się", "does not open", "failed"};
  }
  return {"?", "?", "?"};
}

Words FoundWords(FoundBy found) {
  switch (found) {
    case FoundBy::UdevRule: return {"reguła udev", "the udev rule", "udev-rule"};
    case FoundBy::MsOsDescriptors:
      return {"deskryptory Microsoft OS", "Microsoft OS descriptors", "ms-os-descriptors"};
    case FoundBy::VendorInterface:
      return {"tylko interfejs producenta, nienazwany", "only a vendor interface, not named",
              "vendor-interface"};
    case FoundBy::InterfaceClass:
      return {"klasa interfejsu (WinUSB)", "the interface class (WinUSB)", "interface-class"};
    case FoundBy::DeviceRegistry:
      return {"klucz urządzenia, bez WinUSB", "the device key, without WinUSB", "device-registry"};
    case FoundBy::NoDriver:
      return {"urządzenie producenta bez sterownika", "a vendor device without a driver",
              "no-driver"};
  }
  return {"?", "?", "?"};
}

Words RuleWords(RuleFile::State state) {
  switch (state) {
    case RuleFile::State::Template: return {"szablon", "template", "template"};
    case RuleFile::State::Filled: return {"wypełniona", "filled in", "filled"};
    case RuleFile::State::Broken: return {"błędna", "broken", "broken"};
  }
  return {"?", "?", "?"};
}

std::string Both(const Words& w) { return std::string(w.pl) + " / " + w.en; }

std::string Octal(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const size_t n = lead < 0x80                   ? 1
                   : lead >= 0xC2 && lead < 0xE0 ? 2
                   : lead >= 0xE0 && lead < 0xF0 ? 3
                   : lead >= 0xF0 && lead < 0xF5 ? 4
                                                 : 0;
  if (n == 0 || text.size() - at < n) return 0;
  uint32_t cp = lead & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    const auto follow = static_cast<unsigned char>(text[at + k]);
    if ((follow & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (follow & 0x3Fu);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shortest form only
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// A JSON string: names of processes and files may hold any bytes; one that is not UTF-8
// becomes U+FFFD, so the object stays valid JSON.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const size_t n = Utf8Length(text, at);
    if (n == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (n > 1) {
      out.append(text, at, n);
      at += n;
      continue;
    }
    const char c = text[at++];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned{byte});
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// The devices whose ids the rule names as udev compares them ("001/005").
std::vector<std::string> Matches(const Facts& facts, const RuleFile& rule) {
  std::vector<std::string> places;
  for (const UsbDevice& d : facts.devices) {
    if (std::find(rule.ids.begin(), rule.ids.end(), Ids(d)) != rule.ids.end()) {
      places.push_back(Where(d));
    }
  }
  return places;
}

void DeviceText(const Facts& facts, const UsbDevice& d, std::string& out) {
  const bool linux = facts.system == Facts::System::Linux;
  out += "  " + (linux ? Where(d) + " " + Ids(d) : Ids(d) + " " + d.instanceId);
  if (!d.serial.empty()) out += ", nr seryjny / serial " + d.serial;
  out += "\n    znaleziony przez / found by: " + Both(FoundWords(d.foundBy)) + "\n";
  if (linux) {
    if (d.unreadable) {
      out += "    nie do odczytania bez roota / cannot be read without root\n";
    }
    if (!d.interface.empty()) out += "    interfejs / interface: " + d.interface + "\n";
    if (!d.driver.empty()) out += "    sterownik / driver: " + d.driver + "\n";
    const NodeAccess& n = d.node;
    out += "    węzeł / node: " + n.path;
    if (!n.exists) {
      out += ": brak / missing\n";
    } else {
      out += " " + n.owner + ":" + n.group + " " + Octal(n.mode) + ", ACL: " +
             (!n.acl           ? std::string("nieznana / unknown")
              : n.acl->empty() ? std::string("brak / none")
                               : Joined(*n.acl)) +
             ", odczyt i zapis / read and write: " + (n.readWrite ? "tak / yes" : "nie / no") +
             "\n";
    }
    if (!d.holders.empty()) {
      std::vector<std::string> names;
      for (const Holder& h : d.holders) {
        names.push_back((h.name.empty() ? "?" : h.name) + " (PID " + std::to_string(h.pid) + ")");
      }
      out += "    otwarty przez / open in: " + Joined(names) + "\n";
    }
    if (!d.holdersComplete) {
      out += "    (procesy innych użytkowników niewidoczne / other users' processes not seen)\n";
    }
  } else {
    out += "    sterownik / driver: " + (d.service.empty() ? "brak / none" : d.service) + "\n";
    if (!d.present) out += "    niepodłączony / not plugged in\n";
  }
  if (d.open != Open::NotTried) out += "    otwarcie / open: " + Both(OpenWords(d.open)) + "\n";
}

}  // namespace

std::string DoctorText(const Facts& facts, const Judgement& judgement) {
  std::string out = judgement.verdict == Verdict::Ready
                        ? "KP-R50: gotowy / ready\n"
                        : "KP-R50: brak programatora do użycia / no usable programmer\n";
  out += "\nUrządzenia USB / USB devices:\n";
  if (!facts.listed) out += "  (nie można ich wyliczyć / they cannot be listed)\n";
  if (facts.devices.empty()) out += "  brak / none\n";
  for (const UsbDevice& d : facts.devices) DeviceText(facts, d, out);
  if (facts.system == Facts::System::Linux) {
    out += "\nReguły udev / udev rules:\n";
    if (facts.rules.empty()) out += "  brak / none\n";
    for (const RuleFile& r : facts.rules) {
      out += "  " + r.path + ": " + Both(RuleWords(r.state));
      if (!r.ids.empty()) out += " " + Joined(r.ids);
      if (const std::vector<std::string> m = Matches(facts, r); !m.empty()) {
        out += ", pasuje do / matches " + Joined(m);
      }
      if (r.overridden) out += " (przesłonięta / overridden)";
      out += "\n";
    }
    out += "\nSystem: libusb " + facts.libusbVersion +
           ", udev: " + (facts.udevRunning ? "działa / running" : "nie działa / not running") +
           (facts.container ? ", kontener / container" : "") + "\n";
  }
  out += "\nSymulator kpr50-sim / simulator:\n";
  if (facts.simulators.empty()) out += "  brak / none\n";
  for (const SimulatorProgrammer& s : facts.simulators) {
    out += "  " + s.place + " (" + s.transport +
           "): programator symulatora, nie KP-R50 / the simulator's programmer, not a KP-R50; " +
           Both(OpenWords(s.open)) + "\n";
  }
  out += "\nNastępny krok / next step:\n  " + judgement.stepPl + "\n  " + judgement.stepEn + "\n";
  return out;
}

std::string DoctorJson(const Facts& facts, const Judgement& judgement) {
  const bool linux = facts.system == Facts::System::Linux;
  const char* system = linux                                    ? "linux"
                       : facts.system == Facts::System::Windows ? "windows"
                                                                : "other";
  std::string out = std::string("{\"verdict\":\"") + VerdictWord(judgement.verdict) +
                    "\",\"exit_code\":" + std::to_string(judgement.exitCode) +
                    ",\"next_step\":{\"pl\":" + Json(judgement.stepPl) +
                    ",\"en\":" + Json(judgement.stepEn) + "},\"system\":\"" + system +
                    "\",\"listed\":" + Bool(facts.listed);
  if (linux) {
    out += ",\"libusb\":" + Json(facts.libusbVersion) +
           ",\"udev_running\":" + Bool(facts.udevRunning) +
           ",\"container\":" + Bool(facts.container);
  }
  out += ",\"devices\":[";
  for (size_t i = 0; i < facts.devices.size(); ++i) {
    const UsbDevice& d = facts.devices[i];
    out += std::string(i == 0 ? "" : ",") + "{\"found_by\":\"" + FoundWords(d.foundBy).json +
           "\",\"vendor_id\":\"" + Hex4(d.vendorId) + "\",\"product_id\":\"" + Hex4(d.productId) +
           "\",\"serial\":" + Json(d.serial) + ",\"open\":\"" + OpenWords(d.open).json + "\"";
    if (linux) {
      const NodeAccess& n = d.node;
      std::string acl = "null";
      if (n.acl) {
        acl = "[";
        for (size_t k = 0; k < n.acl->size(); ++k) {
          if (k != 0) acl += ',';
          acl += Json((*n.acl)[k]);
        }
        acl += "]";
      }
      out += ",\"bus\":" + std::to_string(d.bus) + ",\"device\":" + std::to_string(d.address) +
             ",\"interface\":" + Json(d.interface) + ",\"unreadable\":" + Bool(d.unreadable) +
             ",\"driver\":" + Json(d.driver) + ",\"node\":{\"path\":" + Json(n.path) +
             ",\"exists\":" + Bool(n.exists) + ",\"owner\":" + Json(n.owner) +
             ",\"group\":" + Json(n.group) + ",\"mode\":\"" + Octal(n.mode) +
             "\",\"read_write\":" + Bool(n.readWrite) + ",\"acl\":" + acl + "},\"holders\":[";
      // Appended piece by piece: GCC 12 at -O3 mistakes a chain of + on a temporary for an
      // overlapping copy (-Wrestrict).
      for (size_t k = 0; k < d.holders.size(); ++k) {
        if (k != 0) out += ',';
        out += "{\"pid\":";
        out += std::to_string(d.holders[k].pid);
        out += ",\"name\":";
        out += Json(d.holders[k].name);
        out += '}';
      }
      out += "],\"holders_complete\":" + std::string(Bool(d.holdersComplete)) + "}";
    } else {
      out += ",\"instance_id\":" + Json(d.instanceId) + ",\"service\":" + Json(d.service) +
             ",\"present\":" + Bool(d.present) + "}";
    }
  }
  out += "]";
  if (linux) {
    out += ",\"rules\":[";
    for (size_t i = 0; i < facts.rules.size(); ++i) {
      const RuleFile& r = facts.rules[i];
      out += std::string(i == 0 ? "" : ",") + "{\"path\":" + Json(r.path) + ",\"state\":\"" +
             RuleWords(r.state).json + "\",\"ids\":[";
      for (size_t k = 0; k < r.ids.size(); ++k) {
        if (k != 0) out += ',';
        out += Json(r.ids[k]);
      }
      out += "],\"matches\":[";
      const std::vector<std::string> m = Matches(facts, r);
      for (size_t k = 0; k < m.size(); ++k) {
        if (k != 0) out += ',';
        out += Json(m[k]);
      }
      out += "],\"overridden\":" + std::string(Bool(r.overridden)) + "}";
    }
    out += "]";
  }
  out += ",\"simulators\":[";
  for (size_t i = 0; i < facts.simulators.size(); ++i) {
    const SimulatorProgrammer& s = facts.simulators[i];
    out += std::string(i == 0 ? "" : ",") + "{\"place\":" + Json(s.place) +
           ",\"transport\":" + Json(s.transport) + ",\"open\":\"" + OpenWords(s.open).json + "\"}";
  }
  return out + "]}\n";
}

int RunDoctor(std::ostream& out, bool json) {
  const Facts facts = GatherFacts(kKpR50InterfaceGuid);
  const Judgement judgement = Judge(facts);
  out << (json ? DoctorJson(facts, judgement) : DoctorText(facts, judgement));
  out.flush();
  return judgement.exitCode;
}

}  // namespace kp::doctor
