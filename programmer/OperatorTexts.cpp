#include "programmer/OperatorTexts.h"

namespace kp {

std::string UnreachableReason(const UnreachableDevice& device) {
  const std::string where = "KP-R50 na " + device.where + ": ";
  switch (device.why) {
    case Unreachable::NoPermission:
      return where + "brak uprawnień do urządzenia USB — zainstaluj regułę udev (README)";
    case Unreachable::HeldElsewhere:
      return where + "urządzenie zajęte przez inny program";
  }
  return where;
}

}  // namespace kp
