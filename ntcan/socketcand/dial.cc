// dial.cc - a bounded connection to a socketcand gateway.
#include "socketcand/dial.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "ntcan.h"

namespace ntcan_driver {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Connects to one address within the deadline; a connected blocking socket, or -1.
int connect_one(const addrinfo* ai, Clock::time_point deadline) {
  const int fd =
      ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
  if (rc < 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = ::poll(&p, 1, remaining_ms(deadline));
    } while (rc < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    if (rc == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
      rc = 0;
    else
      rc = -1;
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

// Writes all of text, waiting for room at most until the deadline.
bool write_all(int fd, const std::string& text, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int ms = remaining_ms(deadline);
      if (ms == 0) return false;
      if (::poll(&p, 1, ms) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

namespace {

// The greeting, bus and raw mode exchange on a fresh connection. Messages that came after
// the last reply are left in `rest` for the port.
int handshake(int fd, const std::string& bus, Clock::time_point deadline,
              canbus::socketcand::MessageReader& reader, std::deque<std::string>& rest) {
  // Next message, or an empty optional-like flag when the gateway is silent or gone.
  auto next = [&](canbus::socketcand::Message& out) {
    while (rest.empty()) {
      pollfd p{fd, POLLIN, 0};
      const int ms = remaining_ms(deadline);
      if (ms == 0) return false;
      const int rc = ::poll(&p, 1, ms);
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
      char buf[512];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      std::vector<std::string> bodies;
      reader.feed(buf, static_cast<std::size_t>(n), bodies);
      rest.insert(rest.end(), bodies.begin(), bodies.end());
    }
    out = canbus::socketcand::parse(rest.front());
    rest.pop_front();
    return true;
  };
  canbus::socketcand::Message m;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != canbus::socketcand::Kind::kHi) return NTCAN_SOCK_CONN_TIMEOUT;
  if (!write_all(fd, canbus::socketcand::encode_open(bus), deadline))
    return NTCAN_SOCK_CONN_TIMEOUT;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != canbus::socketcand::Kind::kOk)
    return NTCAN_NET_NOT_FOUND;  // "< error could not open bus >"
  if (!write_all(fd, canbus::socketcand::encode_rawmode(), deadline))
    return NTCAN_SOCK_CONN_TIMEOUT;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != canbus::socketcand::Kind::kOk) return NTCAN_NET_NOT_FOUND;
  return NTCAN_SUCCESS;
}

// The addresses of host, or null when it has none or the deadline passed. A numeric address
// needs no resolver; a name is looked up on a thread of its own, left to finish by itself
// (and free its result) if the deadline passes first, since the resolver cannot be stopped.
addrinfo* resolve(const std::string& host, int port, Clock::time_point deadline) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return found;
  struct Lookup {
    std::mutex mx;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    addrinfo* found = nullptr;
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, service] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_NUMERICSERV;
      addrinfo* result = nullptr;
      if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &result) != 0) result = nullptr;
      std::lock_guard<std::mutex> lock(lookup->mx);
      if (lookup->abandoned) {
        if (result != nullptr) ::freeaddrinfo(result);
        return;
      }
      lookup->found = result;
      lookup->done = true;
      lookup->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: no lookup
  }
  std::unique_lock<std::mutex> lock(lookup->mx);
  if (!lookup->cv.wait_until(lock, deadline, [&] { return lookup->done; })) {
    lookup->abandoned = true;
    return nullptr;
  }
  return lookup->found;
}

}  // namespace

int dial_gateway(const std::string& host, int port, const std::string& bus,
                 Clock::time_point deadline, int& fd, canbus::socketcand::MessageReader& reader,
                 std::deque<std::string>& rest) {
  fd = -1;
  addrinfo* found = resolve(host, port, deadline);
  if (found == nullptr) return NTCAN_SOCK_HOST_NOT_FOUND;
  int s = -1;
  for (const addrinfo* ai = found; ai && s < 0; ai = ai->ai_next) s = connect_one(ai, deadline);
  ::freeaddrinfo(found);
  if (s < 0) return NTCAN_SOCK_CONN_TIMEOUT;
  const int status = handshake(s, bus, deadline, reader, rest);
  if (status != NTCAN_SUCCESS) {
    ::close(s);
    return status;
  }
  fd = s;
  return NTCAN_SUCCESS;
}

}  // namespace ntcan_driver
