// gateway_sim.cc - the simulated gateway's loop: one thread polls the socketcand and HTTP
// listeners and their connections, runs the devices, and carries out down/up, reboots and
// stop requests from other threads.
#include "gateway_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "reset_form.h"
#include "socketcand_server.h"
#include "sockets.h"

namespace gateway_sim {

namespace {

using Clock = std::chrono::steady_clock;

// The loop looks at its devices at least this often (boot-up and emergency frames).
constexpr std::chrono::milliseconds kIdlePoll{100};
// With no descriptor left for a new connection, accepting is tried again after this long
// (or as soon as a connection of ours closes) instead of at every turn of the loop.
constexpr std::chrono::milliseconds kAcceptRetry{100};

}  // namespace

struct GatewaySim::Impl {
  struct HttpClient {
    int fd = -1;
    std::string peer;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool answered = false;
    bool dead = false;
    Clock::time_point last_heard;  // the last byte received or sent
  };

  Impl(const Config& c, int can_port, int http_port)
      : cfg(c),
        can_port(can_port),
        http_port(http_port),
        can(c, [this](const std::string& t) { log(t); }) {}

  const Config& cfg;
  const int can_port;
  const int http_port;
  int can_fd = -1;
  int http_fd = -1;
  int wake_rd = -1, wake_wr = -1;
  std::thread thread;

  // Loop thread only.
  SocketcandServer can;
  std::vector<std::unique_ptr<HttpClient>> http;
  bool down = false;
  std::optional<Clock::time_point> reboot_until;
  std::optional<Clock::time_point> accept_paused_until;

  // Shared with the callers' threads.
  mutable std::mutex mx;
  std::condition_variable cv;
  bool stop = false;
  std::optional<bool> down_request;
  std::uint64_t requests = 0;  // set_down calls, and how many of them the loop carried out
  std::uint64_t carried_out = 0;
  bool serving = false;
  int form_requests = 0;
  int resets = 0;
  std::uint64_t accept_failures = 0;

  void log(const std::string& text) const {
    if (cfg.log) std::fprintf(stderr, "korvel_gateway_sim: %s\n", text.c_str());
  }

  void wake() const {
    const char c = 1;
    (void)!::write(wake_wr, &c, 1);
  }

  void publish_serving() {
    std::lock_guard<std::mutex> lock(mx);
    serving = can_fd >= 0;
    cv.notify_all();
  }

  // ------------------------------------------------------------ socketcand listener

  void accept_clients() {
    for (;;) {
      int fd = -1;
      switch (accept_one(can_fd, fd)) {
        case Accepted::kConnection:
          can.add_client(fd);
          continue;
        case Accepted::kNoDescriptor: {
          bool first = false;
          {
            std::lock_guard<std::mutex> lock(mx);
            first = accept_failures++ == 0;
            cv.notify_all();
          }
          if (first)
            log(std::string("cannot accept: ") + std::strerror(errno) +
                " (trying again now and then)");
          accept_paused_until = Clock::now() + kAcceptRetry;
          return;
        }
        case Accepted::kNone:
          return;
      }
    }
  }

  void close_can_listener() {
    if (can_fd >= 0) ::close(can_fd);
    can_fd = -1;
    accept_paused_until.reset();
    publish_serving();
  }

  void open_can_listener() {
    if (can_fd >= 0) return;
    int bound = 0;
    std::string error;
    can_fd = listen_on(cfg.address, can_port, bound, error);
    if (can_fd < 0) log(error + " (trying again)");
    publish_serving();
  }

  // ------------------------------------------------------------ HTTP side

  void accept_http() {
    for (;;) {
      int fd = -1;
      const Accepted a = accept_one(http_fd, fd);
      if (a != Accepted::kConnection) {
        if (a == Accepted::kNoDescriptor) accept_paused_until = Clock::now() + kAcceptRetry;
        return;
      }
      auto h = std::make_unique<HttpClient>();
      h->fd = fd;
      h->peer = peer_of(fd);
      h->last_heard = Clock::now();
      http.push_back(std::move(h));
    }
  }

  void close_http(HttpClient& h) {
    if (h.dead) return;
    h.dead = true;
    ::close(h.fd);
  }

  void serve_http(HttpClient& h, short revents) {
    if (!h.answered && (revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      const ssize_t n = ::recv(h.fd, buf, sizeof buf, 0);
      if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        close_http(h);
        return;
      }
      if (n > 0) {
        h.in.append(buf, static_cast<std::size_t>(n));
        h.last_heard = Clock::now();
      }
      FormAnswer a = answer_form(h.in);
      if (!a.complete) return;
      if (a.to_form) {
        std::lock_guard<std::mutex> lock(mx);
        ++form_requests;
      }
      log(h.peer + " " + a.summary +
          (a.reset ? ", rebooting for " + std::to_string(cfg.reboot_time.count()) + " ms"
                   : std::string()));
      // The reboot starts before the answer goes out: whoever reads it finds the gateway
      // rebooting.
      if (a.reset) reboot(&h);
      h.out = std::move(a.response);
      h.answered = true;
    }
    if (h.answered) {
      while (h.sent < h.out.size()) {
        const ssize_t n =
            ::send(h.fd, h.out.data() + h.sent, h.out.size() - h.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          h.sent += static_cast<std::size_t>(n);
          h.last_heard = Clock::now();
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          return;
        } else {
          break;
        }
      }
      ::shutdown(h.fd, SHUT_WR);
      close_http(h);
    }
  }

