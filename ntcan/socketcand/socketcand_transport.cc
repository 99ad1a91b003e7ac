// socketcand_transport.cc - nets served by a socketcand gateway: one TCP connection in raw
// mode per handle, with a reader thread that parses what the gateway pushes.
//
// Opening connects within kOpenTimeout (name lookup, connect, and the greeting, bus and raw
// mode exchange together); a name that is not a numeric address is looked up on a thread of
// its own, so a slow resolver costs the caller that bound at most. Frames read from the
// connection go to the handle layer as on the simulated bus: every frame of the bus,
// unfiltered, in a bounded inbox. Once the connection is lost (closed by the gateway, a read
// error, a write that cannot go out in time, or an echo that stays unanswered) calls on the
// port fail with NTCAN_SOCK_CMD_TIMEOUT; a later call connects again, at most once per
// kReconnectPause and bounded like canOpen, and the handle goes on as before (its filter is
// the handle layer's, so its identifiers stay enabled). Frames the port held when the
// connection broke count as lost; what the bus carried while it was down cannot be known.
#include "socketcand/socketcand_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bus_trace.h"
#include "can_frame.h"
#include "ntcan_sim.h"
#include "socketcand/wire.h"

namespace ntcan_driver {

namespace {

using Clock = std::chrono::steady_clock;

// Name lookup, connect and handshake of one canOpen together.
constexpr std::chrono::milliseconds kOpenTimeout{1000};
// A write the gateway does not take within this time breaks the connection.
constexpr std::chrono::milliseconds kWriteTimeout{1000};
// How long canSend waits for the gateway's verdict on the first remote frame of a connection.
constexpr std::chrono::milliseconds kProbeTimeout{1000};
// canStatus sends an echo when none is outstanding; one unanswered this long means the
// gateway is gone even if TCP has not noticed.
constexpr std::chrono::milliseconds kEchoTimeout{5000};
// A port whose connection was lost tries to connect again at most this often.
constexpr std::chrono::nanoseconds kReconnectPause = std::chrono::seconds(1);
// Longest piece of a gateway's own text that goes into a log line.
constexpr std::size_t kLoggedGatewayText = 120;

constexpr std::uint16_t kDriverVersion = 0x0100;
constexpr char kBoardId[] = "socketcand";

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

// The greeting, bus and raw mode exchange on a fresh connection. Messages that came after
// the last reply are left in `rest` for the port.
int handshake(int fd, const std::string& bus, Clock::time_point deadline,
              socketcand::MessageReader& reader, std::deque<std::string>& rest) {
  using socketcand::Kind;
  // Next message, or an empty optional-like flag when the gateway is silent or gone.
  auto next = [&](socketcand::Message& out) {
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
    out = socketcand::parse(rest.front());
    rest.pop_front();
    return true;
  };
  socketcand::Message m;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != Kind::kHi) return NTCAN_SOCK_CONN_TIMEOUT;
  if (!write_all(fd, socketcand::encode_open(bus), deadline)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != Kind::kOk) return NTCAN_NET_NOT_FOUND;  // "< error could not open bus >"
  if (!write_all(fd, socketcand::encode_rawmode(), deadline)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (!next(m)) return NTCAN_SOCK_CONN_TIMEOUT;
  if (m.kind != Kind::kOk) return NTCAN_NET_NOT_FOUND;
  return NTCAN_SUCCESS;
}

// One connection in raw mode, with its reader thread. Thread-safe.
class Connection {
 public:
  Connection(int fd, std::string peer, socketcand::MessageReader reader,
             std::deque<std::string> early)
      : fd_(fd), peer_(std::move(peer)), reader_(std::move(reader)) {
    for (const std::string& body : early) on_message(socketcand::parse(body));
    thread_ = std::thread([this] { read_loop(); });
  }
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool broken() {
    std::lock_guard<std::mutex> lock(mx_);
    return broken_;
  }

  // Frames received from now on go into the bus trace as frames of net (-1: not).
  void trace_as(int net) { trace_net_ = net; }

  int send(const CMSG* frames, int count, int& sent) {
    sent = 0;
    std::lock_guard<std::mutex> out(send_mx_);
    if (int st = usable(); st != NTCAN_SUCCESS) return st;
    std::string& batch = batch_;
    batch.clear();
    int in_batch = 0;
    const int trace_net = trace_net_.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
      const CMSG m = on_wire(frames[i]);
      // Written before the frame goes out, so that an answer cannot come first in the trace.
      if (trace_net >= 0) bus_trace().write(trace_net, m);
      if (is_remote(m) && rtr_ != Rtr::kAccepted) {
        if (!flush(batch, in_batch, sent)) return NTCAN_SOCK_CMD_TIMEOUT;
        const int st = probe_remote(m);
        if (st != NTCAN_SUCCESS) return st;
        ++sent;
        continue;
      }
      socketcand::append_send(batch, m);
      ++in_batch;
    }
    return flush(batch, in_batch, sent) ? NTCAN_SUCCESS : NTCAN_SOCK_CMD_TIMEOUT;
  }

