// Where kpnox-cli's passwords come from: the terminal with its echo off, or standard input.
// Never the command line, where other users can read it in the process list. Every buffer
// that held a password is wiped before it is let go.
#pragma once

#include <optional>
#include <string>

namespace kp {

// Prompts on the terminal (Linux: /dev/tty, Windows: the console), reads one line with the
// echo off and puts the echo back however the read ends. nullopt when there is no terminal
// (`error` then says so), at end of input, on Ctrl+C, or when the line is not UTF-8.
std::optional<std::u16string> ReadTerminalPassword(const char* prompt, std::string* error);

// One line of standard input, UTF-8, without its line end (LF or CRLF); nullopt at the end
// of input or when the line is not UTF-8.
std::optional<std::u16string> ReadStdinPassword();

}  // namespace kp
