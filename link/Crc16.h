#pragma once

#include <cstdint>

namespace kp {

// CRC-16/MODBUS (reflected 0x8005, no final XOR), a byte at a time without a table.
// The initial value is taken modulo 0x10000; every caller passes 0xFFFF. Over a whole frame,
// its CRC bytes included, the result is 0.
uint16_t Crc16(const uint8_t* data, int32_t length, uint32_t initial);

inline constexpr uint32_t kCrc16Initial = 0xFFFF;

}  // namespace kp
