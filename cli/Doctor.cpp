#include "cli/Doctor.h"

#include "cli/CliRun.h"
#include "cli/DoctorNames.h"
#include "link/WUsbBulkD.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace kp::doctor {

namespace {

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

int RunDoctor(std::ostream& out, bool json) {
  const Facts facts = GatherFacts(kKpR50InterfaceGuid);
  const Judgement judgement = Judge(facts);
  out << (json ? DoctorJson(facts, judgement) : DoctorText(facts, judgement));
  out.flush();
  return judgement.exitCode;
}

}  // namespace kp::doctor