  int take(std::vector<CMSG>& out, std::uint64_t& lost) {
    std::lock_guard<std::mutex> lock(mx_);
    if (broken_) {
      lost_frames_ += inbox_.size();  // went with the connection
      inbox_.clear();
    } else if (out.empty()) {
      out.swap(inbox_);  // the two buffers change places: no copy, no allocation
    } else {
      out.insert(out.end(), inbox_.begin(), inbox_.end());
    }
    inbox_.clear();
    lost = lost_frames_;
    lost_frames_ = 0;
    if (broken_) return NTCAN_SOCK_CMD_TIMEOUT;
    return closed_ ? NTCAN_INVALID_HANDLE : NTCAN_SUCCESS;
  }

  void wait(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(mx_);
    cv_.wait_for(lock, timeout, [this] { return !inbox_.empty() || woken_ || closed_ || broken_; });
    woken_ = false;
  }

  int status(CAN_IF_STATUS& st) {
    std::lock_guard<std::mutex> out(send_mx_);
    if (int s = usable(); s != NTCAN_SUCCESS) return s;
    bool send_echo = false;
    {
      std::lock_guard<std::mutex> lock(mx_);
      if (echo_answered_ < echo_sent_) {
        if (Clock::now() - echo_sent_at_ > kEchoTimeout) {
          broken_ = true;
          cv_.notify_all();
          return NTCAN_SOCK_CMD_TIMEOUT;
        }
      } else {
        ++echo_sent_;
        echo_sent_at_ = Clock::now();
        send_echo = true;
      }
    }
    if (send_echo && !write_all(fd_, socketcand::encode_echo(), Clock::now() + kWriteTimeout)) {
      mark_broken();
      return NTCAN_SOCK_CMD_TIMEOUT;
    }
    st.hardware = 0;
    st.firmware = 0;
    st.driver = kDriverVersion;
    std::memset(st.boardid, 0, sizeof st.boardid);
    std::memcpy(st.boardid, kBoardId, sizeof kBoardId);
    return NTCAN_SUCCESS;
  }

  // The bit rate of a gateway's bus is set on the gateway itself (its own configuration);
  // raw mode has no command for it. A connected port accepts any code so that the library's
  // open sequence goes through.
  int set_baudrate(std::uint32_t code) {
    (void)code;
    std::lock_guard<std::mutex> out(send_mx_);
    return usable();
  }

  void wake() {
    std::lock_guard<std::mutex> lock(mx_);
    woken_ = true;
    cv_.notify_all();
  }

  void close() {
    {
      std::lock_guard<std::mutex> lock(mx_);
      if (closed_) return;
      closed_ = true;
      inbox_.clear();
      cv_.notify_all();
    }
    ::shutdown(fd_, SHUT_RDWR);  // the reader's recv returns
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> out(send_mx_);
    ::close(fd_);
  }

 private:
  enum class Rtr { kUnknown, kAccepted, kRefused };

  // With send_mx_ held: whether the port can be used at all.
  int usable() {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_) return NTCAN_INVALID_HANDLE;
    if (broken_) return NTCAN_SOCK_CMD_TIMEOUT;
    return NTCAN_SUCCESS;
  }

  void mark_broken() {
    std::lock_guard<std::mutex> lock(mx_);
    broken_ = true;
    cv_.notify_all();
  }

  // With send_mx_ held: writes the batch; false (and the port broken) if it cannot go out.
  bool flush(std::string& batch, int& in_batch, int& sent) {
    if (batch.empty()) return true;
    if (!write_all(fd_, batch, Clock::now() + kWriteTimeout)) {
      mark_broken();
      return false;
    }
    sent += in_batch;
    batch.clear();
    in_batch = 0;
    return true;
  }

