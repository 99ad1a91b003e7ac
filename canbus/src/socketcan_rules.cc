// socketcan_rules.cc - frame conversion, receive filters, controller state and the status table
// of the socketcan transport.
#include "canbus/socketcan_rules.h"

#include <linux/can/netlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "canbus/can_frame.h"

namespace canbus {
namespace socketcan {

can_frame to_kernel(const CMSG& m) {
  can_frame f;
  std::memset(&f, 0, sizeof f);
  if (is_extended(m.id)) {
    f.can_id = (static_cast<canid_t>(m.id) & CAN_EFF_MASK) | CAN_EFF_FLAG;
  } else {
    f.can_id = static_cast<canid_t>(m.id) & CAN_SFF_MASK;
  }
  f.can_dlc = static_cast<__u8>(NTCAN_DLC(m.len));
  if (is_remote(m)) {
    f.can_id |= CAN_RTR_FLAG;
  } else {
    std::memcpy(f.data, m.data, f.can_dlc);
  }
  return f;
}

bool from_kernel(const can_frame& f, CMSG& out) {
  if (f.can_id & CAN_ERR_FLAG) return false;
  std::memset(&out, 0, sizeof out);
  if (f.can_id & CAN_EFF_FLAG) {
    out.id = static_cast<std::int32_t>(f.can_id & CAN_EFF_MASK) | NTCAN_20B_BASE;
  } else {
    out.id = static_cast<std::int32_t>(f.can_id & CAN_SFF_MASK);
  }
  const std::uint8_t dlc = f.can_dlc > kMaxDataLength ? kMaxDataLength : f.can_dlc;
  out.len = dlc;
  if (f.can_id & CAN_RTR_FLAG) {
    out.len |= NTCAN_RTR;
  } else {
    std::memcpy(out.data, f.data, dlc);
  }
  return true;
}

std::vector<can_filter> kernel_filters(const std::set<std::int32_t>& ids, std::size_t max_filters) {
  std::vector<can_filter> standard, extended;
  for (std::int32_t id : ids) {
    if (!valid_id(id)) continue;
    if (is_extended(id)) {
      extended.push_back(
          {(static_cast<canid_t>(id) & CAN_EFF_MASK) | CAN_EFF_FLAG, CAN_EFF_FLAG | CAN_EFF_MASK});
    } else {
      standard.push_back({static_cast<canid_t>(id), CAN_EFF_FLAG | CAN_SFF_MASK});
    }
  }
  const can_filter all_standard{0, CAN_EFF_FLAG};
  const can_filter all_extended{CAN_EFF_FLAG, CAN_EFF_FLAG};
  auto fits = [&] { return standard.size() + extended.size() <= max_filters; };
  // Give up exactness for the kind with more identifiers first: it frees the most room.
  if (!fits()) {
    auto& bigger = standard.size() >= extended.size() ? standard : extended;
    bigger.assign(1, &bigger == &standard ? all_standard : all_extended);
  }
  if (!fits()) {
    auto& other = standard.size() > 1 ? standard : extended;
    other.assign(1, &other == &standard ? all_standard : all_extended);
  }
  std::vector<can_filter> out = standard;
  out.insert(out.end(), extended.begin(), extended.end());
  return out;
}

Controller next_state(Controller now, const can_frame& f) {
  if (!(f.can_id & CAN_ERR_FLAG)) return now;
  if (f.can_id & CAN_ERR_BUSOFF) return Controller::kBusOff;
  if (f.can_id & CAN_ERR_RESTARTED) return Controller::kActive;
  if (f.can_id & CAN_ERR_CRTL) {
    const std::uint8_t c = f.data[1];
    if (c & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) return Controller::kPassive;
    if (c & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) return Controller::kWarning;
    if (c & CAN_ERR_CRTL_ACTIVE) return Controller::kActive;
  }
  return now;
}

// How the conditions of a SocketCAN interface reach the caller. A receive time-out is not a
// condition of the interface: canRead reports it as NTCAN_RX_TIMEOUT in the handle layer.
//
//   condition          status                        seen by
//   kNoSocketcan       NTCAN_INVALID_DRIVER          canOpen
//   kNoInterface       NTCAN_NET_NOT_FOUND           canOpen; every call on a handle whose
//                                                    interface was removed (re-open it)
//   kNotCan            NTCAN_INVALID_HARDWARE        canOpen
//   kInterfaceDown     NTCAN_CONTR_OFF_BUS           canOpen, canSend, canRead, canTake,
//                                                    canStatus, canSetBaudrate: the supervision
//                                                    thread closes the line and re-opens it
//                                                    once the interface is up again
//   kBusOff            NTCAN_CONTR_OFF_BUS           canStatus (boardstatus kBoardBusOff),
//                                                    canSend; cleared by a restart error frame
//   kTxQueueFull       NTCAN_TX_ERROR                canSend, after a short retry
//   kTxQueueFullWarn   NTCAN_CONTR_WARN              canSend, after a short retry
//   kNoResources       NTCAN_INSUFFICIENT_RESOURCES  canOpen, canSend
//   kIoError           NTCAN_TX_ERROR                any call (unexpected errno, logged)
//
// Warning and passive state alone fail no call: canStatus succeeds and reports them in
// boardstatus (kBoardWarning, kBoardPassive), which the library logs when it changes.
const std::vector<StatusRule>& status_table() {
  static const std::vector<StatusRule> table = {
      {Condition::kOk, NTCAN_SUCCESS, "ok"},
      {Condition::kNoSocketcan, NTCAN_INVALID_DRIVER,
       "no SocketCAN in this kernel (modules can, can-raw)"},
      {Condition::kNoInterface, NTCAN_NET_NOT_FOUND, "no such interface"},
      {Condition::kNotCan, NTCAN_INVALID_HARDWARE, "not a CAN interface"},
      {Condition::kInterfaceDown, NTCAN_CONTR_OFF_BUS, "interface down"},
      {Condition::kBusOff, NTCAN_CONTR_OFF_BUS, "controller bus-off"},
      {Condition::kTxQueueFull, NTCAN_TX_ERROR, "transmit queue full"},
      {Condition::kTxQueueFullWarn, NTCAN_CONTR_WARN,
       "transmit queue full, controller warning/passive"},
      {Condition::kNoResources, NTCAN_INSUFFICIENT_RESOURCES, "out of sockets or memory"},
      {Condition::kIoError, NTCAN_TX_ERROR, "socket call failed"},
  };
  return table;
}

static const StatusRule& rule(Condition c) {
  for (const StatusRule& r : status_table()) {
    if (r.condition == c) return r;
  }
  return status_table().back();
}

int status_of(Condition c) { return rule(c).status; }
const char* text_of(Condition c) { return rule(c).text; }

Condition condition_of_errno(int err, Controller state) {
  switch (err) {
    case 0:
      return Condition::kOk;
    case ENETDOWN:
      return Condition::kInterfaceDown;
    case ENODEV:
    case ENXIO:
      return Condition::kNoInterface;
    case ENOBUFS:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      if (state == Controller::kBusOff) return Condition::kBusOff;
      if (state == Controller::kActive) return Condition::kTxQueueFull;
      return Condition::kTxQueueFullWarn;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
    case ESOCKTNOSUPPORT:
    case EPFNOSUPPORT:
      return Condition::kNoSocketcan;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return Condition::kNoResources;
    default:
      return Condition::kIoError;
  }
}

Condition condition_of_interface(bool present, unsigned flags) {
  if (!present) return Condition::kNoInterface;
  if (!(flags & IFF_UP)) return Condition::kInterfaceDown;
  if (!(flags & IFF_RUNNING)) return Condition::kBusOff;  // can-dev drops the carrier at bus-off
  return Condition::kOk;
}

std::uint32_t boardstatus_of(Controller c) {
  switch (c) {
    case Controller::kActive:
      return kBoardActive;
    case Controller::kWarning:
      return kBoardWarning;
    case Controller::kPassive:
      return kBoardPassive;
    case Controller::kBusOff:
      return kBoardBusOff;
  }
  return kBoardActive;
}

std::uint32_t bitrate_of_code(std::uint32_t code) {
  // Only the code the library opens its lines with is known here.
  return code == NTCAN_BAUD_125 ? 125000 : 0;
}

}  // namespace socketcan
}  // namespace canbus

