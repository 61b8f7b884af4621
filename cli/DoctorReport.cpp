// The doctor's two reports of the facts and the verdict: text for people, in Polish and
// English, and one JSON object for support scripts.
#include "cli/Doctor.h"
#include "cli/DoctorNames.h"
#include "codepage/PasswordCodePage.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kp::doctor {

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

// A JSON string: names of processes and files may hold any bytes; one that is not UTF-8
// becomes U+FFFD, so the object stays valid JSON.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const size_t n = Utf8SequenceAt(text, at);
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

}  // namespace kp::doctor
