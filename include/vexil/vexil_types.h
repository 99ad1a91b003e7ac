// vexil_types.h - small value types shared by the framework's headers.
#ifndef VEXIL_TYPES_H
#define VEXIL_TYPES_H

#include <cstdint>

namespace vexil {
// Nanoseconds since the epoch; 0 means unset.
using Timestamp = std::int64_t;
// Identifier of a machine event (a shot, a cycle) that buffered values are kept under.
using EventId = std::uint64_t;
}  // namespace vexil

// Status of an archived value.
enum ArchiveStatus : std::uint16_t {
  sts_ok = 0,
  sts_err = 1,
  sts_off = 2,
  sts_ok2 = 4,
  sts_offline = 6,
  sts_la10 = 0x8000,
};

// Four 32-bit integers: the value type of a CAN node's identity.
struct IIII {
  std::int32_t i1_data;
  std::int32_t i2_data;
  std::int32_t i3_data;
  std::int32_t i4_data;
};

#endif  // VEXIL_TYPES_H
