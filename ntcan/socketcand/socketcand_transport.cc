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

#include <netinet/in.h>
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
#include <thread>
#include <vector>

#include "bus_trace.h"
#include "can_frame.h"
#include "ntcan_sim.h"
#include "socketcand/dial.h"
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

// A fresh connection in raw mode within kOpenTimeout; on failure null and status says why.
std::unique_ptr<Connection> connect_gateway(const Gateway& g, int& status) {
  int fd = -1;
  socketcand::MessageReader reader;
  std::deque<std::string> rest;
  status = dial_gateway(g.host, g.port, g.bus, Clock::now() + kOpenTimeout, fd, reader, rest);
  if (status != NTCAN_SUCCESS) return nullptr;
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
