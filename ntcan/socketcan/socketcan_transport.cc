// socketcan_transport.cc - nets served by a Linux SocketCAN interface: one CAN_RAW socket per
// handle, bound to the interface named in the driver configuration.
//
// Reception: the kernel filters each socket by the identifiers its handle enabled, and the
// port reads its socket into its handle's inbox when the handle is read (the port that
// writes the net's trace hears the whole bus and filters for its handle itself); frames the
// kernel had to drop because the socket's buffer was full come back as SO_RXQ_OVFL counts and
// are added to the handle's lost count.
// Error frames are not traffic: they set the controller state that canStatus reports.
// Statuses follow the one table in socketcan_rules.cc.
#include "socketcan/socketcan_transport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "bus_trace.h"
#include "canbus/can_frame.h"
#include "canbus/can_raw_socket.h"
#include "canbus/socketcan_rules.h"
#include "id_filter.h"

namespace ntcan_driver {
namespace {

namespace socketcan = canbus::socketcan;
using socketcan::Condition;
using socketcan::Controller;

// What canStatus reports for a SocketCAN controller (boardid: the interface name).
constexpr std::uint16_t kHardware = 0x0100;
constexpr std::uint16_t kFirmware = 0x0100;
constexpr std::uint16_t kDriver = 0x0100;

// A full transmit queue (ENOBUFS) is retried this often, a millisecond apart, before canSend
// gives up: at 125 kbit/s a queue of ten frames drains in about ten milliseconds.
constexpr int kTxRetries = 20;
constexpr timespec kTxRetryPause{0, 1000000};

class SocketcanTransport final : public Transport {
 public:
  explicit SocketcanTransport(const NetConfig& cfg) : net_(cfg.net), ifname_(cfg.ifname) {}

  std::unique_ptr<Port> open(int net, Inbox& inbox, int& status) override;

  const std::string& ifname() const { return ifname_; }
  int net() const { return net_; }
  TraceDuty& trace_duty() { return duty_; }

  // Logs the first failure of a series and one line when the net recovers.
  void note(Condition c) {
    std::lock_guard<std::mutex> lock(mx_);
    if (c == last_) return;
    if (c == Condition::kOk) {
      std::fprintf(stderr, "ntcan: net %d (socketcan %s): working again\n", net_, ifname_.c_str());
    } else {
      std::fprintf(stderr, "ntcan: net %d (socketcan %s): %s (status 0x%X)\n", net_,
                   ifname_.c_str(), socketcan::text_of(c),
                   static_cast<unsigned>(socketcan::status_of(c)));
    }
    last_ = c;
  }

  // The bit rate of a SocketCAN interface is the system's: say so once per net when the code
  // asks for another rate than the one the interface runs at.
  void note_bitrate(std::uint32_t code) {
    std::lock_guard<std::mutex> lock(mx_);
    if (bitrate_noted_) return;
    bitrate_noted_ = true;
    const std::uint32_t wanted = socketcan::bitrate_of_code(code);
    std::uint32_t actual = 0;
    const bool has_rate = socketcan::interface_bitrate(ifname_, actual);
    if (has_rate && wanted == actual) return;
    std::string wanted_text =
        wanted ? std::to_string(wanted) + " bit/s" : "a rate this driver does not know";
    std::string actual_text =
        has_rate ? std::to_string(actual) + " bit/s" : "no bit rate (virtual interface?)";
    std::fprintf(
        stderr,
        "ntcan: net %d (socketcan %s): baud-rate code %u asks for %s, the interface has %s; "
        "the system sets it (ip link set %s type can bitrate N)\n",
        net_, ifname_.c_str(), code, wanted_text.c_str(), actual_text.c_str(), ifname_.c_str());
  }

 private:
  const int net_;
  const std::string ifname_;
  std::mutex mx_;
  Condition last_ = Condition::kOk;
  bool bitrate_noted_ = false;
  TraceDuty duty_;
};

class SocketcanPort final : public Port {
 public:
  SocketcanPort(SocketcanTransport& net, const socketcan::RawSocket& s, int wake_fd, Inbox& inbox)
      : net_(net), fd_(s.fd), ifindex_(s.ifindex), wake_fd_(wake_fd), inbox_(inbox) {
    net_.trace_duty().join(this);
  }

  ~SocketcanPort() override {
    close();
    ::close(fd_);
    ::close(wake_fd_);
  }