  bool idle_limit() const { return cfg.idle_time.count() > 0; }

  // Closes HTTP connections that neither sent nor took a byte for the idle time: one that
  // never completes its request, or never reads the answer, must not keep its descriptor.
  void close_idle_http(Clock::time_point now) {
    if (!idle_limit()) return;
    for (auto& h : http) {
      if (!h->dead && now - h->last_heard >= cfg.idle_time) {
        log(h->peer + " HTTP connection closed: idle for " + std::to_string(cfg.idle_time.count()) +
            " ms");
        close_http(*h);
      }
    }
  }

  // ------------------------------------------------------------ reboot, down, up

  // Everything drops but the HTTP connection `keep` that asked for the reboot.
  void reboot(const HttpClient* keep) {
    {
      std::lock_guard<std::mutex> lock(mx);
      ++resets;
    }
    close_can_listener();
    can.drop_all("gateway reboots");
    for (auto& h : http) {
      if (h.get() != keep) close_http(*h);
    }
    if (http_fd >= 0) ::close(http_fd);
    http_fd = -1;
    can.drop_waiting();
    reboot_until = Clock::now() + cfg.reboot_time;
  }

  void end_reboot() {
    reboot_until.reset();
    down = false;
    int bound = 0;
    std::string error;
    if (http_port >= 0 && http_fd < 0) {
      http_fd = listen_on(cfg.address, http_port, bound, error);
      if (http_fd < 0) log(error);
    }
    open_can_listener();
    if (can_fd >= 0) log("rebooted: serving again");
  }

  void commands() {
    char buf[64];
    while (::read(wake_rd, buf, sizeof buf) > 0) {
    }
    std::optional<bool> request;
    std::uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mx);
      request.swap(down_request);
      seen = requests;
    }
    apply_down(request);
    std::lock_guard<std::mutex> lock(mx);
    carried_out = seen;
    cv.notify_all();
  }

  void apply_down(const std::optional<bool>& request) {
    if (!request || *request == down) return;
    down = *request;
    if (down) {
      log("down: connections dropped, new ones refused");
      close_can_listener();  // first: a client that sees its connection drop finds no listener
      can.drop_all("gateway down");
    } else {
      log("up: serving again");
      if (!reboot_until) open_can_listener();
    }
  }

  // ------------------------------------------------------------ the loop

  int poll_timeout() const {
    auto until = std::min(Clock::now() + kIdlePoll, can.next_deadline());
    if (reboot_until) until = std::min(until, *reboot_until);
    if (accept_paused_until) until = std::min(until, *accept_paused_until);
    if (idle_limit()) {
      for (const auto& h : http) until = std::min(until, h->last_heard + cfg.idle_time);
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(ms) + 1;
  }

  void loop() {
    std::vector<pollfd> fds;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mx);
        if (stop) break;
      }
      if (accept_paused_until && Clock::now() >= *accept_paused_until) accept_paused_until.reset();
      const bool accepting = !accept_paused_until;
      fds.clear();
      fds.push_back(pollfd{wake_rd, POLLIN, 0});
      fds.push_back(pollfd{accepting ? can_fd : -1, POLLIN, 0});  // -1 while down: ignored by poll
      fds.push_back(pollfd{accepting ? http_fd : -1, POLLIN, 0});
      const std::size_t first_client = fds.size();
      can.poll_fds(fds);
      const std::size_t first_http = fds.size();
      for (auto& h : http)
        fds.push_back(pollfd{h->fd, static_cast<short>(h->answered ? POLLOUT : POLLIN), 0});
      const int rc = ::poll(fds.data(), fds.size(), poll_timeout());
      if (rc < 0 && errno != EINTR) break;

      if (fds[0].revents) commands();
      if (can_fd >= 0 && fds[1].fd == can_fd && (fds[1].revents & POLLIN)) accept_clients();
      if (http_fd >= 0 && fds[2].fd == http_fd && (fds[2].revents & POLLIN)) accept_http();
      can.serve(fds.data() + first_client, first_http - first_client);
      const std::size_t nhttp = fds.size() - first_http;
      for (std::size_t i = 0; i < nhttp && i < http.size(); ++i) {
        HttpClient& h = *http[i];
        if (!h.dead && fds[first_http + i].revents) serve_http(h, fds[first_http + i].revents);
      }
      close_idle_http(Clock::now());
      const std::size_t http_before = http.size();
      http.erase(std::remove_if(http.begin(), http.end(), [](const auto& h) { return h->dead; }),
                 http.end());
      if (can.tick(Clock::now()) || http.size() != http_before)
        accept_paused_until.reset();  // a descriptor came free
      if (reboot_until && Clock::now() >= *reboot_until) end_reboot();
      if (!reboot_until && !down && can_fd < 0)
        open_can_listener();  // a re-bind that failed before
    }
    can.drop_all("simulator stops");
    for (auto& h : http) close_http(*h);
    http.clear();
  }
};