  // With send_mx_ held. Remote frames are an extension of the protocol: the first one on a
  // connection goes out followed by an echo, and an error that arrives before the echo's
  // answer means the gateway does not know the command. Then remote frames fail on this
  // connection instead of reaching the bus as something else.
  int probe_remote(const CMSG& m) {
    if (rtr_ == Rtr::kRefused) return NTCAN_TX_ERROR;
    std::uint64_t target = 0;
    {
      std::lock_guard<std::mutex> lock(mx_);
      target = ++echo_sent_;
      echo_sent_at_ = Clock::now();
      probe_echo_ = target;
      probe_refused_ = false;
    }
    if (!write_all(fd_, socketcand::encode_send(m) + socketcand::encode_echo(),
                   Clock::now() + kWriteTimeout)) {
      mark_broken();
      return NTCAN_SOCK_CMD_TIMEOUT;
    }
    std::unique_lock<std::mutex> lock(mx_);
    const bool answered = cv_.wait_for(
        lock, kProbeTimeout, [&] { return echo_answered_ >= target || broken_ || closed_; });
    probe_echo_ = 0;
    if (closed_) return NTCAN_INVALID_HANDLE;
    if (broken_ || !answered) {
      broken_ = true;
      cv_.notify_all();
      return NTCAN_SOCK_CMD_TIMEOUT;
    }
    if (probe_refused_) {
      rtr_ = Rtr::kRefused;
      std::fprintf(stderr,
                   "ntcan: gateway %s does not take remote frames (< error %s >): they fail with "
                   "NTCAN_TX_ERROR\n",
                   peer_.c_str(), socketcand::printable(probe_error_, kLoggedGatewayText).c_str());
      return NTCAN_TX_ERROR;
    }
    rtr_ = Rtr::kAccepted;
    return NTCAN_SUCCESS;
  }

  // With mx_ held.
  void on_message(const socketcand::Message& m) {
    using socketcand::Kind;
    switch (m.kind) {
      case Kind::kFrame:
        if (const int net = trace_net_.load(std::memory_order_relaxed); net >= 0) {
          bus_trace().write(net, m.frame);  // stamped as it arrives
        }
        if (inbox_.size() >= kPortFrames) {
          ++lost_frames_;
        } else {
          inbox_.push_back(m.frame);
        }
        break;
      case Kind::kEcho:
        ++echo_answered_;
        break;
      case Kind::kError:
        if (probe_echo_ != 0 && echo_answered_ + 1 == probe_echo_) {
          probe_refused_ = true;
          probe_error_ = m.text;
        }
        break;
      default:
        break;  // a stray ok or hi, or a frame that did not parse: nothing to deliver
    }
  }

  void read_loop() {
    char buf[8192];
    std::vector<std::string> bodies;
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bodies.clear();
      reader_.feed(buf, static_cast<std::size_t>(n), bodies);
      if (bodies.empty()) continue;
      std::lock_guard<std::mutex> lock(mx_);
      for (const std::string& b : bodies) on_message(socketcand::parse(b));
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mx_);
    if (!closed_) broken_ = true;
    cv_.notify_all();
  }

  const int fd_;
  const std::string peer_;
  socketcand::MessageReader reader_;  // the reader thread's alone once it runs
  std::thread thread_;

  std::mutex send_mx_;  // writes to the connection; taken before mx_
  Rtr rtr_ = Rtr::kUnknown;
  std::string batch_;  // frames of one send on their way out, kept for its storage

  std::mutex mx_;
  std::condition_variable cv_;
  std::vector<CMSG> inbox_;
  std::uint64_t lost_frames_ = 0;
  bool broken_ = false;
  bool closed_ = false;
  bool woken_ = false;
  std::uint64_t echo_sent_ = 0;
  std::uint64_t echo_answered_ = 0;
  Clock::time_point echo_sent_at_{};
  std::uint64_t probe_echo_ = 0;    // echo that ends a running remote-frame probe, 0: none
  std::atomic<int> trace_net_{-1};  // net whose trace this connection writes, -1: none
  bool probe_refused_ = false;
  std::string probe_error_;
};

// Where a port connects: one entry of the driver configuration.
struct Gateway {
  std::string host;
  int port = 0;
  std::string bus;
  std::string name() const { return host + ":" + std::to_string(port) + " " + bus; }
};

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

// A fresh connection in raw mode within kOpenTimeout; on failure null and status says why.
std::unique_ptr<Connection> connect_gateway(const Gateway& g, int& status) {
  const auto deadline = Clock::now() + kOpenTimeout;
  addrinfo* found = resolve(g.host, g.port, deadline);
  if (found == nullptr) {
    status = NTCAN_SOCK_HOST_NOT_FOUND;
    return nullptr;
  }
  int fd = -1;
  for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) fd = connect_one(ai, deadline);
  ::freeaddrinfo(found);
  if (fd < 0) {
    status = NTCAN_SOCK_CONN_TIMEOUT;
    return nullptr;
  }
  socketcand::MessageReader reader;
  std::deque<std::string> rest;
  status = handshake(fd, g.bus, deadline, reader, rest);
  if (status != NTCAN_SUCCESS) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<Connection>(fd, g.name(), std::move(reader), std::move(rest));
}

