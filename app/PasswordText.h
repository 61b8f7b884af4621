// The password boxes' QString handed to the shared conversion (codepage/PasswordCodePage.h):
// the ANSI code page on Windows, Windows-1250 with "?" for a missing character elsewhere.
#pragma once

#include <QString>

#include <string>

namespace kp {

// PasswordTo8Bit of the box's UTF-16 text, read in place: no copy of the password is made
// here, and the result is built without reallocation, so the caller's wipe reaches it all.
std::string PasswordTo8Bit(const QString& password);

}  // namespace kp
