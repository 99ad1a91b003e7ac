// socketcand_transport.cc - nets served by a socketcand gateway: one TCP connection in raw
// mode per net, shared by every handle of the process on that net, with one reader thread
// that parses what the gateway pushes.
//
// A net's link connects when its first handle opens and closes when its last handle closes.
// Connecting takes at most kOpenTimeout (name lookup, connect, and the greeting, bus and raw
// mode exchange together); a name that is not a numeric address is looked up on a thread of
// its own, so a slow resolver costs the caller that bound at most. The reader thread matches
// each frame once against the identifiers the net's handles enabled (the link's index) and
// queues it only to those handles. A frame one handle sends goes out once on the connection
// and reaches the net's other handles that enabled it, as the gateway would have sent it to
// another client.
//
// Once the connection is lost (closed by the gateway, a read error, a write that cannot go
// out in time, or an echo that stays unanswered) calls on the net's handles fail with
// NTCAN_SOCK_CMD_TIMEOUT, except that a handle still hands out the frames it received before.
// A later call connects again: one call of the net at a time, at most once per
// kReconnectPause counted from the last attempt whether it succeeded or not, and bounded like
// canOpen; the handles go on as before with their identifiers enabled. What the bus carried
// while the link was down cannot be known.
#include "socketcand/socketcand_transport.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "canbus/can_frame.h"
#include "canbus/socketcand_wire.h"
#include "driver_clock.h"
#include "id_index.h"
#include "socketcand/dial.h"

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
// A net whose connection was lost tries to connect again at most this often.
constexpr std::chrono::nanoseconds kReconnectPause = std::chrono::seconds(1);
// Longest piece of a gateway's own text that goes into a log line.
constexpr std::size_t kLoggedGatewayText = 120;
// Under load the reader lets frames gather in the socket for a moment after a read that
// brought several frames, so that one wake-up of the thread (and one acknowledgement the
// kernel sends) takes many frames instead of a few: at 9,000 frames a second the wake-ups stay
// near two hundred a second, at the cost of at most this much latency while the bus is that
// busy. A read of fewer frames (a quiet bus, a lone reply) is followed by the next at once.
constexpr std::size_t kReadBuffer = 64 * 1024;
constexpr std::size_t kBusyFrames = 8;
constexpr timespec kBusyPause{0, 5000000};

constexpr std::uint16_t kDriverVersion = 0x0100;
constexpr char kBoardId[] = "socketcand";

// Where a net connects: one entry of the driver configuration.
struct Gateway {
  std::string host;
  int port = 0;
  std::string bus;
  std::string name() const { return host + ":" + std::to_string(port) + " " + bus; }
};

class Link;

// One connection in raw mode, with its reader thread, which hands every frame to the link.
// Thread-safe.
class Connection {
 public:
  Connection(int fd, std::string peer, canbus::socketcand::MessageReader reader)
      : fd_(fd), peer_(std::move(peer)), reader_(std::move(reader)) {}
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Delivers the messages that came with the handshake, then starts reading.
  void start(Link& link, int trace_net, const std::deque<std::string>& early);

  bool broken() const { return broken_.load(std::memory_order_acquire); }

  // Sends the frames of the port whose inbox is `sender`; each reaches the net's other
  // handles as it goes out.
  int send(const CMSG* frames, int count, int& sent, const void* sender);
  int status(CAN_IF_STATUS& st);
  // Whether the connection can be used at all.
  int usable() {
    std::lock_guard<std::mutex> out(send_mx_);
    return usable_locked();
  }
  // Ends the reader thread and closes the socket; returns once both are done.
  void close();

 private:
  enum class Rtr { kUnknown, kAccepted, kRefused };

  int usable_locked() {
    if (closed_.load(std::memory_order_acquire)) return NTCAN_INVALID_HANDLE;
    if (broken()) return NTCAN_SOCK_CMD_TIMEOUT;
    return NTCAN_SUCCESS;
  }
  void mark_broken();
  // With send_mx_ held: writes the batch; false (and the connection broken) if it cannot go
  // out.
  bool flush(std::string& batch, int& in_batch, int& sent);
  int probe_remote(const CMSG& m, const void* sender);
  // With mx_ held: ends holding back, handing out the probed frame first if it went out.
  void end_probe(const CMSG* probed, const void* sender);
  void on_message(const canbus::socketcand::Message& m);
  // Frames received: to the link, or held back while a probe waits.
  void hand_out(std::vector<CMSG>& frames);
  void read_loop();

