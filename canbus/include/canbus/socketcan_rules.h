// socketcan_rules.h - what the socketcan transport decides without touching a socket: frame
// conversion between CMSG and the kernel's can_frame, the kernel receive filter of a handle,
// the controller state read from error frames, and which NTCAN status each condition of an
// interface or a socket call becomes (the one status table of this transport).
#ifndef NTCAN_SOCKETCAN_RULES_H
#define NTCAN_SOCKETCAN_RULES_H

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "ntcan.h"

namespace canbus {
namespace socketcan {

// ------------------------------------------------------------ frames
// A valid CMSG (can_frame.h) as the kernel sends it: NTCAN_20B_BASE becomes CAN_EFF_FLAG,
// NTCAN_RTR becomes CAN_RTR_FLAG with the data length kept and no data bytes.
can_frame to_kernel(const CMSG& m);
// A received data or remote frame as a CMSG; false for error frames (CAN_ERR_FLAG), which
// carry controller state rather than traffic. A data length above 8 is read as 8.
bool from_kernel(const can_frame& f, CMSG& out);

// ------------------------------------------------------------ receive filter
// One exact filter per enabled identifier, standard and extended kept apart (CAN_EFF_FLAG in
// identifier and mask); data and remote frames pass alike. When more identifiers are enabled
// than max_filters allows, a kind that does not fit is let through whole by one filter (the
// handle layer still filters exactly in user space).
std::vector<can_filter> kernel_filters(const std::set<std::int32_t>& ids,
                                       std::size_t max_filters = CAN_RAW_FILTER_MAX);

// Error classes the transport subscribes to (CAN_RAW_ERR_FILTER).
constexpr can_err_mask_t kErrorClasses = CAN_ERR_CRTL | CAN_ERR_BUSOFF | CAN_ERR_RESTARTED;

// ------------------------------------------------------------ controller state
enum class Controller { kActive, kWarning, kPassive, kBusOff };

// The state after an error frame (error frames of other classes leave it as it is).
Controller next_state(Controller now, const can_frame& error_frame);

// ------------------------------------------------------------ conditions and statuses
enum class Condition {
  kOk,
  kNoSocketcan,      // socket(PF_CAN, SOCK_RAW, CAN_RAW) refused: kernel without can / can-raw
  kNoInterface,      // no interface of that name, or the one the handle was bound to is gone
  kNotCan,           // the interface exists but is no CAN interface
  kInterfaceDown,    // IFF_UP clear, or a call failed with ENETDOWN
  kBusOff,           // bus-off reported by an error frame, or the interface is up without carrier
  kTxQueueFull,      // ENOBUFS / EAGAIN on send while the controller is error active
  kTxQueueFullWarn,  // the same while the controller is in warning or passive state
  kNoResources,      // EMFILE / ENFILE / ENOMEM
  kIoError,          // any other failure of a socket call
};

struct StatusRule {
  Condition condition;
  int status;
  const char* text;  // what the transport logs when a net enters the condition
};

// The table itself (socketcan_rules.cc), for documentation and tests.
const std::vector<StatusRule>& status_table();
int status_of(Condition c);
const char* text_of(Condition c);

// What errno of a socket call means. A full transmit queue depends on the controller state.
Condition condition_of_errno(int err, Controller state = Controller::kActive);
// What interface flags mean for a bound handle: present = the name still resolves to the
// index the handle was bound to.
Condition condition_of_interface(bool present, unsigned flags);

// boardstatus of canStatus for a controller state.
std::uint32_t boardstatus_of(Controller c);
constexpr std::uint32_t kBoardActive = 0x00;
constexpr std::uint32_t kBoardWarning = 0x40;
constexpr std::uint32_t kBoardPassive = 0x80;
constexpr std::uint32_t kBoardBusOff = 0xC0;

// ------------------------------------------------------------ bit rate
// The bit rate of an NTCAN baud-rate code, 0 when this driver does not know the code.
std::uint32_t bitrate_of_code(std::uint32_t code);
// The bit rate in an rtnetlink answer to RTM_GETLINK (IFLA_LINKINFO / IFLA_INFO_DATA /
// IFLA_CAN_BITTIMING); false when it has none, as for a virtual CAN interface.
bool bitrate_from_link(const void* message, std::size_t size, std::uint32_t& bitrate);

}  // namespace socketcan
}  // namespace canbus

#endif  // NTCAN_SOCKETCAN_RULES_H
