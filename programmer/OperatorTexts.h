// The operator's messages around the card and password operations: the guards' refusals and
// the outcomes of login and password change, as the window shows them and kpnox-cli prints
// them. One copy for both programs; the card results themselves are CardResultText's.
#pragma once

#include "platform/UsbPlatform.h"

#include <string>
#include <string_view>

namespace kp {

inline constexpr const char* kNoProgrammerText = "Brak Programatora KP-R50";
inline constexpr const char* kTwoProgrammersText =
    "Do komputera może być podłączony tylko jeden Programator KP-R50.";
inline constexpr const char* kNoConnectionText = "Brak połączenia z Programatorem R50.";
inline constexpr const char* kNoKeysText =
    "Programator KP-R50 nie zawiera kluczy.\n\n"
    "Administrator systemu powinien wgrać do R50\nklucze instalacji z Zamkor.";
inline constexpr const char* kNoUserPasswordText =
    "Programator nie ma ustawionego hasła Użytkownika.\n\n"
    "Początkowe hasło użytkownika ustala administrator.";
inline constexpr const char* kForcedChangeText =
    "Aktualne hasło użytkownika zostało ustalone przez administratora.\n\n"
    "Wymagana jest zmiana tego hasła przez użytkownika.";
inline constexpr const char* kNotLoggedInText =
    "Wymagane zalogowanie użytkownika do programatora Kp-R50.";
inline constexpr const char* kLoginRefusedText = "KP-R50 nie pozwala się zalogować";
inline constexpr const char* kLoggedInText = "Użytkownik zalogowany do KP-R50.";
inline constexpr const char* kOldPasswordRefusedText =
    "KP-R50 nie przyjmuje logowania starym hasłem.";
inline constexpr const char* kChangeRefusedText =
    "KP-R50 przyjął logowanie starym hasłem, ale odrzuca zmianę hasła.";
inline constexpr const char* kNewPasswordRefusedText =
    "KP-R50 przyjął zmianę hasła, ale odrzuca logowanie nim.";
inline constexpr const char* kPasswordChangedText =
    "Hasło użytkownika zostało zmienione.\n\n      Użytkownik zalogowany.";
inline constexpr const char* kCardErasedText = "Karta skasowana.";
// The programmer was re-linked while a dialog was open: what was decided before it may no
// longer hold.
inline constexpr const char* kReconnectedText =
    "W trakcie obsługi okna dialogowego programator KP-R50 był rozłączany.\n\n"
    "Operacja zostaje przerwana gdyż rozłączenie/podłączenie tego samego\n"
    "lub innego programatora oznacza, że wcześniej podjęte przez program\n"
    "decyzje mogą być niespójne z aktualnym stanem programatora.\n\n"
    "Powtórz całą operację od początku.";

// A new password the programmer would not receive exactly as typed: a character outside the
// code page would go as "?" or a look-alike, and the password set would be weaker than the
// one the operator chose. Names each such character, for example "„Ж”, „ы”".
std::string UnrepresentablePasswordText(std::u32string_view characters);

// One line for a programmer the platform sees but cannot open, e.g. "KP-R50 na 001/007:
// urządzenie zajęte przez inny program".
std::string UnreachableReason(const UnreachableDevice& device);

}  // namespace kp
