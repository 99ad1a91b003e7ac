// A line on a gateway net, end to end: the gateway hangs, the supervision thread closes the
// line, re-opening fails with a connection time-out, the thread resets the gateway with the
// real wget through its HTTP form, and the line comes back. Pauses run in virtual time; the
// gateway reboots in real time. Stand-in listeners on other loopback addresses play a gateway
// that never answers and a host that must never be reached.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gateway_fixture.h"
#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

constexpr const char* kPassword = "rqx8mulfo";

// A TCP listener on a loopback address. Untouched, it only shows whether anyone connected;
// freeze() makes it a gateway that reads every request and never answers.
class StandIn {
 public:
  StandIn(const std::string& address, int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    listening_ =
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0;
  }
  ~StandIn() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      (void)!::write(stop_, &one, sizeof one);
      thread_.join();
      ::close(stop_);
    }
    ::close(fd_);
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  bool listening() const { return listening_; }
  // A connection is waiting to be accepted.
  bool reached() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  // From now on accepts connections, calls on_request with each request's head while the
  // client waits for the answer, and holds the connection until the client gives up.
  void freeze(std::function<void(const std::string&)> on_request) {
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, on_request] {
      while (wait_readable(fd_)) {
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string head;
        char buf[1024];
        ssize_t n = 0;
        while (head.find("\r\n\r\n") == std::string::npos && wait_readable(c) &&
               (n = ::recv(c, buf, sizeof buf, 0)) > 0) {
          head.append(buf, static_cast<std::size_t>(n));
        }
        if (head.find("\r\n\r\n") != std::string::npos) on_request(head);
        while (wait_readable(c) && ::recv(c, buf, sizeof buf, 0) > 0) {
        }
        ::close(c);
      }
    });
  }

 private:
  // Waits until fd is readable; false once the stand-in is stopped.
  bool wait_readable(int fd) const {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
    while (::poll(p, 2, -1) < 0) {
    }
    return (p[1].revents & POLLIN) == 0;
  }

  int fd_ = -1;
  int stop_ = -1;
  bool listening_ = false;
  std::thread thread_;
};

// Parent process id of `pid`, or 0.
int parent_of(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t end = stat.rfind(')');  // the command name may hold blanks and parentheses
  if (end == std::string::npos) return 0;
  char state = 0;
  int ppid = 0;
  return std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &ppid) == 2 ? ppid : 0;
}

// A descendant process: its argument list (arguments separated by blanks) and its open
// file descriptors.
struct Descendant {
  std::string args;
  std::vector<std::string> fds;  // what each descriptor refers to, e.g. "socket:[1234]"
};

// What the open file descriptors of process `pid` refer to.
std::vector<std::string> open_files(const std::string& pid) {
  std::vector<std::string> files;
  const std::string dir = "/proc/" + pid + "/fd";
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      char target[256];
      const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (e->d_name[0] != '.' && n > 0) files.emplace_back(target, static_cast<std::size_t>(n));
    }
    ::closedir(d);
  }
  return files;
}

std::vector<Descendant> descendants() {
  std::vector<Descendant> out;
  const int self = static_cast<int>(::getpid());
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (const dirent* e = ::readdir(proc)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == self) continue;
    int up = parent_of(pid);
    for (int depth = 0; depth < 8 && up > 1 && up != self; ++depth) up = parent_of(up);
    if (up != self) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    out.push_back({args, open_files(std::to_string(pid))});
  }
  ::closedir(proc);
  return out;
}

// Port 80 of one loopback address is taken by one listener at a time, and other test runs
// on this machine may use these tests at the same moment: each run takes its own addresses.
int random_in(int low, int high) {
  static std::random_device rd;
  return std::uniform_int_distribution<int>(low, high)(rd);
}

// A gateway address of fifteen characters: 127.1xx.1yy.<last>.
std::string random_address(int last) {
  return "127." + std::to_string(random_in(100, 254)) + "." + std::to_string(random_in(100, 254)) +
         "." + std::to_string(last);
}

