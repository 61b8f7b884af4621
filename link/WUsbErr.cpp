#include "link/WUsbErr.h"

#include <cstdio>
#include <iterator>

namespace kp {

namespace {
// Indexed by error code.
constexpr const char* kTexts[] = {
    "Błąd zapisu Pipe Timeout.",
    "Nie otwarte (funkcją Link) urządzenie.",
    "Błąd rozmiaru danych.",
    "Brak odpowiedzi.",
    "Brak ACK.",
    "Nieprawidłowa odpowiedź na stary rozkaz M",
    "Nieprawidłowa odpowiedź.",
    "Błąd podpisu przy logowaniu.",
    "Brak odpowiedzi na rozkaz przesłany rozkazem T",
    "Brak ACK na rozkaz przesłany rozkazem T",
    "Nieprawidłowa odpowiedź na rozkaz przesłany rozkazem T",
    "Błąd parametrów rozkazu (wewnętrzny błąd w programie)",
    "Nieznany typ urządzenia",
};
constexpr const char* kNoDescription = "Brak opisu błędu.";
}  // namespace

const char* WUsbErrText(int32_t errorCode) {
  if (errorCode < 0 || errorCode >= static_cast<int32_t>(std::size(kTexts))) return nullptr;
  return kTexts[errorCode];
}

std::string FormatWUsbErr(const WUsbErr& error) {
  const char* text = WUsbErrText(error.errorCode);
  if (text == nullptr) return kNoDescription;
  char line[160];
  std::snprintf(line, sizeof line, "%s, rozk: %c", text, static_cast<char>(error.commandByte));
  return line;
}

}  // namespace kp
