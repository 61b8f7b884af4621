#include "app/PasswordText.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#endif

namespace kp {

#ifdef _WIN32

std::string PasswordTo8Bit(const QString& password) {
  const int units = static_cast<int>(password.size());
  if (units == 0) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(password.constData());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  const int written =
      WideCharToMultiByte(CP_ACP, 0, wide, units, text.data(), size, nullptr, nullptr);
  text.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return text;
}

#else

namespace {

// Which character each of the bytes 0x80..0xFF stands for in Windows-1250 (0: none). Built
// once by decoding those bytes with iconv, so no password ever passes through iconv's own
// buffers.
class Windows1250 {
 public:
  Windows1250() {
    iconv_t decoder = iconv_open("UTF-32LE", "WINDOWS-1250");
    if (decoder == reinterpret_cast<iconv_t>(-1)) return;  // ASCII only, the rest becomes "?"
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
      char in = static_cast<char>(byte);
      unsigned char out[4] = {};
      char* inPtr = &in;
      char* outPtr = reinterpret_cast<char*>(out);
      size_t inLeft = 1;
      size_t outLeft = sizeof out;
      if (iconv(decoder, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
          outLeft == 0) {
        high_[byte - 0x80] = static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 |
                                                   static_cast<uint32_t>(out[3]) << 24);
      }
      iconv(decoder, nullptr, nullptr, nullptr, nullptr);  // a failed byte leaves no state
    }
    iconv_close(decoder);
  }

  char Encode(char32_t c) const {
    if (c < 0x80) return static_cast<char>(c);
    for (size_t i = 0; i < high_.size(); ++i) {
      if (high_[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
  }

 private:
  std::array<char32_t, 0x80> high_{};
};

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string PasswordTo8Bit(const QString& password) {
  static const Windows1250 codePage;
  const char16_t* units = reinterpret_cast<const char16_t*>(password.constData());
  const size_t count = static_cast<size_t>(password.size());
  std::string text;
  text.reserve(count);  // at most one byte per code unit: never reallocated below
  for (size_t i = 0; i < count; ++i) {
    const char16_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      ++i;  // a pair is one character, and none beyond U+FFFF is in the code page
      text.push_back('?');
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      text.push_back('?');
    } else {
      text.push_back(codePage.Encode(u));
    }
  }
  return text;
}

#endif

}  // namespace kp
