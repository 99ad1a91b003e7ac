// gateway_config.h - what a simulated gateway serves: addresses, buses, devices, behaviour.
#ifndef GATEWAY_SIM_GATEWAY_CONFIG_H
#define GATEWAY_SIM_GATEWAY_CONFIG_H

#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace gateway_sim {

struct DeviceConfig {
  std::string bus;
  int node = 1;
  std::string name, hw, sw;  // 0x1008, 0x1009, 0x100A
};

struct Config {
  std::string address = "127.0.0.1";  // IPv4 address both services bind to
  int can_port = 29536;               // 0: any free port
  int http_port = 80;                 // 0: any free port, -1: no HTTP service
  std::vector<std::string> buses;     // none given: one bus "can0"
  std::vector<DeviceConfig> devices;
  std::chrono::milliseconds reboot_time{3000};
  // A client (socketcand or HTTP) that sends nothing for this long is disconnected; an HTTP
  // client also when it takes no byte of its answer for this long. 0: never.
  std::chrono::milliseconds idle_time{300000};
  // Output a client may have waiting: past it, frames for that client are dropped (and
  // counted) and its own requests are not read until it has caught up.
  std::size_t client_backlog = 8u << 20;
  // false: answers "< sendrtr >" with an error, as a server without remote frames does.
  bool remote_frames = true;
  bool log = true;  // one line per connection, handshake, request and reset on stderr
};

// Reads the bus and device lines of a configuration file into cfg:
//   bus can0
//   device can0 5 "Maker name" "HW1" "SW1"
//   remote-frames off
//   reboot-ms 3000
//   idle-ms 300000
// '#' starts a comment outside quotes. False with error ("line N: ...") on the first bad line.
bool parse_config(std::istream& in, Config& cfg, std::string& error);

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_GATEWAY_CONFIG_H
