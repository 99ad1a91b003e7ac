// canopen/endian.h - little-endian values, the byte order of every CANopen number on the bus
// (SDO index and abort code, object values, PDO contents, the EMCY error code).
#ifndef KORVEL_CANOPEN_ENDIAN_H
#define KORVEL_CANOPEN_ENDIAN_H

#include <cstddef>
#include <cstdint>

namespace korvel {
namespace canopen {

// The value of the n bytes at p, least significant first (n: 0 to 8; more count as 8).
constexpr std::uint64_t get_le(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n < 8 ? n : 8; i > 0; --i) v = v << 8 | p[i - 1];
  return v;
}

// Writes the low n bytes of v to p, least significant first (n: 0 to 8; more count as 8).
constexpr void put_le(std::uint8_t* p, std::size_t n, std::uint64_t v) {
  for (std::size_t i = 0; i < n && i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr std::uint16_t get_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(get_le(p, 2));
}
constexpr std::uint32_t get_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(get_le(p, 4));
}
constexpr std::uint64_t get_le64(const std::uint8_t* p) { return get_le(p, 8); }

constexpr void put_le16(std::uint8_t* p, std::uint16_t v) { put_le(p, 2, v); }
constexpr void put_le32(std::uint8_t* p, std::uint32_t v) { put_le(p, 4, v); }
constexpr void put_le64(std::uint8_t* p, std::uint64_t v) { put_le(p, 8, v); }

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_ENDIAN_H
