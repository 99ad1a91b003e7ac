// socketcand_server.cc - socketcand clients, their buses and devices.
#include "socketcand_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "canbus/can_frame.h"
#include "sockets.h"

namespace gateway_sim {

struct SocketcandServer::Client {
  int fd = -1;
  std::string peer;
  enum class Stage { kGreeted, kOpened, kRaw } stage = Stage::kGreeted;
  int bus = -1;
  canbus::socketcand::MessageReader reader;
  std::string out;
  std::size_t sent = 0;      // bytes of out already written
  bool close_after = false;  // close once out is written
  bool dead = false;
  std::uint64_t dropped = 0;  // frames not queued for a client that does not read
  Clock::time_point last_heard;

  std::size_t backlog() const { return out.size() - sent; }
};

SocketcandServer::SocketcandServer(const Config& cfg, Log log) : cfg_(cfg), log_(std::move(log)) {
  buses_.resize(cfg.buses.size());
  for (std::size_t i = 0; i < cfg.buses.size(); ++i) buses_[i].name = cfg.buses[i];
  for (const auto& d : cfg.devices) {
    auto it =
        std::find_if(buses_.begin(), buses_.end(), [&](const Bus& b) { return b.name == d.bus; });
    if (it == buses_.end()) continue;
    auto dev = std::make_shared<simdev::canopen::Device>(static_cast<std::uint8_t>(d.node));
    dev->set_identity(d.name, d.hw, d.sw);
    it->devices.attach(dev);
    it->configured.push_back(std::move(dev));
  }
}

SocketcandServer::~SocketcandServer() { drop_all("simulator stops"); }

std::int64_t SocketcandServer::steady_ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void SocketcandServer::add_client(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_unique<Client>();
  c->fd = fd;
  c->peer = peer_of(fd);
  c->last_heard = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mx_);
    ++connections_;
  }
  log_(c->peer + " connected");
  queue(*c, canbus::socketcand::encode_hi());
  clients_.push_back(std::move(c));
}

bool SocketcandServer::wants_input(const Client& c) const {
  return !c.dead && !c.close_after && c.backlog() < cfg_.client_backlog;
}

void SocketcandServer::poll_fds(std::vector<pollfd>& fds) const {
  for (const auto& c : clients_) {
    short events = c->backlog() > 0 ? POLLOUT : 0;
    if (wants_input(*c)) events |= POLLIN;
    fds.push_back(pollfd{c->fd, events, 0});
  }
}

void SocketcandServer::serve(const pollfd* fds, std::size_t count) {
  const Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < count && i < clients_.size(); ++i) {
    Client& c = *clients_[i];
    if (c.dead || c.fd != fds[i].fd) continue;
    if ((fds[i].revents & (POLLHUP | POLLERR)) && !wants_input(c)) {
      drop(c, "connection lost");  // not reading it now, but it cannot be written either
      continue;
    }
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read(c, now);
    if (!c.dead && (fds[i].revents & POLLOUT)) flush(c);
  }
}

bool SocketcandServer::tick(Clock::time_point now) {
  const std::int64_t now_ns = steady_ns(now);
  for (std::size_t i = 0; i < buses_.size(); ++i) {
    buses_[i].devices.due(now_ns, work_);
    run(static_cast<int>(i), now_ns);
  }
  for (auto& c : clients_) {
    flush(*c);
    if (!c->dead && cfg_.idle_time.count() > 0 && now - c->last_heard >= cfg_.idle_time) {
      drop(*c, "idle for " + std::to_string(cfg_.idle_time.count()) + " ms");
    }
  }
  const std::size_t before = clients_.size();
  clients_.erase(
      std::remove_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->dead; }),
      clients_.end());
  return clients_.size() != before;
}

SocketcandServer::Clock::time_point SocketcandServer::next_deadline() const {
  auto next = Clock::time_point::max();
  for (const Bus& b : buses_) {
    const std::int64_t due = b.devices.next_due();
    if (due >= 0) next = std::min(next, Clock::time_point(std::chrono::nanoseconds(due)));
  }
  if (cfg_.idle_time.count() > 0) {
    for (const auto& c : clients_) next = std::min(next, c->last_heard + cfg_.idle_time);
  }
  return next;
}

void SocketcandServer::drop_all(const char* why) {
  for (auto& c : clients_) drop(*c, why);
  clients_.clear();
}

void SocketcandServer::drop_waiting() {
  for (Bus& b : buses_) b.devices.drop_waiting();
}

// Queues text for the client and writes what the socket takes at once.
void SocketcandServer::queue(Client& c, const std::string& text) {
  c.out += text;
  flush(c);
}

void SocketcandServer::flush(Client& c) {
  while (!c.dead && c.sent < c.out.size()) {
    const ssize_t n =
        ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      drop(c, "write failed");
    }
  }
  if (c.sent == c.out.size()) {
    c.out.clear();
    c.sent = 0;
    if (c.close_after && !c.dead) drop(c, "closed after error");
  } else if (c.sent > (1u << 16)) {
    c.out.erase(0, c.sent);
    c.sent = 0;
  }
}

void SocketcandServer::drop(Client& c, const std::string& why) {
  if (c.dead) return;
  c.dead = true;
  ::close(c.fd);
  if (c.stage == Client::Stage::kRaw) {
    Bus& b = buses_[static_cast<std::size_t>(c.bus)];
    b.raw.erase(std::remove(b.raw.begin(), b.raw.end(), &c), b.raw.end());
    std::lock_guard<std::mutex> lock(mx_);
    --raw_clients_[b.name];
    cv_.notify_all();
  }
  log_(
      c.peer + " disconnected (" + why + ")" +
      (c.dropped ? ", " + std::to_string(c.dropped) + " frames it did not read were dropped" : ""));
}