// A zero-padded gateway address whose groups read differently as octal (all digits below 8).
struct PaddedAddress {
  std::string written;  // "127.0ab.0cd.0ef", as the gateway file must hold it
  std::string decimal;  // what the administrator means
  std::string octal;    // where a resolver that reads leading zeros as octal would go
};
PaddedAddress random_padded_address() {
  PaddedAddress a{"127", "127", "127"};
  for (int g = 0; g < 3; ++g) {
    const int tens = random_in(1, 7);
    const int ones = random_in(1, 7);
    a.written += ".0" + std::to_string(tens) + std::to_string(ones);
    a.decimal += "." + std::to_string(10 * tens + ones);
    a.octal += "." + std::to_string(8 * tens + ones);
  }
  return a;
}

// Files of `dir` whose names begin with `prefix`.
std::vector<std::string> files_named(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (std::string(e->d_name).compare(0, prefix.size(), prefix) == 0) out.push_back(e->d_name);
    }
    ::closedir(d);
  }
  return out;
}

class GatewayReset : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    // wget must reach the simulator itself, never a proxy.
    for (const char* v :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(v);
    }
  }
  void TearDown() override {
    KorvelTest::TearDown();
    ntcan_test::reset();  // no handle outlives the gateway
    sim_.reset();
  }

  // The gateway at `address` (the gateway file's fifteen characters name the same address),
  // its reset form on port 80 as the library's URL has no port.
  void start_gateway(const std::string& address, const std::string& written) {
    gateway_sim::Config cfg = test_gateway(std::chrono::milliseconds(300));
    cfg.address = address;
    cfg.http_port = 80;
    sim_ = std::make_unique<gateway_sim::GatewaySim>(cfg);
    std::string error;
    ASSERT_TRUE(sim_->start(error)) << error;
    configure_driver(
        dir_, "0 socketcand " + address + " " + std::to_string(sim_->can_port()) + " can0\n");
    write_file("esd-plugin", "PeerName 0 \"" + written + "\"\n");
  }

  // Node 5 on line 1, its SDO replies enabled, past the supervision thread's start pause.
  D_can& start_node() {
    D_can& n = node("DEV", {1, 5, 0, 0});
    EXPECT_EQ(n.init(0x585), 0);
    EXPECT_TRUE(clock_->wait_for_sleepers(1));
    clock_->advance(60LL * 1000000000LL);
    return n;
  }

  // Steps the supervision thread until done(); false if it takes more than max_steps.
  bool step_until(const std::function<bool()>& done, int max_steps) {
    for (int i = 0; i < max_steps && !done(); ++i) step();
    return done();
  }

  int open_attempts() { return static_cast<int>(ntcan_test::calls("canOpen").size()); }

  // The gateway hangs; the line is closed after two failed status checks.
  void hang_gateway(canline* line) {
    sim_->set_down(true);
    // Steps take microseconds: first let the driver see the connection go (a read returns
    // as soon as it does).
    int r = NTCAN_RX_TIMEOUT;
    for (int tries = 0; tries < 20 && r == NTCAN_RX_TIMEOUT; ++tries) {
      CMSG m[4];
      int32_t n = 4;
      r = canRead(line->handle(), m, &n, nullptr);
    }
    ASSERT_EQ(r, NTCAN_SOCK_CMD_TIMEOUT);
    ASSERT_TRUE(step_until([&] { return line->handle() == -1; }, 3));
    EXPECT_EQ(log_.with_heading("2. canStatus returned: ").at(0).text,
              "Line : 1mess: NTCAN_SOCK_CMD_TIMEOUT(0x00000181)");
  }

  // The node reads the device's name and starts it.
  void expect_node_works(D_can& n) {
    Peer::manu(n)->set_value("");
    EXPECT_EQ(n.get_manufacture(), 0);
    EXPECT_EQ(read_text(n, ".MANU"), "Gateway device");
    auto device = sim_->device("can0", 5);
    const int commands = device->nmt_commands();
    EXPECT_EQ(n.start_node(), 0);
    // The SDO reply comes after the device took the NMT frame sent before it.
    EXPECT_EQ(n.get_hwversion(), 0);
    EXPECT_EQ(read_text(n, ".HWVER"), "HW-1");
    EXPECT_EQ(device->nmt_commands(), commands + 1);
    EXPECT_EQ(device->state(), simdev::canopen::NmtState::kOperational);
  }

  std::unique_ptr<gateway_sim::GatewaySim> sim_;
};

}  // namespace