  const int fd_;
  const std::string peer_;
  canbus::socketcand::MessageReader reader_;  // the reader thread's alone once it runs
  Link* link_ = nullptr;
  int trace_net_ = -1;  // net whose trace the received frames go into, -1: none
  std::thread thread_;
  std::atomic<bool> broken_{false};
  std::atomic<bool> closed_{false};

  std::mutex send_mx_;  // writes to the connection; taken before mx_
  Rtr rtr_ = Rtr::kUnknown;
  std::string batch_;  // frames of one send on their way out, kept for its storage

  std::mutex mx_;  // the echo and probe bookkeeping below
  std::condition_variable cv_;
  std::uint64_t echo_sent_ = 0;
  std::uint64_t echo_answered_ = 0;
  Clock::time_point echo_sent_at_{};
  std::uint64_t probe_echo_ = 0;  // echo that ends a running remote-frame probe, 0: none
  bool probe_refused_ = false;
  std::string probe_error_;
  // While a probe waits for its verdict, received frames are held back: the probed frame
  // reaches the net's other handles only if the gateway takes it, and before any answer to it.
  std::atomic<bool> probing_{false};
  std::vector<CMSG> held_;  // mx_
};

// A fresh connection in raw mode within kOpenTimeout; on failure null and status says why.
std::unique_ptr<Connection> connect_gateway(const Gateway& g, std::deque<std::string>& early,
                                            int& status) {
  int fd = -1;
  canbus::socketcand::MessageReader reader;
  status = dial_gateway(g.host, g.port, g.bus, Clock::now() + kOpenTimeout, fd, reader, early);
  if (status != NTCAN_SUCCESS) return nullptr;
  return std::make_unique<Connection>(fd, g.name(), std::move(reader));
}

class SocketcandPort;

// Everything of one net: its connection, its handles' ports and the index of the identifiers
// they enabled. Kept for the life of the process.
//
// One call of the net connects at a time (it holds the attempt: connecting_). mx_ guards the
// index, the ports, the connection pointer and the attempt bookkeeping; an inbox's own lock
// is taken after it. The reader thread takes mx_ for each batch of frames it hands out;
// nothing waits for I/O while holding mx_.
class Link {
 public:
  Link(int net, Gateway gateway) : net_(net), gateway_(std::move(gateway)) {}

  // A port on this net for inbox: joins the connection, or connects when there is none.
  std::unique_ptr<Port> open(Inbox& inbox, int& status);

  // For the ports.
  std::shared_ptr<Connection> live();
  void deliver(const CMSG& m, const void* except);
  void deliver_batch(const std::vector<CMSG>& frames);
  void lost(const Connection* c);  // the reader saw the connection go
  // True while the net's connection is up: a read then needs no look at the link.
  const std::atomic<bool>* up_flag() const { return &up_; }
  void enable(SocketcandPort* p, Inbox& inbox, std::int32_t id, bool on);
  void leave(SocketcandPort* p, Inbox& inbox, const std::vector<std::int32_t>& ids);
  const Gateway& gateway() const { return gateway_; }
  int net() const { return net_; }

 private:
  // Holding the attempt: a new connection, installed when it came up. A reconnect by a call
  // counts against the pause; canOpen's own connect does not.
  std::shared_ptr<Connection> connect_attempt(bool reconnect, int& status);
  // Ends the attempt this call holds.
  void end_attempt();
  int trace_net() const { return bus_trace().on() ? net_ : -1; }

  const int net_;
  const Gateway gateway_;

