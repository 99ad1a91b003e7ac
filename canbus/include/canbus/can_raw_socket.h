// can_raw_socket.h - CAN_RAW sockets bound to a SocketCAN interface, and what the kernel says
// about that interface. Shared by the socketcan transport and the device simulator.
#ifndef CANBUS_CAN_RAW_SOCKET_H
#define CANBUS_CAN_RAW_SOCKET_H

#include <string>
#include <vector>

#include "canbus/socketcan_rules.h"

namespace canbus {
namespace socketcan {

struct RawSocketOptions {
  bool receive_all = false;  // false: no frame passes until a filter is set
  bool error_frames = true;  // subscribe to kErrorClasses
  bool drop_count = true;    // SO_RXQ_OVFL: the kernel reports frames it dropped
};

// A bound CAN_RAW socket (close-on-exec). On failure fd is -1 and condition says why.
struct RawSocket {
  int fd = -1;
  int ifindex = 0;
  Condition condition = Condition::kOk;
};
RawSocket open_raw_socket(const std::string& ifname, const RawSocketOptions& options = {});

// The interface as a socket bound to ifindex sees it: gone (or replaced by another interface of
// the same name), down, without carrier, or fine.
Condition interface_condition(int fd, const std::string& ifname, int ifindex);

// Replaces the socket's receive filter; an empty list lets no frame through. Returns errno or 0.
int set_receive_filter(int fd, const std::vector<can_filter>& filters);

// The bit rate the interface runs at; false when it has none (vcan) or cannot be asked.
bool interface_bitrate(const std::string& ifname, std::uint32_t& bitrate);

// True when this kernel can create CAN_RAW sockets at all.
bool socketcan_available();

}  // namespace socketcan
}  // namespace canbus

#endif  // CANBUS_CAN_RAW_SOCKET_H