TEST_F(GatewayReset, HungGatewayIsResetWithWgetAndTheLineComesBack) {
  ASSERT_EQ(std::system("command -v wget >/dev/null"), 0)
      << "wget is needed (tools/install-deps.sh installs it)";
  const std::string address = random_address(101);
  start_gateway(address, address);
  clock_->set_query_step(1000);  // a lost SDO reply ends the read after 2 s of 1 us queries
  D_can& n = start_node();
  canline* line = n.line();
  ASSERT_GT(line->handle(), 0);
  expect_node_works(n);
  step();

  hang_gateway(line);
  // Re-opening fails with a connection time-out; the first failure resets the gateway.
  ASSERT_TRUE(step_until([&] { return sim_->resets() == 1; }, 4));
  EXPECT_EQ(log_.with_heading("canOpen returned: ").at(0).text,
            "Line : 1mess: NTCAN_SOCK_CONN_TIMEOUT(0x00000180)");
  const auto system_lines = log_.with_heading("system called with : ");
  ASSERT_EQ(system_lines.size(), 1u);
  EXPECT_EQ(system_lines[0].text,
            "wget --post-data=\"FWUpdReset=1\" http://vexiladm:***@" + address + "/Forms/Firmware");
  // wget asked without credentials first, as it does until challenged.
  EXPECT_EQ(sim_->form_requests(), 2);

  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  ASSERT_TRUE(step_until([&] { return line->handle() > 0; }, 4));
  EXPECT_EQ(sim_->resets(), 1);
  expect_node_works(n);
}

TEST_F(GatewayReset, MarkerFileKeepsWgetAwayFromTheGateway) {
  const std::string address = random_address(102);
  start_gateway(address, address);
  write_file("DENY-wget-reset", "");
  clock_->set_query_step(1000);
  D_can& n = start_node();
  canline* line = n.line();
  ASSERT_GT(line->handle(), 0);
  step();

  hang_gateway(line);
  const int before = open_attempts();
  // Attempts 1 and 7 would have reset the gateway.
  ASSERT_TRUE(step_until([&] { return open_attempts() >= before + 8; }, 40));
  EXPECT_EQ(line->handle(), -1);
  EXPECT_EQ(sim_->form_requests(), 0);
  EXPECT_EQ(sim_->resets(), 0);
  EXPECT_TRUE(log_.with_heading("system called with : ").empty());

  sim_->set_down(false);
  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  ASSERT_TRUE(step_until([&] { return line->handle() > 0; }, 4));
  expect_node_works(n);
}

TEST_F(GatewayReset, PaddedAddressResetsTheGatewayItNamesAndKeepsNoAnswerOnDisk) {
  ASSERT_EQ(std::system("command -v wget >/dev/null"), 0)
      << "wget is needed (tools/install-deps.sh installs it)";
  // E.g. 127.000.000.010 means 127.0.0.10; read as octal it is 127.0.0.8, and that host must
  // never see the request (nor its credentials).
  const PaddedAddress address = random_padded_address();
  StandIn octal(address.octal, 80);
  ASSERT_TRUE(octal.listening()) << address.octal;
  start_gateway(address.decimal, address.written);
  canline line;
  line.setline(1);
  std::string ip;
  ASSERT_EQ(line.getlineip(1, ip), 0);
  line.setlineip(ip);
  line.reset_line();

  EXPECT_EQ(sim_->form_requests(), 2);  // asked without credentials, then with them
  EXPECT_EQ(sim_->resets(), 1);
  EXPECT_FALSE(octal.reached());
  EXPECT_EQ(log_.with_heading("system called with : ").at(0).text,
            "wget --post-data=\"FWUpdReset=1\" http://vexiladm:***@" + address.decimal +
                "/Forms/Firmware");
  // The gateway's answer was not saved in the working directory.
  EXPECT_TRUE(files_named(dir_, "Firmware").empty());
}

