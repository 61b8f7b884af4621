// How the text trace keeps any text on one line, both ways (see TraceText.h, `text`).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kp {

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view text);

// "\" as "\\"; bytes below 0x20, 0x7F and bytes that belong to no well-formed UTF-8
// sequence as "\xHH". Everything else as it is.
std::string EscapeTraceText(std::string_view text);

// The bytes EscapeTraceText was given; nullopt for a stray "\", a raw control byte or a
// byte that belongs to no well-formed UTF-8 sequence.
std::optional<std::string> UnescapeTraceText(std::string_view text);

}  // namespace kp
