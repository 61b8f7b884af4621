#include "codepage/PasswordCodePage.h"

#include <array>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace kp {

namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// One character of UTF-16 text starting at `i`: the code point and how many units it took
// (a lone surrogate is a character of its own, one unit).
std::pair<char32_t, size_t> CharacterAt(std::u16string_view text, size_t i) {
  const char16_t u = text[i];
  if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
    return {0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00), 2};
  }
  return {u, 1};
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void AddOnce(std::u32string& list, char32_t c) {
  if (list.find(c) == std::u32string::npos) list.push_back(c);
}

void AppendUtf8(std::string& text, char32_t c) {
  if (c < 0x80) {
    text.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    text.push_back(static_cast<char>(0xC0 | c >> 6));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    text.push_back(static_cast<char>(0xE0 | c >> 12));
    text.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    text.push_back(static_cast<char>(0xF0 | c >> 18));
    text.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

constexpr char32_t kReplacementCharacter = 0xFFFD;

#ifndef _WIN32

// Which character each of the bytes 0x80..0xFF stands for in Windows-1250 (0: none). Built
// once by decoding those bytes with iconv, so no password ever passes through iconv's own
// buffers.
class Windows1250 {
 public:
  Windows1250() {
    iconv_t decoder = iconv_open("UTF-32LE", "WINDOWS-1250");
    if (decoder == reinterpret_cast<iconv_t>(-1)) return;  // ASCII only
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

  // The character of `byte`, 0 when the code page has none.
  char32_t Decode(unsigned char byte) const { return byte < 0x80 ? byte : high_[byte - 0x80]; }

  // The byte of `c`, nullopt when the code page lacks it.
  std::optional<char> Encode(char32_t c) const {
    if (c < 0x80) return static_cast<char>(c);
    for (size_t i = 0; i < high_.size(); ++i) {
      if (high_[i] == c) return static_cast<char>(0x80 + i);
    }
    return std::nullopt;
  }

 private:
  std::array<char32_t, 0x80> high_{};
};

const Windows1250& CodePage() {
  static const Windows1250 codePage;
  return codePage;
}

#endif

}  // namespace

size_t Utf8SequenceAt(std::string_view text, size_t at, char32_t* character) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  char32_t c = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    length = 1;
    c = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    c = lead & 0x07;
    least = 0x10000;
  } else {
    return 0;
  }
  if (length > text.size() - at) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = c << 6 | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || IsSurrogate(c)) return 0;
  if (character != nullptr) *character = c;
  return length;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
  std::u16string text;
  text.reserve(utf8.size());  // never more units than bytes: never reallocated below
  for (size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const size_t length = Utf8SequenceAt(utf8, i, &c);
    if (length == 0) return std::nullopt;
    if (c >= 0x10000) {
      text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return text;
}

#ifdef _WIN32

std::string PasswordTo8Bit(std::u16string_view password) {
  const int units = static_cast<int>(password.size());
  if (units == 0) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(password.data());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  const int written =
      WideCharToMultiByte(CP_ACP, 0, wide, units, text.data(), size, nullptr, nullptr);
  text.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return text;
}

std::u32string UnrepresentableCharacters(std::u16string_view password) {
  std::u32string lacking;
  // UTF-8 as the ANSI code page carries every character but a lone surrogate, and refuses
  // the question of a default character.
  const bool utf8 = GetACP() == CP_UTF8;
  for (size_t i = 0; i < password.size();) {
    const auto [c, units] = CharacterAt(password, i);
    const auto* wide = reinterpret_cast<const wchar_t*>(password.data() + i);
    char bytes[8];
    BOOL usedDefault = FALSE;
    const int written =
        WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(units),
                            bytes, sizeof bytes, nullptr, utf8 ? nullptr : &usedDefault);
    if (written <= 0 || usedDefault || (utf8 && IsSurrogate(c))) AddOnce(lacking, c);
    i += units;
  }
  return lacking;
}

std::optional<std::string> ToWindows1250(std::u16string_view text) {
  if (text.empty()) return std::string();
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int units = static_cast<int>(text.size());
  std::string bytes(text.size() * 2, '\0');
  BOOL lossy = FALSE;
  const int written = WideCharToMultiByte(1250, WC_NO_BEST_FIT_CHARS, wide, units, bytes.data(),
                                          static_cast<int>(bytes.size()), nullptr, &lossy);
  if (written <= 0 || lossy) return std::nullopt;
  bytes.resize(static_cast<size_t>(written));
  return bytes;
}

std::string Windows1250ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char byte : bytes) {
    // The code page assigns no C1 control: one that comes out stands for an unassigned byte,
    // which Windows passes through as U+0080..U+009F.
    wchar_t wide = 0;
    const int units = MultiByteToWideChar(1250, MB_ERR_INVALID_CHARS, &byte, 1, &wide, 1);
    const bool assigned = units == 1 && (wide < 0x80 || wide > 0x9F);
    AppendUtf8(text, assigned ? static_cast<char32_t>(wide) : kReplacementCharacter);
  }
  return text;
}

#else

std::string PasswordTo8Bit(std::u16string_view password) {
  std::string text;
  text.reserve(password.size());  // at most one byte per code unit: never reallocated below
  for (size_t i = 0; i < password.size();) {
    const auto [c, units] = CharacterAt(password, i);
    const std::optional<char> byte = IsSurrogate(c) ? std::nullopt : CodePage().Encode(c);
    text.push_back(byte.value_or('?'));
    i += units;
  }
  return text;
}

std::u32string UnrepresentableCharacters(std::u16string_view password) {
  std::u32string lacking;
  for (size_t i = 0; i < password.size();) {
    const auto [c, units] = CharacterAt(password, i);
    if (IsSurrogate(c) || !CodePage().Encode(c)) AddOnce(lacking, c);
    i += units;
  }
  return lacking;
}

std::optional<std::string> ToWindows1250(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto [c, units] = CharacterAt(text, i);
    const std::optional<char> byte = IsSurrogate(c) ? std::nullopt : CodePage().Encode(c);
    if (!byte) return std::nullopt;
    bytes.push_back(*byte);
    i += units;
  }
  return bytes;
}

std::string Windows1250ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char byte : bytes) {
    const char32_t c = CodePage().Decode(static_cast<unsigned char>(byte));
    AppendUtf8(text, c == 0 && byte != 0 ? kReplacementCharacter : c);
  }
  return text;
}

#endif

}  // namespace kp
