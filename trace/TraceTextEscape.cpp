#include "trace/TraceTextEscape.h"

#include "base/NumberText.h"

#include <cstdint>

namespace kp {

namespace {

// The length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
size_t SequenceAt(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  char32_t c = 0;
  char32_t least = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
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
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = c << 6 | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = SequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string EscapeTraceText(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = SequenceAt(text, i);
    if (length == 0 || IsControl(byte)) {
      escaped += "\\x" + HexText({&byte, 1});
      ++i;
    } else if (byte == '\\') {
      escaped += "\\\\";
      ++i;
    } else {
      escaped.append(text.substr(i, length));
      i += length;
    }
  }
  return escaped;
}

std::optional<std::string> UnescapeTraceText(std::string_view text) {
  if (!IsUtf8(text)) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (IsControl(byte)) return std::nullopt;
    if (byte != '\\') {
      bytes.push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      bytes.push_back('\\');
      ++i;
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
    const int high = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
    const int low = HexDigitValue(static_cast<unsigned char>(text[i + 3]));
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high << 4 | low));
    i += 3;
  }
  return bytes;
}

}  // namespace kp