GatewaySim::GatewaySim(Config cfg) : cfg_(std::move(cfg)) {}

GatewaySim::~GatewaySim() { stop(); }

bool GatewaySim::start(std::string& error) {
  if (impl_) return true;
  Config& cfg = cfg_;
  if (cfg.buses.empty()) cfg.buses.push_back("can0");
  int can_bound = 0, http_bound = -1;
  const int can_fd = listen_on(cfg.address, cfg.can_port, can_bound, error);
  if (can_fd < 0) return false;
  int http_fd = -1;
  if (cfg.http_port >= 0) {
    http_fd = listen_on(cfg.address, cfg.http_port, http_bound, error);
    if (http_fd < 0) {
      ::close(can_fd);
      return false;
    }
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(can_fd);
    if (http_fd >= 0) ::close(http_fd);
    return false;
  }
  can_port_ = can_bound;
  http_port_ = http_bound;
  impl_ = std::make_unique<Impl>(cfg_, can_port_, http_port_);
  Impl& im = *impl_;
  im.can_fd = can_fd;
  im.http_fd = http_fd;
  im.wake_rd = pipe_fds[0];
  im.wake_wr = pipe_fds[1];
  im.serving = true;
  im.log("socketcand on " + cfg_.address + ":" + std::to_string(can_port_) +
         (http_port_ >= 0 ? ", reset form on http://" + cfg_.address + ":" +
                                std::to_string(http_port_) + kFormPath
                          : std::string()));
  im.thread = std::thread([&im] { im.loop(); });
  return true;
}

void GatewaySim::stop() {
  if (!impl_) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mx);
    impl_->stop = true;
    impl_->cv.notify_all();
  }
  impl_->wake();
  if (impl_->thread.joinable()) impl_->thread.join();
  if (impl_->can_fd >= 0) ::close(impl_->can_fd);
  if (impl_->http_fd >= 0) ::close(impl_->http_fd);
  ::close(impl_->wake_rd);
  ::close(impl_->wake_wr);
  impl_.reset();
}

void GatewaySim::set_down(bool down) {
  if (!impl_) return;
  std::unique_lock<std::mutex> lock(impl_->mx);
  impl_->down_request = down;
  const std::uint64_t mine = ++impl_->requests;
  impl_->wake();
  impl_->cv.wait(lock, [&] { return impl_->carried_out >= mine || impl_->stop; });
}

bool GatewaySim::wait_serving(std::chrono::milliseconds timeout) {
  if (!impl_) return false;
  std::unique_lock<std::mutex> lock(impl_->mx);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->serving; });
}

bool GatewaySim::wait_clients(const std::string& bus, int n, std::chrono::milliseconds timeout) {
  if (!impl_) return false;
  return impl_->can.wait_clients(bus, n, timeout);
}

bool GatewaySim::wait_accept_failures(std::uint64_t n, std::chrono::milliseconds timeout) {
  if (!impl_) return false;
  std::unique_lock<std::mutex> lock(impl_->mx);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->accept_failures >= n; });
}

bool GatewaySim::wait_held_back(std::uint64_t n, std::chrono::milliseconds timeout) {
  return impl_ && impl_->can.wait_held_back(n, timeout);
}

std::uint64_t GatewaySim::accept_failures() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->accept_failures;
}

int GatewaySim::form_requests() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->form_requests;
}

int GatewaySim::resets() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->resets;
}

std::uint64_t GatewaySim::connections() const { return impl_ ? impl_->can.connections() : 0; }

int GatewaySim::raw_clients(const std::string& bus) const {
  return impl_ ? impl_->can.raw_clients(bus) : 0;
}

std::uint64_t GatewaySim::raw_opens(const std::string& bus) const {
  return impl_ ? impl_->can.raw_opens(bus) : 0;
}

std::uint64_t GatewaySim::frames(const std::string& bus) const {
  return impl_ ? impl_->can.frames(bus) : 0;
}

std::shared_ptr<simdev::canopen::Device> GatewaySim::device(const std::string& bus,
                                                            int node) const {
  return impl_ ? impl_->can.device(bus, node) : nullptr;
}

}  // namespace gateway_sim
