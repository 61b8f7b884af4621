// The command letters of the KP-R50 protocol, one table for the host and the virtual
// programmer alike. A reply carries its command letter OR 0x80.
#pragma once

#include <cstdint>

namespace kp {

inline constexpr uint8_t kCmdStatus = 0x4D;          // 'M'
inline constexpr uint8_t kCmdKeySignature = 0x73;    // 's'
inline constexpr uint8_t kCmdLogout = 0x6C;          // 'l'
inline constexpr uint8_t kCmdChallenge = 0x6E;       // 'n'
inline constexpr uint8_t kCmdCardInfo = 0x52;        // 'R'
inline constexpr uint8_t kCmdLogin = 0x4C;           // 'L'
inline constexpr uint8_t kCmdChangePassword = 0x48;  // 'H'
inline constexpr uint8_t kCmdPrepareCard = 0x70;     // 'p'
inline constexpr uint8_t kCmdWriteFile = 0x50;       // 'P'
inline constexpr uint8_t kCmdReadFile = 0x72;        // 'r'
inline constexpr uint8_t kCmdEraseCard = 0x43;       // 'C'

}  // namespace kp
