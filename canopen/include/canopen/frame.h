// canopen/frame.h - a CAN frame as this component builds it: identifier, length, 8 data bytes.
// Whoever sends it copies it into its driver's own frame type.
#ifndef KORVEL_CANOPEN_FRAME_H
#define KORVEL_CANOPEN_FRAME_H

#include <array>
#include <cstdint>

namespace korvel {
namespace canopen {

struct Frame {
  int cob_id = 0;        // the CAN identifier (11 bits in the predefined connection set)
  std::uint8_t len = 0;  // data length code, 0 to 8
  bool remote = false;   // a remote request: len is the length asked for, no data
  std::array<std::uint8_t, 8> data{};
};

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_FRAME_H
