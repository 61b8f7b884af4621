#include "sim/SimPassword.h"

#include <iconv.h>

namespace kp {

namespace {

// As many characters as the application's password boxes take.
constexpr size_t kMaxPasswordLength = 20;

// The conversion, one character at a time: iconv refuses a byte sequence that is not UTF-8
// and a character outside the code page alike.
std::optional<std::string> ToWindows1250(const std::string& utf8) {
  iconv_t encoder = iconv_open("WINDOWS-1250", "UTF-8");
  if (encoder == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string bytes(utf8.size(), '\0');  // never longer than its UTF-8
  char* in = const_cast<char*>(utf8.data());
  char* out = bytes.data();
  size_t inLeft = utf8.size();
  size_t outLeft = bytes.size();
  const bool done = iconv(encoder, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) &&
                    inLeft == 0;
  iconv_close(encoder);
  if (!done) return std::nullopt;
  bytes.resize(bytes.size() - outLeft);
  return bytes;
}

}  // namespace

std::optional<std::string> SimPasswordBytes(const std::string& utf8) {
  std::optional<std::string> bytes = ToWindows1250(utf8);
  if (!bytes || bytes->empty() || bytes->size() > kMaxPasswordLength) return std::nullopt;
  for (const char c : *bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return std::nullopt;
  }
  return bytes;
}

}  // namespace kp