// A handle's way to the gateway: its connection, replaced by a new one when it was lost.
class SocketcandPort final : public Port {
 public:
  SocketcandPort(int net, Gateway gateway, std::unique_ptr<Connection> first, TraceDuty& duty)
      : net_(net), gateway_(std::move(gateway)), conn_(std::move(first)), duty_(duty) {
    duty_.join(this);
  }
  ~SocketcandPort() override { close(); }

  int send(const CMSG* frames, int count, int& sent) override {
    return live()->send(frames, count, sent);
  }

  int take(std::vector<CMSG>& out, std::uint64_t& lost) override {
    auto c = live();
    const int status = c->take(out, lost);
    std::lock_guard<std::mutex> lock(mx_);
    lost += carried_lost_;
    carried_lost_ = 0;
    return status;
  }

  // Never connects: a reader waiting on a lost connection returns at once, and the call it
  // belongs to goes through take().
  void wait(std::chrono::nanoseconds timeout) override { current()->wait(timeout); }
  int status(CAN_IF_STATUS& st) override { return live()->status(st); }
  int set_baudrate(std::uint32_t code) override { return live()->set_baudrate(code); }
  void wake() override { current()->wake(); }

  void close() override {
    std::shared_ptr<Connection> c;
    {
      std::lock_guard<std::mutex> lock(mx_);
      if (closed_) return;
      closed_ = true;
      c = conn_;
    }
    c->close();
    duty_.leave(this);
  }

  void set_tracing(bool on) override {
    std::lock_guard<std::mutex> lock(mx_);
    tracing_ = on;
    conn_->trace_as(on ? net_ : -1);
  }

 private:
  std::shared_ptr<Connection> current() {
    std::lock_guard<std::mutex> lock(mx_);
    return conn_;
  }

  // The connection to use. A lost one is replaced when an attempt is due and the gateway
  // answers; the lock is held while connecting, so only this handle's calls wait for it.
  std::shared_ptr<Connection> live() {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_ || !conn_->broken()) return conn_;
    // The driver's clock: the steady clock unless a test installed its own.
    const std::int64_t now = ntcan_sim::now();
    if (attempted_ && now - last_attempt_ < kReconnectPause.count()) return conn_;
    if (!attempted_)
      std::fprintf(stderr, "ntcan: gateway %s: connection lost\n", gateway_.name().c_str());
    attempted_ = true;
    last_attempt_ = now;
    int status = NTCAN_SUCCESS;
    auto fresh = connect_gateway(gateway_, status);
    if (!fresh) return conn_;
    std::vector<CMSG> dropped;
    std::uint64_t lost = 0;
    conn_->take(dropped, lost);  // frames the old connection held are lost
    carried_lost_ += lost;
    conn_->close();
    conn_ = std::move(fresh);
    conn_->trace_as(tracing_ ? net_ : -1);
    attempted_ = false;
    std::fprintf(stderr, "ntcan: gateway %s: connected again\n", gateway_.name().c_str());
    return conn_;
  }

  const int net_;
  const Gateway gateway_;
  std::mutex mx_;
  std::shared_ptr<Connection> conn_;
  TraceDuty& duty_;
  bool tracing_ = false;
  bool closed_ = false;
  bool attempted_ = false;         // a reconnect was tried since the connection was lost
  std::int64_t last_attempt_ = 0;  // ns on the driver's clock
  std::uint64_t carried_lost_ = 0;
};

class SocketcandTransport final : public Transport {
 public:
  explicit SocketcandTransport(const NetConfig& cfg) : gateway_{cfg.host, cfg.port, cfg.bus} {}

  std::unique_ptr<Port> open(int net, int& status) override {
    auto c = connect_gateway(gateway_, status);
    if (!c) return nullptr;
    return std::make_unique<SocketcandPort>(net, gateway_, std::move(c), duty_);
  }

 private:
  const Gateway gateway_;
  TraceDuty duty_;
};

}  // namespace

Transport& socketcand_transport(const NetConfig& cfg) {
  // One transport per distinct entry, never destroyed: ports and detached threads may outlive
  // any reload of the configuration.
  static std::mutex mx;
  static auto* transports = new std::map<std::string, std::unique_ptr<SocketcandTransport>>();
  const std::string key = cfg.host + " " + std::to_string(cfg.port) + " " + cfg.bus;
  std::lock_guard<std::mutex> lock(mx);
  auto& t = (*transports)[key];
  if (!t) t = std::make_unique<SocketcandTransport>(cfg);
  return *t;
}

}  // namespace ntcan_driver