TEST_F(GatewayReset, FrozenGatewayHoldsTheSupervisionOnlyUntilTheResetLimit) {
  ASSERT_EQ(std::system("command -v wget >/dev/null"), 0)
      << "wget is needed (tools/install-deps.sh installs it)";
  configure_driver(dir_, "0 sim\n");  // the CAN side is the simulated bus; only the form is real
  const std::string address = random_address(103);
  StandIn frozen(address, 80);
  ASSERT_TRUE(frozen.listening()) << address;
  std::mutex mx;
  std::vector<std::string> requests;
  std::vector<Descendant> running;  // our descendants while a request waits
  frozen.freeze([&](const std::string& head) {
    std::lock_guard<std::mutex> lk(mx);
    requests.push_back(head);
    for (const auto& d : descendants()) running.push_back(d);
  });
  write_file("esd-plugin", "PeerName 0 \"" + address + "\"\n");
  // A connection of the server's that is not closed on exec, as a driver might hold one.
  const int own_socket = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(own_socket, 0);
  char target[256];
  const ssize_t len =
      ::readlink(("/proc/self/fd/" + std::to_string(own_socket)).c_str(), target, sizeof target);
  const std::string own_socket_file(target, static_cast<std::size_t>(len > 0 ? len : 0));
  ASSERT_EQ(own_socket_file.compare(0, 7, "socket:"), 0) << own_socket_file;

  D_can& n = node("DEV", {1, 5, 0, 0});
  ASSERT_EQ(n.init(), 0);
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60LL * 1000000000LL);
  canline* line = n.line();
  // Below wget's own time-out of 10 s: only the limit can end this run.
  line->set_reset_time_limit(std::chrono::seconds(3));
  step();
  ntcan_test::set_net_down(0, true, NTCAN_SOCK_CONN_TIMEOUT);
  step();
  step();
  ASSERT_EQ(line->handle(), -1);

  // The first re-open fails with a connection time-out and resets the gateway, which takes
  // the request and never answers: the run is stopped at the limit, and the thread goes on to
  // its reset pause as after any reset.
  const auto opens = ntcan_test::calls("canOpen").size();
  ASSERT_TRUE(step_until([&] { return ntcan_test::calls("canOpen").size() > opens; }, 4));
  ASSERT_FALSE(clock_->deadlines().empty());
  EXPECT_EQ(clock_->deadlines().front() - clock_->now(), 20LL * 1000000000LL);
  EXPECT_EQ(log_.count("gateway reset stopped after 3000 ms"), 1);
  EXPECT_TRUE(step_until([&] { return ntcan_test::calls("canOpen").size() > opens + 1; },
                         3));  // and goes on

  std::lock_guard<std::mutex> lk(mx);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].compare(0, 26, "POST /Forms/Firmware HTTP/"), 0) << requests[0];
  // wget was running while the gateway held its request, and no argument list of it (or of
  // anything between it and us) holds the password.
  bool wget_seen = false;
  for (const auto& d : running) {
    EXPECT_EQ(d.args.find(kPassword), std::string::npos) << d.args;
    if (d.args.find("/Forms/Firmware") == std::string::npos) continue;
    wget_seen = true;
    // wget holds none of the server's connections.
    EXPECT_EQ(std::count(d.fds.begin(), d.fds.end(), own_socket_file), 0) << d.args;
  }
  EXPECT_TRUE(wget_seen);
  ::close(own_socket);
  EXPECT_TRUE(files_named(dir_, "Firmware").empty());
}