namespace canbus {
namespace socketcan {
namespace {

// Walks the attributes in [p, p + size) and returns the payload of the first of type `type`.
bool find_attribute(const unsigned char* p, std::size_t size, unsigned short type,
                    const unsigned char*& payload, std::size_t& payload_size) {
  while (size >= sizeof(rtattr)) {
    rtattr a;
    std::memcpy(&a, p, sizeof a);
    if (a.rta_len < sizeof(rtattr) || a.rta_len > size) return false;
    if ((a.rta_type & NLA_TYPE_MASK) == type) {
      payload = p + RTA_LENGTH(0);
      payload_size = a.rta_len - RTA_LENGTH(0);
      return true;
    }
    const std::size_t step = RTA_ALIGN(a.rta_len);
    if (step >= size) return false;
    p += step;
    size -= step;
  }
  return false;
}

}  // namespace

bool bitrate_from_link(const void* message, std::size_t size, std::uint32_t& bitrate) {
  auto p = static_cast<const unsigned char*>(message);
  while (size >= sizeof(nlmsghdr)) {
    nlmsghdr h;
    std::memcpy(&h, p, sizeof h);
    if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > size) return false;
    const std::size_t head = NLMSG_LENGTH(sizeof(ifinfomsg));
    if (h.nlmsg_type == RTM_NEWLINK && h.nlmsg_len >= head) {
      const unsigned char* info = nullptr;
      const unsigned char* data = nullptr;
      const unsigned char* timing = nullptr;
      std::size_t info_size = 0, data_size = 0, timing_size = 0;
      if (find_attribute(p + NLMSG_ALIGN(head),
                         h.nlmsg_len - std::min<std::size_t>(h.nlmsg_len, NLMSG_ALIGN(head)),
                         IFLA_LINKINFO, info, info_size) &&
          find_attribute(info, info_size, IFLA_INFO_DATA, data, data_size) &&
          find_attribute(data, data_size, IFLA_CAN_BITTIMING, timing, timing_size) &&
          timing_size >= sizeof(can_bittiming)) {
        can_bittiming bt;
        std::memcpy(&bt, timing, sizeof bt);
        bitrate = bt.bitrate;
        return bt.bitrate != 0;
      }
      return false;
    }
    const std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
    if (step >= size) return false;
    p += step;
    size -= step;
  }
  return false;
}

}  // namespace socketcan
}  // namespace canbus
