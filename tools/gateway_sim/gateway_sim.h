// gateway_sim.h - a simulated CAN network gateway: socketcand (raw mode) on a TCP port, an
// HTTP reset form, and behind them one or more simulated buses with CiA 301 devices.
//
// Each bus carries the frames of its clients and devices: a frame a client sends reaches the
// other clients of the bus and its devices, and what the devices answer reaches every client.
// A POST of "FWUpdReset=1" to /Forms/Firmware with the administrator's basic credentials
// "reboots" the gateway: every connection drops and new ones are refused for the reboot time.
// set_down() makes the CAN service hang until set_down(false) or a reset: connections drop
// and connects are refused while the HTTP form still answers.
//
// Everything runs on one thread of the simulator's own; the methods may be called from any
// thread.
#ifndef GATEWAY_SIM_H
#define GATEWAY_SIM_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "canopen_device.h"

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
  // false: answers "< sendrtr >" with an error, as a server without remote frames does.
  bool remote_frames = true;
  bool log = true;  // one line per connection, handshake, request and reset on stderr
};

// Reads the bus and device lines of a configuration file into cfg:
//   bus can0
//   device can0 5 "Maker name" "HW1" "SW1"
//   remote-frames off
//   reboot-ms 3000
// '#' starts a comment outside quotes. False with error ("line N: ...") on the first bad line.
bool parse_config(std::istream& in, Config& cfg, std::string& error);

// The user and password of the reset form.
constexpr const char* kAdminUser = "vexiladm";
constexpr const char* kAdminPassword = "rqx8mulfo";

class GatewaySim {
 public:
  explicit GatewaySim(Config cfg);
  ~GatewaySim();
  GatewaySim(const GatewaySim&) = delete;
  GatewaySim& operator=(const GatewaySim&) = delete;

  // Binds both services and starts serving; false with error when a port cannot be bound.
  bool start(std::string& error);
  void stop();

  // The ports really bound (after start).
  int can_port() const { return can_port_; }
  int http_port() const { return http_port_; }
  const Config& config() const { return cfg_; }

  // Hangs (true) or restores (false) the CAN service; returns once the simulator did it.
  void set_down(bool down);
  // Until the CAN service accepts connections again (not down, not rebooting).
  bool wait_serving(std::chrono::milliseconds timeout);
  // Until exactly n clients of bus are in raw mode.
  bool wait_clients(const std::string& bus, int n, std::chrono::milliseconds timeout);

  // Requests to /Forms/Firmware that arrived, and resets they caused.
  int form_requests() const;
  int resets() const;
  // Frames that crossed a bus (from clients and devices).
  std::uint64_t frames(const std::string& bus) const;

  // A configured device, to look at or to fault; null if there is none.
  std::shared_ptr<canopen::Device> device(const std::string& bus, int node) const;

 private:
  struct Impl;
  Config cfg_;
  int can_port_ = 0;
  int http_port_ = -1;
  std::unique_ptr<Impl> impl_;
};

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_H
