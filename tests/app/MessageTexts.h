// The texts of the message boxes, as the operator must see them; shared by the action tests
// and the caption layout check (which has no Qt Test).
#pragma once

namespace kp::test {

// The messages of the actions, as the operator must see them.
inline constexpr const char* kNoConnection = "Brak połączenia z Programatorem R50.";
inline constexpr const char* kNoKeys =
    "Programator KP-R50 nie zawiera kluczy.\n\nAdministrator systemu powinien wgrać do R50\n"
    "klucze instalacji z Zamkor.";
inline constexpr const char* kNoUserPassword =
    "Programator nie ma ustawionego hasła Użytkownika.\n\nPoczątkowe hasło użytkownika "
    "ustala administrator.";
inline constexpr const char* kForcedChange =
    "Aktualne hasło użytkownika zostało ustalone przez administratora.\n\nWymagana jest "
    "zmiana tego hasła przez użytkownika.";
inline constexpr const char* kNotLoggedIn =
    "Wymagane zalogowanie użytkownika do programatora Kp-R50.";
inline constexpr const char* kReconnected =
    "W trakcie obsługi okna dialogowego programator KP-R50 był rozłączany.\n\nOperacja "
    "zostaje przerwana gdyż rozłączenie/podłączenie tego samego\nlub innego programatora "
    "oznacza, że wcześniej podjęte przez program\ndecyzje mogą być niespójne z aktualnym "
    "stanem programatora.\n\nPowtórz całą operację od początku.";
inline constexpr const char* kLoginRefused = "KP-R50 nie pozwala się zalogować";
inline constexpr const char* kLoggedIn = "Użytkownik zalogowany do KP-R50.";
inline constexpr const char* kOldPasswordRefused = "KP-R50 nie przyjmuje logowania starym hasłem.";
inline constexpr const char* kChangeRefused =
    "KP-R50 przyjął logowanie starym hasłem, ale odrzuca zmianę hasła.";
inline constexpr const char* kNewPasswordRefused =
    "KP-R50 przyjął zmianę hasła, ale odrzuca logowanie nim.";
inline constexpr const char* kPasswordChanged =
    "Hasło użytkownika zostało zmienione.\n\n      Użytkownik zalogowany.";
inline constexpr const char* kCardErased = "Karta skasowana.";
inline constexpr const char* kNoProgrammer = "Brak Programatora KP-R50";
inline constexpr const char* kTwoProgrammers =
    "Do komputera może być podłączony tylko jeden Programator KP-R50.";

// Every text a message box of the main window shows besides the card results.
inline constexpr const char* kAllMessages[] = {
    kNoConnection,       kNoKeys,          kNoUserPassword, kForcedChange,       kNotLoggedIn,
    kReconnected,        kLoginRefused,    kLoggedIn,       kOldPasswordRefused, kChangeRefused,
    kNewPasswordRefused, kPasswordChanged, kCardErased,     kTwoProgrammers};

}  // namespace kp::test
