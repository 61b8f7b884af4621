#include "sim/SimPassword.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace kp {

namespace {

// As many characters as the application's password boxes take.
constexpr size_t kMaxPasswordLength = 20;

#if defined(_WIN32)

// Windows has the code page itself: through UTF-16, refusing text that is not UTF-8 and any
// character Windows-1250 lacks (no best-fit letters, no "?").
std::optional<std::string> ToWindows1250(const std::string& utf8) {
  if (utf8.empty()) return std::string();
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(utf8.size(), L'\0');  // never more units than UTF-8 bytes
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), size);
  if (units <= 0) return std::nullopt;
  std::string bytes(static_cast<size_t>(units) * 2, '\0');
  BOOL lossy = FALSE;
  const int written = WideCharToMultiByte(1250, WC_NO_BEST_FIT_CHARS, wide.data(), units,
                                          bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                          &lossy);
  if (written <= 0 || lossy) return std::nullopt;
  bytes.resize(static_cast<size_t>(written));
  return bytes;
}

#else

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

#endif

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