  int send(const CMSG* frames, int count, int& sent) override {
    std::lock_guard<std::mutex> lock(mx_);
    sent = 0;
    if (closed_) return NTCAN_INVALID_HANDLE;
    Condition c = health();
    if (c == Condition::kInterfaceDown || c == Condition::kNoInterface) return report(c);
    bool past_down_seen = false;
    for (int i = 0; i < count; ++i) {
      const can_frame f = socketcan::to_kernel(frames[i]);
      int tries = 0;
      while (::send(fd_, &f, sizeof f, MSG_DONTWAIT | MSG_NOSIGNAL) !=
             static_cast<ssize_t>(sizeof f)) {
        const int err = errno;
        if (err == EINTR) continue;
        // The kernel reports an interface that went down once, on the socket's next call,
        // even when it is up again by then: a port not used during the outage learns of it
        // here. The send failed for nothing; the interface's flags tell whether to retry.
        if (err == ENETDOWN && !past_down_seen && check_interface() == Condition::kOk) {
          past_down_seen = true;
          continue;
        }
        if ((err == ENOBUFS || err == EAGAIN) && ++tries <= kTxRetries) {
          nanosleep(&kTxRetryPause, nullptr);
          continue;
        }
        return report(failed(err));
      }
      ++sent;
      if (tracing_) bus_trace().write(net_.net(), canbus::on_wire(frames[i]));
    }
    return report(health());
  }

  int refresh() override {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_) return NTCAN_SUCCESS;
    drain();
    return report(health());
  }

  void wait(std::chrono::nanoseconds timeout) override {
    if (closed_) return;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const auto ns = std::max<std::int64_t>(timeout.count(), 0);
    const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    // After close() the wake-up stays for every other waiter.
    if (ppoll(fds, 2, &ts, nullptr) > 0 && (fds[1].revents & POLLIN) && !closed_) {
      std::uint64_t n;
      (void)!::read(wake_fd_, &n, sizeof n);
    }
  }

  int status(CAN_IF_STATUS& st) override {
    std::lock_guard<std::mutex> lock(mx_);
    st.hardware = kHardware;
    st.firmware = kFirmware;
    st.driver = kDriver;
    std::memset(st.boardid, 0, sizeof st.boardid);
    std::memcpy(st.boardid, net_.ifname().data(),
                std::min(net_.ifname().size(), sizeof st.boardid - 1));
    if (closed_) return NTCAN_INVALID_HANDLE;
    // Error frames waiting in the socket tell the controller state; traffic read on the way
    // goes into the inbox, and a reader waiting on the socket is woken for it.
    if (drain() > 0) wake();
    Condition c = check_interface();
    if (c == Condition::kOk && state_ == Controller::kBusOff) c = Condition::kBusOff;
    st.boardstatus =
        socketcan::boardstatus_of(c == Condition::kBusOff ? Controller::kBusOff : state_);
    return report(c);
  }

  int set_baudrate(std::uint32_t code) override {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_) return NTCAN_INVALID_HANDLE;
    const Condition c = check_interface();
    if (c == Condition::kInterfaceDown || c == Condition::kNoInterface) return report(c);
    net_.note_bitrate(code);
    return NTCAN_SUCCESS;
  }

  void wake() override {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
  }

  void close() override {
    if (closed_.exchange(true)) return;
    wake();
    {
      std::lock_guard<std::mutex> lock(mx_);
      socketcan::set_receive_filter(fd_, {});  // the socket itself goes with the port
    }
    net_.trace_duty().leave(this);
  }

