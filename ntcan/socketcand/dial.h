// dial.h - a bounded connection to a socketcand gateway: name lookup, TCP connect and the
// greeting, bus and raw mode exchange, all within one deadline.
#ifndef NTCAN_SOCKETCAND_DIAL_H
#define NTCAN_SOCKETCAND_DIAL_H

#include <chrono>
#include <deque>
#include <string>

#include "canbus/socketcand_wire.h"

namespace ntcan_driver {

// Connects to host:port, opens bus and switches to raw mode before the deadline. On success
// returns NTCAN_SUCCESS with fd a connected blocking socket, reader holding any partial
// message and rest the messages that came after the last reply. Otherwise returns
// NTCAN_SOCK_HOST_NOT_FOUND (no address in time), NTCAN_SOCK_CONN_TIMEOUT (no connection or
// no answer in time) or NTCAN_NET_NOT_FOUND (the gateway refused the bus), and fd is -1.
int dial_gateway(const std::string& host, int port, const std::string& bus,
                 std::chrono::steady_clock::time_point deadline, int& fd,
                 canbus::socketcand::MessageReader& reader, std::deque<std::string>& rest);

// Writes all of text, waiting for room at most until the deadline.
bool write_all(int fd, const std::string& text, std::chrono::steady_clock::time_point deadline);

}  // namespace ntcan_driver

#endif  // NTCAN_SOCKETCAND_DIAL_H
