#include "sim/rack/SimPassword.h"

#include "codepage/PasswordCodePage.h"
#include "crypto/SecureWipe.h"

namespace kp {

std::optional<std::string> SimPasswordBytes(const std::string& utf8) {
  std::optional<std::u16string> text = Utf8ToUtf16(utf8);
  if (!text) return std::nullopt;
  std::optional<std::string> bytes = ToWindows1250(*text);
  SecureWipe(text->data(), text->size() * sizeof(char16_t));
  if (!bytes || bytes->empty() || bytes->size() > static_cast<size_t>(kPasswordMaxLength))
    return std::nullopt;
  for (const char c : *bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return std::nullopt;
  }
  return bytes;
}

}  // namespace kp
