#include "programmer/OperatorTexts.h"

namespace kp {

std::string UnreachableReason(const UnreachableDevice& device) {
  const std::string where = "KP-R50 na " + device.where + ": ";
  switch (device.why) {
    case Unreachable::NoPermission:
      return where + "brak uprawnień do urządzenia USB — zainstaluj regułę udev (README)";
    case Unreachable::HeldElsewhere: return where + "urządzenie zajęte przez inny program";
  }
  return where;
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;  // a lone surrogate shows as such
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string UnrepresentablePasswordText(std::u32string_view characters) {
  std::string text = "Nowe hasło zawiera znaki, których KP-R50 nie przyjmie: ";
  for (size_t i = 0; i < characters.size(); ++i) {
    if (i > 0) text += ", ";
    text += "„";
    AppendUtf8(text, characters[i]);
    text += "”";
  }
  text += ".\n\nWpisz hasło bez tych znaków.";
  return text;
}

}  // namespace kp
