#include "app/PasswordText.h"

#include "codepage/PasswordCodePage.h"

namespace kp {

std::string PasswordTo8Bit(const QString& password) {
  return PasswordTo8Bit(std::u16string_view(reinterpret_cast<const char16_t*>(password.constData()),
                                            static_cast<size_t>(password.size())));
}

}  // namespace kp
