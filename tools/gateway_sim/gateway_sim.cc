// gateway_sim.cc - the simulated gateway: one poll loop over the socketcand and HTTP
// listeners, their connections, and the devices of each bus.
#include "gateway_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <istream>
#include <optional>
#include <sstream>

#include "can_frame.h"
#include "device_host.h"
#include "socketcand/wire.h"

namespace gateway_sim {

namespace {

using Clock = std::chrono::steady_clock;

// The loop looks at its devices at least this often (boot-up and emergency frames).
constexpr int kIdlePollMs = 100;
// Output a slow client may have waiting; frames beyond it are dropped for that client.
constexpr std::size_t kClientBacklog = 8u << 20;
constexpr std::size_t kMaxHttpRequest = 16384;
constexpr const char* kFormPath = "/Forms/Firmware";
constexpr const char* kResetField = "FWUpdReset=1";

std::string base64(const std::string& in) {
  static const char* const digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += digits[v >> 6 & 63];
    out += digits[v & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += digits[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string peer_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "?";
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// A listening socket on address:port (port 0: any); -1 with error set.
int listen_on(const std::string& address, int port, int& bound, std::string& error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
    error = "not an IPv4 address: " + address;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  return fd;
}

// Words of a configuration line; "..." is one word; '#' outside quotes ends the line.
bool config_words(const std::string& line, std::vector<std::string>& out) {
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '#') break;
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (c == '"') {
      const std::size_t end = line.find('"', i + 1);
      if (end == std::string::npos) return false;
      out.push_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    std::size_t j = i;
    while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j])) && line[j] != '#') {
      if (line[j] == '"') return false;  // a quote inside a word: a quoted text went wrong
      ++j;
    }
    out.push_back(line.substr(i, j - i));
    i = j;
  }
  return true;
}

bool to_int(const std::string& s, long lo, long hi, long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtol(s.c_str(), &end, 10);
  return *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

bool parse_config(std::istream& in, Config& cfg, std::string& error) {
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    std::vector<std::string> w;
    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (!config_words(line, w)) return fail("unbalanced quotes");
    if (w.empty()) continue;
    long v = 0;
    if (w[0] == "bus" && w.size() == 2) {
      if (std::find(cfg.buses.begin(), cfg.buses.end(), w[1]) == cfg.buses.end()) cfg.buses.push_back(w[1]);
    } else if (w[0] == "device" && w.size() == 6) {
      if (std::find(cfg.buses.begin(), cfg.buses.end(), w[1]) == cfg.buses.end()) {
        return fail("device on bus '" + w[1] + "' before a 'bus " + w[1] + "' line");
      }
      if (!to_int(w[2], 1, 127, v)) return fail("node-ID must be 1..127: '" + w[2] + "'");
      cfg.devices.push_back(DeviceConfig{w[1], static_cast<int>(v), w[3], w[4], w[5]});
    } else if (w[0] == "remote-frames" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
      cfg.remote_frames = w[1] == "on";
    } else if (w[0] == "reboot-ms" && w.size() == 2 && to_int(w[1], 0, 3600000, v)) {
      cfg.reboot_time = std::chrono::milliseconds(v);
    } else {
      return fail("expected 'bus NAME', 'device BUS NODE \"name\" \"hw\" \"sw\"', 'remote-frames on|off' or "
                  "'reboot-ms N'");
    }
  }
  return true;
}

struct GatewaySim::Impl {
  struct Bus {
    std::string name;
    ntcan_sim::DeviceHost devices;
  };
  struct Client {
    int fd = -1;
    std::string peer;
    enum class Stage { kGreeted, kOpened, kRaw } stage = Stage::kGreeted;
    int bus = -1;
    socketcand::MessageReader reader;
    std::string out;
    std::size_t sent = 0;       // bytes of out already written
    bool close_after = false;   // close once out is written
    bool dead = false;
    std::uint64_t dropped = 0;  // frames not queued for a client that does not read
  };
  struct HttpClient {
    int fd = -1;
    std::string peer;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool answered = false;
    bool dead = false;
  };

