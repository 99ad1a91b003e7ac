// socketcand_server.h - the gateway's CAN side: socketcand clients (handshake, raw mode,
// frames), the buses they open and the simulated devices on each bus.
//
// Each bus carries the frames of its clients and devices: a frame a client sends reaches the
// other clients of the bus and its devices, and what the devices send reaches every client.
//
// Hostile clients cannot hurt the others: what waits to be written to a client is bounded
// (frames past the configured backlog are dropped for that client and counted; its own
// requests are not read while it is that far behind), a client that sends nothing for the
// configured idle time is disconnected, and every request gets an answer it can see (an error for
// anything unknown or malformed).
//
// A frame is encoded once, whatever the number of clients it reaches, and what a turn of the
// loop queued for a client goes out in one write; frames cross without allocations of their
// own (the device host's work queue recycles a block now and then).
//
// Everything but the counters (connections, raw_clients, raw_opens, frames, wait_clients) runs on
// the gateway's loop thread.
#ifndef GATEWAY_SIM_SOCKETCAND_SERVER_H
#define GATEWAY_SIM_SOCKETCAND_SERVER_H

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "canbus/socketcand_wire.h"
#include "gateway_config.h"
#include "simdev/canopen_device.h"
#include "simdev/device_host.h"

namespace gateway_sim {

class SocketcandServer {
 public:
  using Clock = std::chrono::steady_clock;
  using Log = std::function<void(const std::string&)>;

  SocketcandServer(const Config& cfg, Log log);
  ~SocketcandServer();
  SocketcandServer(const SocketcandServer&) = delete;
  SocketcandServer& operator=(const SocketcandServer&) = delete;

  // A new connection: greeted, then served.
  void add_client(int fd);
  // Appends one pollfd per client; serve() takes them back in the same order.
  void poll_fds(std::vector<pollfd>& fds) const;
  void serve(const pollfd* fds, std::size_t count);
  // Sends what the devices owe their buses by now, writes pending output, closes idle clients
  // and forgets closed ones. Returns true if a client was closed (a descriptor came free).
  bool tick(Clock::time_point now);
  // When tick() next has something to do (a device frame, an idle limit); time_point::max()
  // when nothing waits.
  Clock::time_point next_deadline() const;
  // Every client goes (gateway down, rebooting, stopping).
  void drop_all(const char* why);
  // Device frames still waiting are lost (a reboot).
  void drop_waiting();
  std::size_t clients() const { return clients_.size(); }

  // A configured device; null if there is none.
  std::shared_ptr<simdev::canopen::Device> device(const std::string& bus, int node) const;

  // Thread-safe counters.
  std::uint64_t frames(const std::string& bus) const;
  // Connections accepted since the start.
  std::uint64_t connections() const;
  // Clients of bus in raw mode now, and clients that entered raw mode on it since the start.
  int raw_clients(const std::string& bus) const;
  std::uint64_t raw_opens(const std::string& bus) const;
  bool wait_clients(const std::string& bus, int n, std::chrono::milliseconds timeout);
  // Until a client's requests were left unread n times because it was too far behind.
  bool wait_held_back(std::uint64_t n, std::chrono::milliseconds timeout);

 private:
  struct Client;
  struct Bus {
    std::string name;
    simdev::DeviceHost devices;
    std::vector<std::shared_ptr<simdev::canopen::Device>> configured;
    std::vector<Client*> raw;  // its clients in raw mode, in the order they got there
  };

  static std::int64_t steady_ns(Clock::time_point t);
  void queue(Client& c, const std::string& text);
  void flush(Client& c);
  void drop(Client& c, const std::string& why);
  void read(Client& c, Clock::time_point now);
  void on_message(Client& c, std::string_view body);
  // Lets the frames in work_ and everything they provoke cross the bus.
  void run(int bus, std::int64_t now);
  bool wants_input(const Client& c) const;

  const Config& cfg_;
  Log log_;
  std::vector<Bus> buses_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::deque<simdev::BusFrame> work_;    // frames about to cross a bus, kept for its storage
  canbus::socketcand::Message message_;  // the message being served, kept likewise

  mutable std::mutex mx_;
  std::condition_variable cv_;
  std::map<std::string, int> raw_clients_;
  std::map<std::string, std::uint64_t> raw_opens_;
  std::map<std::string, std::uint64_t> frame_count_;
  std::uint64_t held_back_ = 0;
  std::uint64_t connections_ = 0;
};

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_SOCKETCAND_SERVER_H