// Lets the frames in work_ and everything they provoke cross the bus: every client in raw
// mode on the bus but the sender gets them. Each frame is encoded once, with the wall-clock
// time it crossed, and appended to the output of every client it reaches; tick() writes it.
void SocketcandServer::run(int bus, std::int64_t now) {
  if (work_.empty()) return;
  Bus& b = buses_[static_cast<std::size_t>(bus)];
  const std::uint64_t crossed =
      b.devices.run(work_, now, [&b, this](const CMSG& m, const void* sender) {
        char text[1 + canbus::socketcand::kMaxFrameText];
        std::size_t size = 0;  // encoded for the first client it reaches
        for (Client* c : b.raw) {
          if (c == sender) continue;
          if (c->backlog() >= cfg_.client_backlog) {
            ++c->dropped;
            continue;
          }
          if (size == 0) {
            const auto t = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
            // The blank before each frame keeps a client that reads in fixed blocks from losing
            // a frame whose '<' ends a block.
            text[0] = ' ';
            size = 1 + canbus::socketcand::write_frame(text + 1, m, t / 1000000, t % 1000000);
          }
          c->out.append(text, size);
        }
      });
  if (crossed == 0) return;
  std::lock_guard<std::mutex> lock(mx_);
  frame_count_[b.name] += crossed;
}

void SocketcandServer::on_message(Client& c, std::string_view body) {
  using canbus::socketcand::Kind;
  const canbus::socketcand::Message& m = message_;
  canbus::socketcand::parse(body, message_);
  if (m.kind == Kind::kEcho) {
    queue(c, canbus::socketcand::encode_echo());
    return;
  }
  switch (c.stage) {
    case Client::Stage::kGreeted:
      if (m.kind == Kind::kOpen) {
        const auto it = std::find_if(buses_.begin(), buses_.end(),
                                     [&](const Bus& b) { return b.name == m.text; });
        if (it == buses_.end()) {
          log_(c.peer + " asked for unknown bus " + m.text);
          c.close_after = true;
          queue(c, canbus::socketcand::encode_error("could not open bus"));
          return;
        }
        c.bus = static_cast<int>(it - buses_.begin());
        c.stage = Client::Stage::kOpened;
        queue(c, canbus::socketcand::encode_ok());
        return;
      }
      break;
    case Client::Stage::kOpened:
      if (m.kind == Kind::kRawmode) {
        c.stage = Client::Stage::kRaw;
        buses_[static_cast<std::size_t>(c.bus)].raw.push_back(&c);
        {
          std::lock_guard<std::mutex> lock(mx_);
          const std::string& name = buses_[static_cast<std::size_t>(c.bus)].name;
          ++raw_clients_[name];
          ++raw_opens_[name];
          cv_.notify_all();
        }
        log_(c.peer + " opened " + buses_[static_cast<std::size_t>(c.bus)].name + " in raw mode");
        queue(c, canbus::socketcand::encode_ok());
        return;
      }
      break;
    case Client::Stage::kRaw:
      if (m.kind == Kind::kSend) {
        if (canbus::is_remote(m.frame) && !cfg_.remote_frames) break;
        work_.push_back(simdev::BusFrame{m.frame, &c});
        run(c.bus, steady_ns(Clock::now()));
        return;
      }
      if (m.kind == Kind::kMalformed) {
        queue(c, canbus::socketcand::encode_error("malformed frame"));
        return;
      }
      break;
  }
  queue(c, canbus::socketcand::encode_error("unknown command"));
}

void SocketcandServer::read(Client& c, Clock::time_point now) {
  char buf[65536];
  for (;;) {
    if (!wants_input(c)) {
      if (!c.dead && !c.close_after) {
        std::lock_guard<std::mutex> lock(mx_);
        ++held_back_;
        cv_.notify_all();
      }
      return;
    }
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.last_heard = now;
      // Once the client is gone or about to be closed, the rest of what it sent is ignored.
      c.reader.feed(buf, static_cast<std::size_t>(n), [&](std::string_view body) {
        if (!c.dead && !c.close_after) on_message(c, body);
      });
      if (c.dead || c.close_after) return;
      // A short read took all there was; but when its answers put the client past its
      // backlog, the next turn counts it as held back (it is not polled for input then).
      if (static_cast<std::size_t>(n) < sizeof buf && wants_input(c)) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    drop(c, n == 0 ? "closed by peer" : "read failed");
    return;
  }
}

std::shared_ptr<simdev::canopen::Device> SocketcandServer::device(const std::string& bus,
                                                                  int node) const {
  for (const auto& b : buses_) {
    if (b.name != bus) continue;
    for (const auto& d : b.configured) {
      if (d->node_id() == node) return d;
    }
  }
  return nullptr;
}

std::uint64_t SocketcandServer::frames(const std::string& bus) const {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = frame_count_.find(bus);
  return it == frame_count_.end() ? 0 : it->second;
}

std::uint64_t SocketcandServer::connections() const {
  std::lock_guard<std::mutex> lock(mx_);
  return connections_;
}

int SocketcandServer::raw_clients(const std::string& bus) const {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = raw_clients_.find(bus);
  return it == raw_clients_.end() ? 0 : it->second;
}

std::uint64_t SocketcandServer::raw_opens(const std::string& bus) const {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = raw_opens_.find(bus);
  return it == raw_opens_.end() ? 0 : it->second;
}

bool SocketcandServer::wait_held_back(std::uint64_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mx_);
  return cv_.wait_for(lock, timeout, [&] { return held_back_ >= n; });
}

bool SocketcandServer::wait_clients(const std::string& bus, int n,
                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mx_);
  return cv_.wait_for(lock, timeout, [&] { return raw_clients_[bus] == n; });
}

}  // namespace gateway_sim