  std::mutex mx_;
  std::condition_variable attempt_done_;
  bool connecting_ = false;           // a call holds the attempt
  bool attempted_ = false;            // a reconnect was tried on this net
  std::int64_t last_attempt_ = 0;     // ns on the driver's clock
  bool loss_logged_ = false;          // "connection lost" said for the current outage
  std::shared_ptr<Connection> conn_;  // null while no handle is open
  std::vector<SocketcandPort*> ports_;
  IdIndex index_;
  std::atomic<bool> up_{false};  // conn_ is there and not known to be lost (written under mx_)
};

// A handle's view of its net's link.
class SocketcandPort final : public Port {
 public:
  SocketcandPort(Link& link, Inbox& inbox) : link_(link), inbox_(inbox) {}
  ~SocketcandPort() override { close(); }

  int send(const CMSG* frames, int count, int& sent) override {
    sent = 0;
    auto c = link_.live();
    if (!c) return NTCAN_SOCK_CMD_TIMEOUT;
    return c->send(frames, count, sent, &inbox_);
  }

  const std::atomic<bool>* quiet_flag() const override { return link_.up_flag(); }

  // Frames received before a loss are handed out first; then the loss is reported.
  int refresh() override {
    if (inbox_.size() > 0) return NTCAN_SUCCESS;
    auto c = link_.live();
    return c ? NTCAN_SUCCESS : NTCAN_SOCK_CMD_TIMEOUT;
  }

  // The reader thread wakes the net's waiting readers when the connection goes, so a read
  // waiting on a lost connection returns and its call reports it.
  void wait(std::chrono::nanoseconds timeout) override { inbox_.wait_for(timeout); }

  int status(CAN_IF_STATUS& st) override {
    auto c = link_.live();
    return c ? c->status(st) : NTCAN_SOCK_CMD_TIMEOUT;
  }

  // The bit rate of a gateway's bus is set on the gateway itself (its own configuration);
  // raw mode has no command for it. A connected port accepts any code so that the library's
  // open sequence goes through.
  int set_baudrate(std::uint32_t code) override {
    (void)code;
    auto c = link_.live();
    return c ? c->usable() : NTCAN_SOCK_CMD_TIMEOUT;
  }

  void wake() override { inbox_.wake(); }

  void close() override {
    if (closed_) return;
    closed_ = true;
    link_.leave(this, inbox_, ids_);
    ids_.clear();
    inbox_.wake();
  }

  // Called by the handle layer under its identifier lock: ids_ needs no lock of its own.
  void id_enabled(std::int32_t id, bool enabled) override {
    if (closed_) return;
    link_.enable(this, inbox_, id, enabled);
    if (enabled) {
      ids_.push_back(id);
    } else {
      ids_.erase(std::remove(ids_.begin(), ids_.end(), id), ids_.end());
    }
  }

  Inbox& inbox() { return inbox_; }

 private:
  Link& link_;
  Inbox& inbox_;
  std::vector<std::int32_t> ids_;  // what this port put into the link's index
  bool closed_ = false;
};

// ------------------------------------------------------------------------------ Connection

void Connection::start(Link& link, int trace_net, const std::deque<std::string>& early) {
  link_ = &link;
  trace_net_ = trace_net;
  for (const std::string& body : early) on_message(canbus::socketcand::parse(body));
  thread_ = std::thread([this, net = link.net()] {
    // Named for the net it reads, as ps and top show it: "ntcan-net3".
    char name[16];
    std::snprintf(name, sizeof name, "ntcan-net%d", net);
    pthread_setname_np(pthread_self(), name);
    read_loop();
  });
}

int Connection::send(const CMSG* frames, int count, int& sent, const void* sender) {
  sent = 0;
  std::lock_guard<std::mutex> out(send_mx_);
  if (int st = usable_locked(); st != NTCAN_SUCCESS) return st;
  std::string& batch = batch_;
  batch.clear();
  int in_batch = 0;
  for (int i = 0; i < count; ++i) {
    const CMSG m = canbus::on_wire(frames[i]);
    // Traced and handed to the net's other handles before the frame goes out, so that an
    // answer cannot come first, in the trace or in their queues.
    if (trace_net_ >= 0) bus_trace().write(trace_net_, m);
    if (canbus::is_remote(m) && rtr_ != Rtr::kAccepted) {
      if (!flush(batch, in_batch, sent)) return NTCAN_SOCK_CMD_TIMEOUT;
      const int st = probe_remote(m, sender);
      if (st != NTCAN_SUCCESS) return st;
      ++sent;
      continue;
    }
    link_->deliver(m, sender);
    canbus::socketcand::append_send(batch, m);
    ++in_batch;
  }
  return flush(batch, in_batch, sent) ? NTCAN_SUCCESS : NTCAN_SOCK_CMD_TIMEOUT;
}

