// gateway_sim.h - a simulated CAN network gateway: socketcand (raw mode) on a TCP port, an
// HTTP reset form, and behind them one or more simulated buses with CiA 301 devices.
//
// Its parts: the configuration (gateway_config.h), the reset form (reset_form.h), the
// socketcand clients with their buses and devices (socketcand_server.h), and the loop that
// runs them (gateway_sim.cc).
//
// A reset through the form "reboots" the gateway: every connection drops and new ones are
// refused for the reboot time.
// set_down() makes the CAN service hang until set_down(false) or a reset: connections drop
// and connects are refused while the HTTP form still answers.
// A client of either service that sends nothing for the configured idle time is closed, so
// that silent connections cannot use up the descriptors for good.
//
// Everything runs on one thread of the simulator's own; the methods may be called from any
// thread.
#ifndef GATEWAY_SIM_H
#define GATEWAY_SIM_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "gateway_config.h"
#include "reset_form.h"
#include "simdev/canopen_device.h"

namespace gateway_sim {

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
  // socketcand connections accepted since start (whatever became of them).
  std::uint64_t connections() const;
  // Clients of bus in raw mode now, and clients that entered raw mode on bus since start.
  int raw_clients(const std::string& bus) const;
  std::uint64_t raw_opens(const std::string& bus) const;

  // Until accepting a connection failed n times for want of a descriptor; how often it did.
  bool wait_accept_failures(std::uint64_t n, std::chrono::milliseconds timeout);
  std::uint64_t accept_failures() const;
  // Until a client's requests were left unread n times because it did not read its answers.
  bool wait_held_back(std::uint64_t n, std::chrono::milliseconds timeout);

  // Requests to /Forms/Firmware that arrived, and resets they caused.
  int form_requests() const;
  int resets() const;
  // Frames that crossed a bus (from clients and devices).
  std::uint64_t frames(const std::string& bus) const;

  // A configured device, to look at or to fault; null if there is none.
  std::shared_ptr<simdev::canopen::Device> device(const std::string& bus, int node) const;

 private:
  struct Impl;
  Config cfg_;
  int can_port_ = 0;
  int http_port_ = -1;
  std::unique_ptr<Impl> impl_;
};

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_H
