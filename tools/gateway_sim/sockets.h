// sockets.h - the few socket calls the simulated gateway makes in more than one place.
#ifndef GATEWAY_SIM_SOCKETS_H
#define GATEWAY_SIM_SOCKETS_H

#include <string>

namespace gateway_sim {

// A non-blocking listening TCP socket on address:port (port 0: any); bound is the port it got.
// -1 with error set on failure.
int listen_on(const std::string& address, int port, int& bound, std::string& error);

// "address:port" of the peer of a connected socket, "?" if unknown.
std::string peer_of(int fd);

enum class Accepted { kConnection, kNone, kNoDescriptor };
// Accepts one pending connection (non-blocking, close-on-exec) into fd. kNoDescriptor: the
// process or the system has no descriptor left; the connection stays pending.
Accepted accept_one(int listen_fd, int& fd);

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_SOCKETS_H
