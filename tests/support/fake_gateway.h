// fake_gateway.h - a socketcand gateway the test steers by hand: it counts connection
// attempts, can stay silent after accepting (a hung gateway), hang up at once, drop every
// connection, and answer remote frames with an error text of the test's choosing. It speaks
// just enough of raw mode for the driver's handshake, echoes and remote-frame probe.
#ifndef FAKE_GATEWAY_H
#define FAKE_GATEWAY_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "canbus/socketcand_wire.h"

class FakeGateway {
 public:
  enum class Mode {
    kServe,          // greets and answers the handshake
    kSilent,         // accepts, then says nothing (the handshake waits for its time-out)
    kHangUp,         // accepts and closes at once
    kServeThenDrop,  // answers the handshake, then closes the connection
  };

  FakeGateway() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(listen_fd_, 16) == 0;
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ok_ = ok_ && ::pipe(wake_) == 0;
    thread_ = std::thread([this] { loop(); });
  }
  ~FakeGateway() {
    {
      std::lock_guard<std::mutex> lock(mx_);
      stop_ = true;
    }
    poke();
    thread_.join();
    for (auto& [fd, reader] : clients_) ::close(fd);
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  FakeGateway(const FakeGateway&) = delete;
  FakeGateway& operator=(const FakeGateway&) = delete;

  bool ok() const { return ok_; }
  int port() const { return port_; }

  // kServe also greets the connections accepted while silent: a hung gateway comes back.
  void set_mode(Mode m) {
    std::lock_guard<std::mutex> lock(mx_);
    mode_ = m;
    poke();
  }
  // "< frame ... >" to every connection in raw mode.
  void broadcast(const CMSG& m) {
    std::lock_guard<std::mutex> lock(mx_);
    for (int fd : raw_) send_to(fd, canbus::socketcand::encode_frame(m, 1700000000, 0));
  }
  // Every "< sendrtr ... >" is answered with "< error TEXT >" from now on.
  void refuse_remote_frames(const std::string& text) {
    std::lock_guard<std::mutex> lock(mx_);
    rtr_error_ = text;
  }
  // Closes every open connection; returns once it is done.
  void drop_connections() {
    std::unique_lock<std::mutex> lock(mx_);
    const std::uint64_t target = ++drop_requested_;
    poke();
    cv_.wait(lock, [&] { return drops_done_ >= target; });
  }
  // Connections accepted so far.
  int connections() const {
    std::lock_guard<std::mutex> lock(mx_);
    return accepted_;
  }
  // Until at least n connections were accepted; false after the safety net.
  bool wait_connections(int n, std::chrono::milliseconds safety_net) {
    std::unique_lock<std::mutex> lock(mx_);
    return cv_.wait_for(lock, safety_net, [&] { return accepted_ >= n; });
  }

 private:
  void poke() { (void)!::write(wake_[1], "x", 1); }

  void send_to(int fd, const std::string& text) {
    (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

  void loop() {
    for (;;) {
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      for (const auto& [fd, reader] : clients_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      std::unique_lock<std::mutex> lock(mx_);
      if (stop_) return;
      if (fds[1].revents & POLLIN) {
        char buf[64];
        (void)!::read(wake_[0], buf, sizeof buf);
      }
      if (drops_done_ < drop_requested_) {
        for (auto& [fd, reader] : clients_) ::close(fd);
        clients_.clear();
        greeted_.clear();
        raw_.clear();
        drops_done_ = drop_requested_;
        cv_.notify_all();
        continue;
      }
      if (serving()) {
        for (auto& [fd, reader] : clients_) {
          if (greeted_.insert(fd).second) send_to(fd, canbus::socketcand::encode_hi());
        }
      }
      if (fds[0].revents & POLLIN) accept_one();
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents != 0) serve(fds[i].fd);
      }
    }
  }

  // With mx_ held.
  void accept_one() {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ++accepted_;
    cv_.notify_all();
    if (mode_ == Mode::kHangUp) {
      ::close(fd);
      return;
    }
    clients_.emplace(fd, canbus::socketcand::MessageReader());
    if (serving() && greeted_.insert(fd).second) send_to(fd, canbus::socketcand::encode_hi());
  }

  bool serving() const { return mode_ == Mode::kServe || mode_ == Mode::kServeThenDrop; }

  // With mx_ held: what one client sent.
  void serve(int fd) {
    char buf[1024];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ::close(fd);
      clients_.erase(fd);
      greeted_.erase(fd);
      raw_.erase(fd);
      return;
    }
    if (!serving()) return;
    std::vector<std::string> bodies;
    clients_[fd].feed(buf, static_cast<std::size_t>(n), bodies);
    for (const std::string& body : bodies) {
      const std::vector<std::string> w = canbus::socketcand::words(body);
      if (w.empty()) continue;
      if (w[0] == "open" || w[0] == "rawmode") send_to(fd, canbus::socketcand::encode_ok());
      if (w[0] == "rawmode" && mode_ == Mode::kServeThenDrop) {
        ::close(fd);
        clients_.erase(fd);
        greeted_.erase(fd);
        return;
      }
      if (w[0] == "rawmode") raw_.insert(fd);
      if (w[0] == "echo") send_to(fd, canbus::socketcand::encode_echo());
      if (w[0] == "sendrtr" && !rtr_error_.empty())
        send_to(fd, canbus::socketcand::encode_error(rtr_error_));
    }
  }

  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  bool ok_ = false;
  std::thread thread_;

  mutable std::mutex mx_;
  std::condition_variable cv_;
  bool stop_ = false;
  Mode mode_ = Mode::kServe;
  std::string rtr_error_;
  std::uint64_t drop_requested_ = 0;
  std::uint64_t drops_done_ = 0;
  int accepted_ = 0;
  std::map<int, canbus::socketcand::MessageReader> clients_;  // the loop thread's alone
  std::set<int> greeted_;
  std::set<int> raw_;
};

#endif  // FAKE_GATEWAY_H