int Connection::status(CAN_IF_STATUS& st) {
  std::lock_guard<std::mutex> out(send_mx_);
  if (int s = usable_locked(); s != NTCAN_SUCCESS) return s;
  bool send_echo = false;
  {
    std::lock_guard<std::mutex> lock(mx_);
    if (echo_answered_ < echo_sent_) {
      if (Clock::now() - echo_sent_at_ > kEchoTimeout) {
        mark_broken();
        return NTCAN_SOCK_CMD_TIMEOUT;
      }
    } else {
      ++echo_sent_;
      echo_sent_at_ = Clock::now();
      send_echo = true;
    }
  }
  if (send_echo &&
      !write_all(fd_, canbus::socketcand::encode_echo(), Clock::now() + kWriteTimeout)) {
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

void Connection::close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  {
    std::lock_guard<std::mutex> lock(mx_);
    cv_.notify_all();  // a probe waiting for its echo gives up
  }
  ::shutdown(fd_, SHUT_RDWR);  // the reader's recv returns
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> out(send_mx_);
  ::close(fd_);
}

// The reader thread notices a dead socket by itself; a write or an echo that failed makes
// it stop reading too, so that the link hears of the loss from one place.
void Connection::mark_broken() {
  if (broken_.exchange(true, std::memory_order_acq_rel)) return;
  ::shutdown(fd_, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mx_);
  cv_.notify_all();
}

bool Connection::flush(std::string& batch, int& in_batch, int& sent) {
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
int Connection::probe_remote(const CMSG& m, const void* sender) {
  if (rtr_ == Rtr::kRefused) return NTCAN_TX_ERROR;
  std::uint64_t target = 0;
  {
    std::lock_guard<std::mutex> lock(mx_);
    target = ++echo_sent_;
    echo_sent_at_ = Clock::now();
    probe_echo_ = target;
    probe_refused_ = false;
    probing_.store(true, std::memory_order_release);
  }
  if (!write_all(fd_, canbus::socketcand::encode_send(m) + canbus::socketcand::encode_echo(),
                 Clock::now() + kWriteTimeout)) {
    {
      std::lock_guard<std::mutex> lock(mx_);
      end_probe(nullptr, sender);
    }
    mark_broken();
    return NTCAN_SOCK_CMD_TIMEOUT;
  }
  std::unique_lock<std::mutex> lock(mx_);
  const bool answered = cv_.wait_for(lock, kProbeTimeout, [&] {
    return echo_answered_ >= target || broken() || closed_.load(std::memory_order_acquire);
  });
  probe_echo_ = 0;
  const bool taken =
      answered && !probe_refused_ && !broken() && !closed_.load(std::memory_order_acquire);
  end_probe(taken ? &m : nullptr, sender);
  if (closed_.load(std::memory_order_acquire)) return NTCAN_INVALID_HANDLE;
  if (broken() || !answered) {
    lock.unlock();
    mark_broken();
    return NTCAN_SOCK_CMD_TIMEOUT;
  }
  if (probe_refused_) {
    rtr_ = Rtr::kRefused;
    std::fprintf(stderr,
                 "ntcan: gateway %s does not take remote frames (< error %s >): they fail with "
                 "NTCAN_TX_ERROR\n",
                 peer_.c_str(),
                 canbus::socketcand::printable(probe_error_, kLoggedGatewayText).c_str());
    return NTCAN_TX_ERROR;
  }
  rtr_ = Rtr::kAccepted;
  return NTCAN_SUCCESS;
}

void Connection::end_probe(const CMSG* probed, const void* sender) {
  if (probed != nullptr) link_->deliver(*probed, sender);
  link_->deliver_batch(held_);
  held_.clear();
  probing_.store(false, std::memory_order_release);
}

// Frames go to the link; echoes and errors end a probe or a status check.
void Connection::on_message(const canbus::socketcand::Message& m) {
  using canbus::socketcand::Kind;
  switch (m.kind) {
    case Kind::kFrame: {
      if (trace_net_ >= 0) bus_trace().write(trace_net_, m.frame);  // stamped as it arrives
      std::vector<CMSG> one{m.frame};
      hand_out(one);
      break;
    }
    case Kind::kEcho: {
      std::lock_guard<std::mutex> lock(mx_);
      ++echo_answered_;
      cv_.notify_all();
      break;
    }
    case Kind::kError: {
      std::lock_guard<std::mutex> lock(mx_);
      if (probe_echo_ != 0 && echo_answered_ + 1 == probe_echo_) {
        probe_refused_ = true;
        probe_error_ = m.text;
      }
      break;
    }
    default:
      break;  // a stray ok or hi, or a frame that did not parse: nothing to deliver
  }
}

void Connection::hand_out(std::vector<CMSG>& frames) {
  if (frames.empty()) return;
  if (probing_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(mx_);
    if (probing_.load(std::memory_order_relaxed)) {
      held_.insert(held_.end(), frames.begin(), frames.end());
      frames.clear();
      return;
    }
  }
  link_->deliver_batch(frames);
  frames.clear();
}

void Connection::read_loop() {
  std::vector<char> buf(kReadBuffer);
  std::vector<CMSG> frames;       // of one read, handed out together
  canbus::socketcand::Message m;  // reused: parsing a frame allocates nothing
  for (;;) {
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::size_t got = 0;
    reader_.feed(buf.data(), static_cast<std::size_t>(n), [&](std::string_view body) {
      if (canbus::socketcand::parse(body, m) == canbus::socketcand::Kind::kFrame) {
        if (trace_net_ >= 0) bus_trace().write(trace_net_, m.frame);  // stamped as it arrives
        frames.push_back(m.frame);
        ++got;
      } else {
        // Echo answers and errors keep their place after the frames before them.
        hand_out(frames);
        on_message(m);
      }
    });
    hand_out(frames);
    if (got >= kBusyFrames && !broken() && !closed_.load(std::memory_order_acquire)) {
      nanosleep(&kBusyPause, nullptr);
    }
  }
  broken_.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(mx_);
    cv_.notify_all();
  }
  if (!closed_.load(std::memory_order_acquire)) link_->lost(this);
}

// ------------------------------------------------------------------------------ Link

void Link::end_attempt() {
  std::lock_guard<std::mutex> lock(mx_);
  connecting_ = false;
  attempt_done_.notify_all();
}

std::shared_ptr<Connection> Link::connect_attempt(bool reconnect, int& status) {
  if (reconnect) {
    // The pause holds after every attempt, a successful one too: a gateway that greets and
    // then drops each connection gets one attempt a second, not one per call.
    std::lock_guard<std::mutex> lock(mx_);
    attempted_ = true;
    last_attempt_ = clock_now();
  }
  std::deque<std::string> early;
  std::shared_ptr<Connection> fresh = connect_gateway(gateway_, early, status);
  if (!fresh) return nullptr;
  // Reading before it is installed: what arrives goes to the handles the index names.
  fresh->start(*this, trace_net(), early);
  std::shared_ptr<Connection> old;
  {
    std::lock_guard<std::mutex> lock(mx_);
    if (reconnect && ports_.empty()) {
      old = std::move(fresh);  // the net's last handle closed meanwhile: nobody needs it
    } else {
      old = std::move(conn_);
      conn_ = fresh;
      up_.store(!fresh->broken(), std::memory_order_release);
      if (loss_logged_) {
        std::fprintf(stderr, "ntcan: gateway %s: connected again\n", gateway_.name().c_str());
        loss_logged_ = false;
      }
    }
  }
  if (old) old->close();  // a lost one: its reader has ended or ends now
  return fresh;
}

std::unique_ptr<Port> Link::open(Inbox& inbox, int& status) {
  auto port = std::make_unique<SocketcandPort>(*this, inbox);
  {
    // An attempt of another call on this net in progress is waited for, within canOpen's
    // bound.
    std::unique_lock<std::mutex> lock(mx_);
    if (!attempt_done_.wait_for(lock, kOpenTimeout, [this] { return !connecting_; })) {
      status = NTCAN_SOCK_CONN_TIMEOUT;
      return nullptr;
    }
    if (conn_ && !conn_->broken()) {
      ports_.push_back(port.get());
      status = NTCAN_SUCCESS;
      return port;
    }
    connecting_ = true;
  }
  // No connection, or a lost one: canOpen always tries.
  const bool up = connect_attempt(false, status) != nullptr;
  std::lock_guard<std::mutex> lock(mx_);
  connecting_ = false;
  attempt_done_.notify_all();
  if (!up) return nullptr;
  ports_.push_back(port.get());
  return port;
}

std::shared_ptr<Connection> Link::live() {
  {
    std::lock_guard<std::mutex> lock(mx_);
    if (conn_ && !conn_->broken()) return conn_;
    if (!conn_) return nullptr;  // every handle closed under this call
    if (!loss_logged_) {
      std::fprintf(stderr, "ntcan: gateway %s: connection lost\n", gateway_.name().c_str());
      loss_logged_ = true;
    }
    // One call of the net connects at a time; the others fail at once instead of waiting.
    if (connecting_) return nullptr;
    if (attempted_ && clock_now() - last_attempt_ < kReconnectPause.count()) return nullptr;
    connecting_ = true;
  }
  int status = NTCAN_SUCCESS;
  auto fresh = connect_attempt(true, status);
  end_attempt();
  return fresh;
}

void Link::deliver(const CMSG& m, const void* except) {
  std::lock_guard<std::mutex> lock(mx_);
  index_.deliver(m, except);
}

void Link::deliver_batch(const std::vector<CMSG>& frames) {
  if (frames.empty()) return;
  std::lock_guard<std::mutex> lock(mx_);
  for (const CMSG& m : frames) index_.prefetch(m);
  for (const CMSG& m : frames) index_.deliver(m, nullptr);
}

void Link::lost(const Connection* c) {
  std::lock_guard<std::mutex> lock(mx_);
  if (conn_.get() == c) up_.store(false, std::memory_order_release);
  for (SocketcandPort* p : ports_) p->inbox().wake();  // waiting reads report the loss
}

void Link::enable(SocketcandPort* p, Inbox& inbox, std::int32_t id, bool on) {
  (void)p;
  std::lock_guard<std::mutex> lock(mx_);
  if (on) {
    index_.add(id, &inbox);
  } else {
    index_.remove(id, &inbox);
  }
}

void Link::leave(SocketcandPort* p, Inbox& inbox, const std::vector<std::int32_t>& ids) {
  std::shared_ptr<Connection> last;
  {
    std::lock_guard<std::mutex> lock(mx_);
    for (std::int32_t id : ids) index_.remove(id, &inbox);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), p), ports_.end());
    if (ports_.empty()) {
      last = std::move(conn_);  // the last handle of the net takes the connection with it
      up_.store(false, std::memory_order_release);
      loss_logged_ = false;
    }
  }
  // Outside mx_: the reader thread may be waiting for it to hand out frames.
  if (last) last->close();
}

class SocketcandTransport final : public Transport {
 public:
  explicit SocketcandTransport(const NetConfig& cfg) : gateway_{cfg.host, cfg.port, cfg.bus} {}

  std::unique_ptr<Port> open(int net, Inbox& inbox, int& status) override {
    return link(net).open(inbox, status);
  }

 private:
  Link& link(int net) {
    std::lock_guard<std::mutex> lock(mx_);
    auto& l = links_[net];
    if (!l) l = std::make_unique<Link>(net, gateway_);
    return *l;
  }

  const Gateway gateway_;
  std::mutex mx_;
  std::map<int, std::unique_ptr<Link>> links_;  // never removed: ports refer to them
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
