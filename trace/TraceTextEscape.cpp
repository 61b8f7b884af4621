#include "trace/TraceTextEscape.h"

#include "base/NumberText.h"
#include "codepage/PasswordCodePage.h"

#include <cstdint>

namespace kp {

namespace {

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceAt(text, i);
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
    const size_t length = Utf8SequenceAt(text, i);
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
