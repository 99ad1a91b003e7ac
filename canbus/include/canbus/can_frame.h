// can_frame.h - identifier and frame rules shared by the driver, every transport, the
// simulated devices and the tools.
#ifndef CANBUS_CAN_FRAME_H
#define CANBUS_CAN_FRAME_H

#include <cstdint>
#include <cstring>

#include "ntcan.h"

namespace canbus {

constexpr std::int32_t kStandardIdMax = 0x7FF;
constexpr std::int32_t kExtendedIdMax = 0x1FFFFFFF;
constexpr std::uint8_t kMaxDataLength = 8;

inline bool is_extended(std::int32_t id) { return (id & NTCAN_20B_BASE) != 0; }

// 11-bit identifiers 0..0x7FF, 29-bit identifiers as id | NTCAN_20B_BASE.
inline bool valid_id(std::int32_t id) {
  return (id >= 0 && id <= kStandardIdMax) ||
         (id >= NTCAN_20B_BASE && id <= (NTCAN_20B_BASE | kExtendedIdMax));
}

inline bool is_remote(const CMSG& m) { return (m.len & NTCAN_RTR) != 0; }

inline bool valid_frame(const CMSG& m) {
  return valid_id(m.id) && NTCAN_DLC(m.len) <= kMaxDataLength;
}

// The frame as it appears on a bus: no bytes beyond its length, none in a remote request,
// bookkeeping fields zero. Expects a valid frame.
inline CMSG on_wire(const CMSG& m) {
  CMSG w;
  std::memset(&w, 0, sizeof w);
  w.id = m.id;
  w.len = static_cast<std::uint8_t>(m.len & (NTCAN_RTR | 0x0F));
  if (!is_remote(m)) std::memcpy(w.data, m.data, NTCAN_DLC(m.len));
  return w;
}

}  // namespace canbus

#endif  // CANBUS_CAN_FRAME_H
