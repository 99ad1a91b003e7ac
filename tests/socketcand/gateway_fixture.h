// gateway_fixture.h - a simulated gateway in the test process, the driver configured to reach
// it, and a bare TCP client to speak to it byte by byte.
#ifndef SOCKETCAND_GATEWAY_FIXTURE_H
#define SOCKETCAND_GATEWAY_FIXTURE_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "gateway_sim/gateway_sim.h"
#include "ntcan/test_controls.h"

// Bounds a test waits in real time for something that happens within milliseconds; only
// reached when the code under test is broken.
constexpr std::chrono::milliseconds kSafetyNet{20000};
constexpr int kSafetyNetMs = 20000;

// One TCP connection, read and written as raw bytes.
class RawClient {
 public:
  // receive_buffer > 0 fixes the socket's receive buffer at about that size (no autotuning),
  // so that what the client does not read backs up at the peer instead of in this kernel.
  RawClient(const std::string& address, int port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  void write(const std::string& s) {
    ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }
  // What one receive returns (empty at end of stream or after the safety net).
  std::string read_once() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kSafetyNetMs) != 1) return std::string();
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // Everything until the peer closes.
  std::string read_to_end() {
    std::string all;
    for (std::string part; !(part = read_once()).empty();) all += part;
    return all;
  }
  // True once the peer closed the connection (within the safety net).
  bool closed_by_peer() {
    pollfd p{fd_, POLLIN, 0};
    char buf[256];
    return ::poll(&p, 1, kSafetyNetMs) == 1 && ::recv(fd_, buf, sizeof buf, 0) <= 0;
  }
  // Reads until the text received so far contains `what`.
  std::string read_until(const std::string& what) {
    std::string all;
    while (all.find(what) == std::string::npos) {
      const std::string part = read_once();
      if (part.empty()) break;
      all += part;
    }
    return all;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Writes a driver configuration file and makes the driver read it.
inline void configure_driver(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/ntcan.conf";
  std::ofstream(path) << text;
  setenv("NTCAN_CONFIG", path.c_str(), 1);
  ntcan_test::reload_config();
}

// A gateway on 127.0.0.1 with bus can0 and device 5, on a free port, without the reset form.
inline gateway_sim::Config test_gateway(
    std::chrono::milliseconds reboot = std::chrono::milliseconds(200)) {
  gateway_sim::Config cfg;
  cfg.address = "127.0.0.1";
  cfg.can_port = 0;
  cfg.http_port = -1;
  cfg.buses = {"can0"};
  cfg.devices = {{"can0", 5, "Gateway device", "HW-1", "SW-2"}};
  cfg.reboot_time = reboot;
  return cfg;
}

#endif  // SOCKETCAND_GATEWAY_FIXTURE_H
