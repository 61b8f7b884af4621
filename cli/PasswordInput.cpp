#include "cli/PasswordInput.h"

#include "codepage/PasswordCodePage.h"
#include "crypto/SecureWipe.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kp {

namespace {

// Far more than the 20 characters a password may have: a longer line is read whole and then
// refused for its length, not cut.
constexpr size_t kLineCapacity = 512;

std::optional<std::u16string> FromUtf8(const char* bytes, size_t length) {
  return Utf8ToUtf16(std::string_view(bytes, length));
}

}  // namespace

std::optional<std::u16string> ReadStdinPassword() {
  char line[kLineCapacity];
  const WipeOnExit wipe(line, sizeof line);
  size_t length = 0;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (length < sizeof line) line[length++] = static_cast<char>(c);
  }
  if (c == EOF && length == 0) return std::nullopt;
  if (length > 0 && line[length - 1] == '\r') --length;
  return FromUtf8(line, length);
}

#ifdef _WIN32

// Text on the console itself, as UTF-16: the prompt's Polish letters come out right whatever
// the console's code page, and it goes to the person typing even when standard error does not.
void ToConsole(const char* text) {
  const HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  if (const std::optional<std::u16string> wide = Utf8ToUtf16(text)) {
    DWORD written = 0;
    WriteConsoleW(out, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
  }
  CloseHandle(out);
}

std::optional<std::u16string> ReadTerminalPassword(const char* prompt, std::string* error) {
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) {
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    *error =
        "brak konsoli; hasło przez --password-stdin / no console; give the password "
        "with --password-stdin";
    return std::nullopt;
  }
  ToConsole(prompt);
  SetConsoleMode(in, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
  wchar_t line[kLineCapacity];
  const WipeOnExit wipe(line, sizeof line);
  DWORD read = 0;
  const BOOL ok = ReadConsoleW(in, line, kLineCapacity, &read, nullptr);
  SetConsoleMode(in, mode);
  CloseHandle(in);
  ToConsole("\n");
  if (!ok || read == 0) return std::nullopt;
  size_t length = read;
  // Ctrl+C leaves the line without its end: nothing was entered.
  if (length == 0 || line[length - 1] != L'\n') return std::nullopt;
  while (length > 0 && (line[length - 1] == L'\n' || line[length - 1] == L'\r')) --length;
  std::u16string text;
  text.reserve(length);
  for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(line[i]));
  return text;
}

#else

std::optional<std::u16string> ReadTerminalPassword(const char* prompt, std::string* error) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios saved{};
  if (tty < 0 || tcgetattr(tty, &saved) != 0) {
    if (tty >= 0) close(tty);
    *error =
        "brak terminala; hasło przez --password-stdin / no terminal; give the password "
        "with --password-stdin";
    return std::nullopt;
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  (void)!write(tty, prompt, std::char_traits<char>::length(prompt));
  tcsetattr(tty, TCSAFLUSH, &quiet);
  char line[kLineCapacity];
  const WipeOnExit wipe(line, sizeof line);
  size_t length = 0;
  bool ended = false;
  while (true) {
    char c = 0;
    const ssize_t n = read(tty, &c, 1);
    if (n < 0 && errno == EINTR) break;  // Ctrl+C or SIGTERM: the caller sees the stop
    if (n <= 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (length < sizeof line) line[length++] = c;
  }
  tcsetattr(tty, TCSAFLUSH, &saved);
  if (!ended) (void)!write(tty, "\n", 1);
  close(tty);
  if (!ended) return std::nullopt;
  return FromUtf8(line, length);
}

#endif

}  // namespace kp