  // The port that writes the trace hears the whole bus (the handle layer still filters) and
  // has the kernel stamp each frame with the time it arrived.
  void set_tracing(bool on) override {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_) return;
    tracing_ = on;
    const int stamp = on ? 1 : 0;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &stamp, sizeof stamp);
    apply_filter();
  }

  void id_enabled(std::int32_t id, bool enabled) override {
    std::lock_guard<std::mutex> lock(mx_);
    if (closed_) return;
    if (enabled) {
      ids_.insert(id);
      accepted_.enable(id);
    } else {
      ids_.erase(id);
      accepted_.disable(id);
    }
    apply_filter();
  }

 private:
  // All below with mx_ held.

  // The kernel filter follows the handle's identifiers, or lets everything through while
  // this port writes the trace.
  void apply_filter() {
    if (tracing_) {
      socketcan::set_receive_filter(fd_, {can_filter{0, 0}});
      return;
    }
    if (socketcan::set_receive_filter(fd_, socketcan::kernel_filters(ids_)) != 0 &&
        !filter_failed_) {
      // The handle layer still filters; only the kernel's help is lost.
      filter_failed_ = true;
      socketcan::set_receive_filter(fd_, {can_filter{0, 0}});
      std::fprintf(
          stderr,
          "ntcan: socketcan %s: kernel receive filter refused, filtering in the driver only\n",
          net_.ifname().c_str());
    }
  }

  // Reads everything the socket holds: the handle's traffic into the inbox, drop counts into
  // its lost count, error frames into state_, and notes a downed or removed interface.
  // Returns how many frames went into the inbox.
  int drain() {
    int queued = 0;
    for (;;) {
      can_frame f;
      iovec iov{&f, sizeof f};
      alignas(
          cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timeval))];
      msghdr msg;
      std::memset(&msg, 0, sizeof msg);
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return queued;
        if (errno == ENETDOWN) {
          down_ = true;
          continue;  // the error is reported once; frames may still wait behind it
        }
        if (errno == ENODEV) gone_ = true;
        return queued;
      }
      long long arrived_us = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
          timeval tv;
          std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
          arrived_us = static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
        }
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          std::uint32_t drops;
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
          // A counter of the socket's life, wrapping at 2^32.
          inbox_.lose(static_cast<std::uint32_t>(drops - drops_seen_));
          drops_seen_ = drops;
        }
      }
      if (n != static_cast<ssize_t>(sizeof f)) continue;
      CMSG m;
      if (socketcan::from_kernel(f, m)) {
        if (tracing_) {
          if (arrived_us >= 0) {
            bus_trace().write(arrived_us, net_.net(), m);
          } else {
            bus_trace().write(net_.net(), m);
          }
        }
        // A full inbox counts the frame as lost: it was read to learn the controller state.
        if (accepted_.accepts(m.id)) {
          inbox_.put(m);
          ++queued;
        }
      } else {
        state_ = socketcan::next_state(state_, f);
      }
    }
  }

  // What the port knows without asking the kernel, except after a sign that the interface
  // went down: then its flags tell whether it is back.
  Condition health() {
    if (gone_) return Condition::kNoInterface;
    if (down_) {
      const Condition c = check_interface();
      if (c != Condition::kOk) return c;
    }
    return state_ == Controller::kBusOff ? Condition::kBusOff : Condition::kOk;
  }

  Condition check_interface() {
    if (gone_) return Condition::kNoInterface;
    const Condition c = socketcan::interface_condition(fd_, net_.ifname(), ifindex_);
    if (c == Condition::kNoInterface) gone_ = true;  // the socket lost its binding for good
    down_ = c == Condition::kInterfaceDown;
    return c;
  }

  Condition failed(int err) {
    if (err == ENETDOWN) down_ = true;
    if (err == ENODEV || err == ENXIO) gone_ = true;
    const Condition c = socketcan::condition_of_errno(err, state_);
    if (c == Condition::kIoError) {
      std::fprintf(stderr, "ntcan: socketcan %s: send: %s\n", net_.ifname().c_str(),
                   std::strerror(err));
    }
    return c;
  }

  int report(Condition c) {
    net_.note(c);
    return socketcan::status_of(c);
  }

  SocketcanTransport& net_;
  const int fd_;
  const int ifindex_;
  const int wake_fd_;
  Inbox& inbox_;
  std::atomic<bool> closed_{false};
  std::mutex mx_;
  std::uint32_t drops_seen_ = 0;
  Controller state_ = Controller::kActive;
  bool down_ = false;
  bool gone_ = false;
  std::set<std::int32_t> ids_;  // for the kernel's filter
  IdFilter accepted_;           // the same, for the frames read while the kernel passes all
  bool filter_failed_ = false;
  bool tracing_ = false;  // this port writes the net's trace
};

std::unique_ptr<Port> SocketcanTransport::open(int net, Inbox& inbox, int& status) {
  (void)net;
  socketcan::RawSocket s = socketcan::open_raw_socket(ifname_);
  if (s.fd < 0) {
    note(s.condition);
    status = socketcan::status_of(s.condition);
    return nullptr;
  }
  const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) {
    ::close(s.fd);
    status = socketcan::status_of(socketcan::condition_of_errno(errno));
    return nullptr;
  }
  note(Condition::kOk);
  status = NTCAN_SUCCESS;
  return std::make_unique<SocketcanPort>(*this, s, wake_fd, inbox);
}

}  // namespace

Transport& socketcan_transport(const NetConfig& cfg) {
  // One transport per configured (net, interface), kept for the life of the process: handles
  // opened before a reload of the configuration keep using theirs.
  static std::mutex mx;
  static auto* nets = new std::map<std::pair<int, std::string>, SocketcanTransport*>();
  std::lock_guard<std::mutex> lock(mx);
  SocketcanTransport*& t = (*nets)[{cfg.net, cfg.ifname}];
  if (t == nullptr) t = new SocketcanTransport(cfg);
  return *t;
}

}  // namespace ntcan_driver