  Impl(const Config& c, int can_port, int http_port) : cfg(c), can_port(can_port), http_port(http_port) {}

  const Config& cfg;
  const int can_port;
  const int http_port;
  std::vector<Bus> buses;
  int can_fd = -1;
  int http_fd = -1;
  int wake_rd = -1, wake_wr = -1;
  std::thread thread;

  // Loop thread only.
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::unique_ptr<HttpClient>> http;
  bool down = false;
  std::optional<Clock::time_point> reboot_until;

  // Shared with the callers' threads.
  mutable std::mutex mx;
  std::condition_variable cv;
  bool stop = false;
  std::optional<bool> down_request;
  std::uint64_t requests = 0;  // set_down calls, and how many of them the loop carried out
  std::uint64_t carried_out = 0;
  bool serving = false;
  std::map<std::string, int> raw_clients;
  std::map<std::string, std::uint64_t> frame_count;
  int form_requests = 0;
  int resets = 0;

  void log(const std::string& text) const {
    if (cfg.log) std::fprintf(stderr, "korvel_gateway_sim: %s\n", text.c_str());
  }

  void wake() const {
    const char c = 1;
    (void)!::write(wake_wr, &c, 1);
  }

  static std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  }

  void publish_serving() {
    std::lock_guard<std::mutex> lock(mx);
    serving = can_fd >= 0;
    cv.notify_all();
  }

  // ------------------------------------------------------------ socketcand side

  // Queues text for the client and writes what the socket takes at once.
  void queue(Client& c, const std::string& text) {
    c.out += text;
    flush(c);
  }

  void flush(Client& c) {
    while (!c.dead && c.sent < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        c.sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        drop_client(c, "write failed");
      }
    }
    if (c.sent == c.out.size()) {
      c.out.clear();
      c.sent = 0;
      if (c.close_after && !c.dead) drop_client(c, "closed after error");
    } else if (c.sent > (1u << 16)) {
      c.out.erase(0, c.sent);
      c.sent = 0;
    }
  }

  void drop_client(Client& c, const char* why) {
    if (c.dead) return;
    c.dead = true;
    ::close(c.fd);
    if (c.stage == Client::Stage::kRaw) {
      std::lock_guard<std::mutex> lock(mx);
      --raw_clients[buses[static_cast<std::size_t>(c.bus)].name];
      cv.notify_all();
    }
    log(c.peer + " disconnected (" + why + ")" +
        (c.dropped ? ", " + std::to_string(c.dropped) + " frames it did not read were dropped" : ""));
  }

  void accept_clients() {
    for (;;) {
      const int fd = ::accept4(can_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto c = std::make_unique<Client>();
      c->fd = fd;
      c->peer = peer_of(fd);
      log(c->peer + " connected");
      queue(*c, socketcand::encode_hi());
      clients.push_back(std::move(c));
    }
  }

  void push_frame(Client& c, const CMSG& m) {
    if (c.out.size() - c.sent > kClientBacklog) {
      ++c.dropped;
      return;
    }
    const auto t = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    // The blank before each frame keeps a client that reads in fixed blocks from losing a
    // frame whose '<' ends a block.
    c.out += ' ';
    c.out += socketcand::encode_frame(m, t / 1000000, t % 1000000);
  }

  // Lets the frames in work and everything they provoke cross the bus: every client in raw
  // mode on the bus but the sender gets them.
  void run(int bus, std::deque<ntcan_sim::BusFrame>& work, std::int64_t now) {
    Bus& b = buses[static_cast<std::size_t>(bus)];
    const std::uint64_t crossed = b.devices.run(work, now, [&](const CMSG& m, const void* sender) {
      for (auto& c : clients) {
        if (!c->dead && c->stage == Client::Stage::kRaw && c->bus == bus && c.get() != sender) push_frame(*c, m);
      }
    });
    if (crossed == 0) return;
    std::lock_guard<std::mutex> lock(mx);
    frame_count[b.name] += crossed;
  }

  void devices_tick() {
    const std::int64_t now = now_ns();
    std::deque<ntcan_sim::BusFrame> work;
    for (std::size_t i = 0; i < buses.size(); ++i) {
      buses[i].devices.due(now, work);
      run(static_cast<int>(i), work, now);
    }
  }

  void on_message(Client& c, const std::string& body) {
    using socketcand::Kind;
    const socketcand::Message m = socketcand::parse(body);
    if (m.kind == Kind::kEcho) {
      queue(c, socketcand::encode_echo());
      return;
    }
    switch (c.stage) {
      case Client::Stage::kGreeted:
        if (m.kind == Kind::kOpen) {
          const auto it = std::find_if(buses.begin(), buses.end(), [&](const Bus& b) { return b.name == m.text; });
          if (it == buses.end()) {
            log(c.peer + " asked for unknown bus " + m.text);
            c.close_after = true;
            queue(c, socketcand::encode_error("could not open bus"));
            return;
          }
          c.bus = static_cast<int>(it - buses.begin());
          c.stage = Client::Stage::kOpened;
          queue(c, socketcand::encode_ok());
          return;
        }
        break;
      case Client::Stage::kOpened:
        if (m.kind == Kind::kRawmode) {
          c.stage = Client::Stage::kRaw;
          {
            std::lock_guard<std::mutex> lock(mx);
            ++raw_clients[buses[static_cast<std::size_t>(c.bus)].name];
            cv.notify_all();
          }
          log(c.peer + " opened " + buses[static_cast<std::size_t>(c.bus)].name + " in raw mode");
          queue(c, socketcand::encode_ok());
          return;
        }
        break;
      case Client::Stage::kRaw:
        if (m.kind == Kind::kSend) {
          if (ntcan_frame::is_remote(m.frame) && !cfg.remote_frames) break;
          std::deque<ntcan_sim::BusFrame> work{ntcan_sim::BusFrame{m.frame, &c}};
          run(c.bus, work, now_ns());
          return;
        }
        if (m.kind == Kind::kMalformed) return;  // a malformed send is dropped without a reply
        break;
    }
    queue(c, socketcand::encode_error("unknown command"));
  }

  void read_client(Client& c) {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n > 0) {
        std::vector<std::string> bodies;
        c.reader.feed(buf, static_cast<std::size_t>(n), bodies);
        for (const auto& b : bodies) {
          if (c.dead || c.close_after) return;
          on_message(c, b);
        }
        if (static_cast<std::size_t>(n) < sizeof buf) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      drop_client(c, n == 0 ? "closed by peer" : "read failed");
      return;
    }
  }

  void drop_all_clients(const char* why) {
    for (auto& c : clients) drop_client(*c, why);
    clients.clear();
  }

  void close_can_listener() {
    if (can_fd >= 0) ::close(can_fd);
    can_fd = -1;
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
      const int fd = ::accept4(http_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      auto h = std::make_unique<HttpClient>();
      h->fd = fd;
      h->peer = peer_of(fd);
      http.push_back(std::move(h));
    }
  }

  void answer(HttpClient& h, int code, const char* reason, const std::string& body, bool challenge) {
    h.answered = true;
    h.out = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\nConnection: close\r\n";
    if (challenge) h.out += "WWW-Authenticate: Basic realm=\"gateway\"\r\n";
    h.out += "\r\n" + body;
  }

  // A whole request is in h.in, or more must be read first.
  void handle_request(HttpClient& h) {
    const std::size_t head_end = h.in.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      if (h.in.size() > kMaxHttpRequest) answer(h, 400, "Bad Request", "request too long\n", false);
      return;
    }
    std::istringstream head(h.in.substr(0, head_end));
    std::string request_line;
    std::getline(head, request_line);
    std::istringstream rl(request_line);
    std::string method, path, version;
    rl >> method >> path >> version;
    std::size_t length = 0;
    std::string auth;
    for (std::string line; std::getline(head, line);) {
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string name = lower(trim(line.substr(0, colon)));
      const std::string value = trim(line.substr(colon + 1));
      if (name == "content-length") length = static_cast<std::size_t>(std::strtoul(value.c_str(), nullptr, 10));
      if (name == "authorization") auth = value;
    }
    if (length > kMaxHttpRequest) {
      answer(h, 413, "Payload Too Large", "too long\n", false);
      return;
    }
    if (h.in.size() < head_end + 4 + length) return;
    const std::string body = h.in.substr(head_end + 4, length);
    const std::string what = h.peer + " " + method + " " + path;
    if (path != kFormPath) {
      log(what + ": 404");
      answer(h, 404, "Not Found", "not found\n", false);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mx);
      ++form_requests;
    }
    const std::string expected = "Basic " + base64(std::string(kAdminUser) + ":" + kAdminPassword);
    if (auth.empty() || auth != expected) {
      log(what + ": 401 (" + (auth.empty() ? "no credentials" : "wrong credentials") + ")");
      answer(h, 401, "Unauthorized", "authorization required\n", true);
      return;
    }
    if (method != "POST") {
      log(what + ": 405");
      answer(h, 405, "Method Not Allowed", "post the form\n", false);
      return;
    }
    if (body.find(kResetField) == std::string::npos) {
      log(what + ": 400 (no " + kResetField + ")");
      answer(h, 400, "Bad Request", "unknown form\n", false);
      return;
    }
    log(what + ": reset accepted, rebooting for " + std::to_string(cfg.reboot_time.count()) + " ms");
    // The reboot starts before the answer goes out: whoever reads it finds the gateway
    // rebooting.
    reboot(&h);
    answer(h, 200, "OK", "rebooting\n", false);
  }

  void serve_http(HttpClient& h, short revents) {
    if (!h.answered && (revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      const ssize_t n = ::recv(h.fd, buf, sizeof buf, 0);
      if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        h.dead = true;
        ::close(h.fd);
        return;
      }
      if (n > 0) h.in.append(buf, static_cast<std::size_t>(n));
      handle_request(h);
    }
    if (h.answered) {
      while (h.sent < h.out.size()) {
        const ssize_t n = ::send(h.fd, h.out.data() + h.sent, h.out.size() - h.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          h.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          return;
        } else {
          break;
        }
      }
      h.dead = true;
      ::shutdown(h.fd, SHUT_WR);
      ::close(h.fd);
    }
  }

  // Everything drops but the HTTP connection `keep` that asked for the reboot.
  void reboot(const HttpClient* keep) {
    {
      std::lock_guard<std::mutex> lock(mx);
      ++resets;
    }
    close_can_listener();
    drop_all_clients("gateway reboots");
    for (auto& h : http) {
      if (!h->dead && h.get() != keep) {
        h->dead = true;
        ::close(h->fd);
      }
    }
    if (http_fd >= 0) ::close(http_fd);
    http_fd = -1;
    for (Bus& b : buses) b.devices.drop_waiting();
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

  // ------------------------------------------------------------ the loop

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
      drop_all_clients("gateway down");
    } else {
      log("up: serving again");
      if (!reboot_until) open_can_listener();
    }
  }

  int poll_timeout() const {
    auto until = Clock::now() + std::chrono::milliseconds(kIdlePollMs);
    for (const Bus& b : buses) {
      const std::int64_t due = b.devices.next_due();
      if (due >= 0) until = std::min(until, Clock::time_point(std::chrono::nanoseconds(due)));
    }
    if (reboot_until) until = std::min(until, *reboot_until);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(ms) + 1;
  }

  void loop() {
    std::vector<pollfd> fds;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mx);
        if (stop) break;
      }
      fds.clear();
      fds.push_back(pollfd{wake_rd, POLLIN, 0});
      fds.push_back(pollfd{can_fd, POLLIN, 0});   // -1 while down: ignored by poll
      fds.push_back(pollfd{http_fd, POLLIN, 0});
      const std::size_t first_client = fds.size();
      for (auto& c : clients) {
        fds.push_back(pollfd{c->fd, static_cast<short>(POLLIN | (c->out.size() > c->sent ? POLLOUT : 0)), 0});
      }
      const std::size_t first_http = fds.size();
      for (auto& h : http) fds.push_back(pollfd{h->fd, static_cast<short>(h->answered ? POLLOUT : POLLIN), 0});
      const int rc = ::poll(fds.data(), fds.size(), poll_timeout());
      if (rc < 0 && errno != EINTR) break;

      if (fds[0].revents) commands();
      if (can_fd >= 0 && fds[1].fd == can_fd && (fds[1].revents & POLLIN)) accept_clients();
      if (http_fd >= 0 && fds[2].fd == http_fd && (fds[2].revents & POLLIN)) accept_http();
      const std::size_t nclients = first_http - first_client;
      for (std::size_t i = 0; i < nclients && i < clients.size(); ++i) {
        Client& c = *clients[i];
        const short ev = fds[first_client + i].revents;
        if (c.dead || c.fd != fds[first_client + i].fd) continue;
        if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c);
      }
      const std::size_t nhttp = fds.size() - first_http;
      for (std::size_t i = 0; i < nhttp && i < http.size(); ++i) {
        HttpClient& h = *http[i];
        if (!h.dead && fds[first_http + i].revents) serve_http(h, fds[first_http + i].revents);
      }
      devices_tick();
      for (auto& c : clients) flush(*c);
      clients.erase(std::remove_if(clients.begin(), clients.end(), [](const auto& c) { return c->dead; }),
                    clients.end());
      http.erase(std::remove_if(http.begin(), http.end(), [](const auto& h) { return h->dead; }), http.end());
      if (reboot_until && Clock::now() >= *reboot_until) end_reboot();
      if (!reboot_until && !down && can_fd < 0) open_can_listener();  // a re-bind that failed before
    }
    drop_all_clients("simulator stops");
    for (auto& h : http) {
      if (!h->dead) ::close(h->fd);
    }
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
  im.buses.resize(cfg_.buses.size());
  for (std::size_t i = 0; i < cfg_.buses.size(); ++i) im.buses[i].name = cfg_.buses[i];
  for (const auto& d : cfg_.devices) {
    auto it = std::find_if(im.buses.begin(), im.buses.end(), [&](const Impl::Bus& b) { return b.name == d.bus; });
    if (it == im.buses.end()) continue;
    auto dev = std::make_shared<canopen::Device>(static_cast<std::uint8_t>(d.node));
    dev->set_identity(d.name, d.hw, d.sw);
    it->devices.attach(std::move(dev));
  }
  im.serving = true;
  im.log("socketcand on " + cfg_.address + ":" + std::to_string(can_port_) +
         (http_port_ >= 0 ? ", reset form on http://" + cfg_.address + ":" + std::to_string(http_port_) + kFormPath
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
  std::unique_lock<std::mutex> lock(impl_->mx);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->raw_clients[bus] == n; });
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

std::uint64_t GatewaySim::frames(const std::string& bus) const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mx);
  auto it = impl_->frame_count.find(bus);
  return it == impl_->frame_count.end() ? 0 : it->second;
}

std::shared_ptr<canopen::Device> GatewaySim::device(const std::string& bus, int node) const {
  if (!impl_) return nullptr;
  for (const auto& b : impl_->buses) {
    if (b.name != bus) continue;
    for (const auto& d : b.devices.devices()) {
      auto c = std::dynamic_pointer_cast<canopen::Device>(d);
      if (c && c->node_id() == node) return c;
    }
  }
  return nullptr;
}

}  // namespace gateway_sim
