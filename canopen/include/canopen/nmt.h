// canopen/nmt.h - NMT module control and error control (CiA 301): the commands the master sends
// on identifier 0x000, and the state byte a device sends on 0x700 + node-ID (boot-up, node
// guarding answer, heartbeat).
#ifndef KORVEL_CANOPEN_NMT_H
#define KORVEL_CANOPEN_NMT_H

#include <cstdint>

#include "canopen/cob_id.h"
#include "canopen/frame.h"

namespace korvel {
namespace canopen {

// Command specifiers, byte 0 of an NMT frame; byte 1 is the node-ID, 0 for all devices.
enum class NmtCommand : std::uint8_t {
  kStart = 0x01,  // -> operational
  kStop = 0x02,   // -> stopped
  kEnterPreOperational = 0x80,
  kResetNode = 0x81,
  kResetCommunication = 0x82,
};

// States as a device reports them in bits 0-6 of its error-control byte.
enum class NmtState : std::uint8_t {
  kBootUp = 0x00,
  kStopped = 0x04,
  kOperational = 0x05,
  kPreOperational = 0x7F,
};

constexpr std::uint8_t kNmtStateMask = 0x7F;
constexpr std::uint8_t kGuardingToggle = 0x80;  // bit 7 of a node guarding answer
constexpr int kNmtAllNodes = 0;                 // node-ID 0 of an NMT frame: every device

// The state and the toggle bit of an error-control byte. The state is not checked against
// NmtState's values: a device may report others.
constexpr NmtState nmt_state_of(std::uint8_t byte) {
  return static_cast<NmtState>(byte & kNmtStateMask);
}
constexpr bool guarding_toggle_of(std::uint8_t byte) { return (byte & kGuardingToggle) != 0; }

// The NMT frame of command for node_id (0 for all devices; taken modulo 256).
constexpr Frame nmt_frame(NmtCommand command, int node_id) {
  Frame f;
  f.cob_id = kNmtId;
  f.len = 2;
  f.data[0] = static_cast<std::uint8_t>(command);
  f.data[1] = static_cast<std::uint8_t>(node_id & 0xFF);
  return f;
}

// A device's error-control frame: its state, and for a guarding answer the toggle bit. The
// boot-up frame is the state kBootUp, a heartbeat the state without toggle.
constexpr Frame error_control_frame(int node_id, NmtState state, bool toggle = false) {
  Frame f;
  f.cob_id = error_control_id(node_id);
  f.len = 1;
  f.data[0] =
      static_cast<std::uint8_t>(static_cast<std::uint8_t>(state) | (toggle ? kGuardingToggle : 0));
  return f;
}

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_NMT_H
