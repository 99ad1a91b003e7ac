// scale_bench - the whole server scenario at plant scale, as a yardstick for the driver and the
// library: LINES CAN lines with NODES masters each, every bus carrying its full traffic, and
// the server cycle every 100 ms (can_looping, then each node's batch taken with can_array and
// checked by a decoder that follows the sequence number of every identifier).
//
// Transports: the driver's simulated buses (traffic injected by a generator thread with
// ntcan_sim::inject), socketcand through a korvel_gateway_sim process (the generator thread
// sends the traffic into the gateway, one connection per bus, and the gateway forwards it to
// the server's connections), or SocketCAN on vcan interfaces (the generator thread writes the
// traffic with a CAN_RAW socket of its own per interface; the kernel delivers it to the
// driver's sockets). One scenario per process run (the library's lines and nodes live for the
// process); bench/compare.sh runs several, against two builds (the SocketCAN ones in a virtual
// machine where this kernel has no SocketCAN).
//
// A plain program rather than a Google Benchmark: a run is one scenario in phases (start-up,
// load, a server stall, resumed polling, drain) with figures per phase and per thread, which
// the iteration model of Google Benchmark does not express.
#include <dirent.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <malloc.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_api.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

// ------------------------------------------------------------ the scenario's constants

constexpr int kCycleMs = 100;  // the server cycle
// A bus at full load (1 Mbit/s, 8-byte frames): frames per second, and the mix at that rate.
constexpr double kReferenceRate = 9000;
constexpr double kSyncPerSecond = 100;       // SYNC every 10 ms
constexpr double kHeartbeatsPerDevice = 10;  // every device every 100 ms
constexpr std::int32_t kSyncId = 0x080;      // no node enables it
constexpr std::int32_t kPdoBase[2] = {0x180, 0x280};
constexpr std::int32_t kHeartbeatBase = 0x700;
constexpr std::uint8_t kOperational = 0x05;  // the heartbeat's state byte
constexpr std::uint8_t kPdoMarker = 0xA5;    // byte 7 of every generated PDO
// can_array hands over at most the node's receive capacity (100 today); room to spare.
constexpr int kBatchRoom = 4096;
// The generator sends into the gateway without waiting: frames due while this much of its
// output waits for a bus are not sent (counted as held back) instead of piling up.
constexpr std::size_t kHoldBackBytes = 64 * 1024;
// A stream of frames this far behind its schedule skips what it is late for.
constexpr double kMaxBehindNs = 20e6;
// After the traffic stops, polling goes on until this many cycles in a row took nothing (and
// found the gateway idle), at most kMaxDrainSeconds.
constexpr int kQuietCyclesToDrain = 5;
constexpr double kMaxDrainSeconds = 15;

// How the generator puts frames on a bus.
enum class Via { kInject, kGateway, kRawSocket };

Via via_of(const std::string& transport) {
  if (transport == "socketcand") return Via::kGateway;
  if (transport == "socketcan") return Via::kRawSocket;
  return Via::kInject;
}

enum Phase { kLoad = 0, kStall = 1, kResume = 2, kDrain = 3, kEnd = 3 };
constexpr int kPhases = 3;  // phases with traffic
const char* const kPhaseName[] = {"load", "stall", "resume", "drain"};

// ------------------------------------------------------------ options

struct Options {
  std::string transport = "sim";
  int lines = 20;
  int nodes = 127;
  int devices = 127;
  double rate = kReferenceRate;
  double seconds = 5;
  double stall = 3;
  double resume = 1;
  std::string gateway;
  long gateway_rss_limit_mib = 4096;
  std::string tsv;
  bool process_data = false;
};

const char* const kUsage =
    "usage: scale_bench [--transport sim|socketcand|socketcan] [--lines N] [--nodes N]\n"
    "                   [--devices N] [--rate F] [--seconds S] [--stall S] [--resume S]\n"
    "                   [--gateway PATH] [--gateway-rss-limit-mib N] [--tsv FILE]\n"
    "                   [--process-data]\n"
    "The whole server scenario: LINES CAN lines (nets 0..LINES-1), NODES masters on each\n"
    "(node-IDs 1..NODES: init(0x700+ID), init_emergency(), AddIdent(0x180+ID), "
    "AddIdent(0x280+ID)),\n"
    "every bus carrying RATE frames/s from DEVICES devices, and the server cycle every 100 ms:\n"
    "can_looping(), then each node's batch by can_array into a decoder that checks sequence\n"
    "numbers. Phases: start-up; load (--seconds); a server stall without polling (--stall);\n"
    "resumed polling (--resume); the traffic stops and polling drains what is left.\n"
    "  --transport T   sim: the driver's simulated buses, traffic injected from a thread\n"
    "                  (default); socketcand: a korvel_gateway_sim process with LINES buses,\n"
    "                  traffic sent into it by a thread over one connection per bus;\n"
    "                  socketcan: net L-1 (line L) on the interface vcan<L-1>, which must exist\n"
    "                  and be up, traffic written by a thread with a CAN_RAW socket of its own\n"
    "                  per interface\n"
    "  --lines N       1..20 (default 20)\n"
    "  --nodes N       masters per line, 1..127 (default 127)\n"
    "  --devices N     devices sending on each bus, 1..127 (default 127)\n"
    "  --rate F        frames per second per bus, 0 for no traffic (default 9000)\n"
    "  --seconds S     load phase (default 5)\n"
    "  --stall S       server stall (default 3)\n"
    "  --resume S      polling after the stall, before the traffic stops (default 1)\n"
    "  --gateway PATH  korvel_gateway_sim (default: tools/gateway_sim/ of this build)\n"
    "  --gateway-rss-limit-mib N  the generator stops sending once the gateway's resident\n"
    "                  memory passes this (default 4096; the run is then marked)\n"
    "  --tsv FILE      also write every figure as 'key TAB value TAB unit TAB label'\n"
    "  --process-data  every node gets its device's two TPDOs in code (set_process_data:\n"
    "                  0x6000/0x6001 subs 1-4 of 32, 8, 8 and 16 bits, event timer 1000 ms),\n"
    "                  so each PDO also updates four properties; checked at the end\n"
    "  --help\n"
    "Traffic per bus at 9000 frames/s (a bus at 1 Mbit/s): a heartbeat of every device each\n"
    "100 ms (1 byte, 0x700+ID; 1,270/s with 127 devices), SYNC 0x080 100/s (no node enables it),\n"
    "and PDOs on 0x180+ID and 0x280+ID (8 bytes: sequence number of the identifier in bytes 0-3,\n"
    "line, node-ID, PDO number, 0xA5) sharing the rest evenly (30/s per identifier). Another\n"
    "--rate scales every part alike. Frames are spread over each millisecond.\n"
    "Exit status: 0 when every check held, 1 when one failed (the report says which) or the\n"
    "transport cannot run here (e.g. no SocketCAN in the kernel, or a vcan interface missing or\n"
    "down: standard error says which), 2 for bad options.\n";

bool parse_number(const std::string& text, double lo, double hi, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(v >= lo && v <= hi)) return false;
  out = v;
  return true;
}

// 0 parsed, 1 --help printed, 2 bad options (named on standard error).
int parse_options(int argc, char** argv, Options& o) {
  auto bad = [](const std::string& why) {
    std::fprintf(stderr, "scale_bench: %s (see --help)\n", why.c_str());
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    if (arg == "--process-data") {
      o.process_data = true;
      continue;
    }
    std::string value;
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return bad("option " + arg + " needs a value");
    }
    double v = 0;
    auto number = [&](double lo, double hi) {
      if (!parse_number(value, lo, hi, v)) return false;
      return true;
    };
    auto integer = [&](double lo, double hi, int& out) {
      if (!number(lo, hi) || v != static_cast<int>(v)) return false;
      out = static_cast<int>(v);
      return true;
    };
    const std::string range_error = "bad value '" + value + "' for " + arg;
    if (arg == "--transport") {
      if (value != "sim" && value != "socketcand" && value != "socketcan")
        return bad(range_error + ": sim, socketcand or socketcan");
      o.transport = value;
    } else if (arg == "--lines") {
      if (!integer(1, 20, o.lines)) return bad(range_error + ": 1..20");
    } else if (arg == "--nodes") {
      if (!integer(1, 127, o.nodes)) return bad(range_error + ": 1..127");
    } else if (arg == "--devices") {
      if (!integer(1, 127, o.devices)) return bad(range_error + ": 1..127");
    } else if (arg == "--rate") {
      if (!number(0, 1e6)) return bad(range_error + ": 0..1000000");
      o.rate = v;
    } else if (arg == "--seconds") {
      if (!number(0.1, 3600)) return bad(range_error + ": 0.1..3600");
      o.seconds = v;
    } else if (arg == "--stall") {
      if (!number(0, 3600)) return bad(range_error + ": 0..3600");
      o.stall = v;
    } else if (arg == "--resume") {
      if (!number(0.1, 3600)) return bad(range_error + ": 0.1..3600");
      o.resume = v;
    } else if (arg == "--gateway") {
      o.gateway = value;
    } else if (arg == "--gateway-rss-limit-mib") {
      int mib = 0;
      if (!integer(16, 1 << 20, mib)) return bad(range_error + ": 16..1048576");
      o.gateway_rss_limit_mib = mib;
    } else if (arg == "--tsv") {
      o.tsv = value;
    } else {
      return bad("unknown option " + arg);
    }
  }
  return 0;
}

// ------------------------------------------------------------ what the process measures

double seconds_of(const timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double clock_seconds(clockid_t c) {
  timespec t{};
  clock_gettime(c, &t);
  return seconds_of(t);
}

double thread_cpu_seconds(pthread_t thread) {
  clockid_t c;
  if (pthread_getcpuclockid(thread, &c) != 0) return 0;
  return clock_seconds(c);
}

double wall_seconds() { return clock_seconds(CLOCK_MONOTONIC); }

// Resident memory of a process in KiB (0 when it cannot be read).
double rss_kib(const std::string& pid) {
  long pages = 0;
  long resident = 0;
  std::ifstream in("/proc/" + pid + "/statm");
  if (!(in >> pages >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Bytes the allocator handed out and holds (all arenas, mmapped blocks included).
double heap_kib() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd) / 1024.0;
}

// CPU seconds (user and system, every thread, also ended ones) of another process.
double process_cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  // Fields after the name: state(3) ... utime(14) stime(15).
  for (int i = 3; i <= 15 && (fields >> f); ++i) {
    if (i == 14) utime = std::strtoull(f.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(f.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

// Inodes of the sockets the process holds open.
std::set<unsigned long> socket_inodes() {
  std::set<unsigned long> out;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char link[128];
      const std::string path = std::string("/proc/self/fd/") + e->d_name;
      const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = '\0';
      unsigned long inode = 0;
      if (std::sscanf(link, "socket:[%lu]", &inode) == 1) out.insert(inode);
    }
    closedir(d);
  }
  return out;
}

// TCP connections (not listeners) of this process, those with an inode in `exclude` apart.
int tcp_connections(const std::set<unsigned long>& exclude) {
  const std::set<unsigned long> mine = socket_inodes();
  int n = 0;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      if (!(f >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode))
        continue;
      if (state == "0A") continue;  // listening
      if (mine.count(inode) && !exclude.count(inode)) ++n;
    }
  }
  return n;
}

// Open descriptors of this process, sockets with an inode in `exclude` apart.
int descriptors(const std::set<unsigned long>& exclude) {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return 0;
  const int own = dirfd(d);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
    char link[128];
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t len = readlink(path.c_str(), link, sizeof link - 1);
    unsigned long inode = 0;
    if (len > 0) {
      link[len] = '\0';
      if (std::sscanf(link, "socket:[%lu]", &inode) == 1 && exclude.count(inode)) continue;
    }
    ++n;
  }
  closedir(d);
  return n;
}

// CPU seconds the whole machine was idle (every CPU), from /proc/stat. Unlike its busy
// figures, which the timer tick samples (and a thread that runs briefly every millisecond can
// slip between ticks), a tickless kernel measures idle time from idle entry to exit.
double machine_idle_seconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait) || cpu != "cpu") return 0;
  return static_cast<double>(idle + iowait) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The library's log lines are counted (a few kept), not printed: they are not what is measured.
class LogCounter : public vexil::LogSink {
 public:
  void write(const vexil::LogLine& line) override {
    std::lock_guard<std::mutex> lock(mx_);
    ++count_;
    if (first_.size() < 5) first_.push_back(line.heading + line.text);
  }
  long count() {
    std::lock_guard<std::mutex> lock(mx_);
    return count_;
  }
  std::vector<std::string> first() {
    std::lock_guard<std::mutex> lock(mx_);
    return first_;
  }

 private:
  std::mutex mx_;
  long count_ = 0;
  std::vector<std::string> first_;
};

// ------------------------------------------------------------ the report

class Report {
 public:
  void section(const std::string& title) {
    std::printf("\n== %s\n", title.c_str());
    rows_.push_back({"#", title, "", ""});
  }
  void add(const std::string& key, double value, const std::string& unit, const std::string& label,
           int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    put(key, text, unit, label);
  }
  void put(const std::string& key, const std::string& value, const std::string& unit,
           const std::string& label) {
    std::printf("  %-58s %14s %s\n", label.c_str(), value.c_str(), unit.c_str());
    rows_.push_back({key, value, unit, label});
  }
  void note(const std::string& text) { std::printf("  %s\n", text.c_str()); }
  bool write_tsv(const std::string& path) const {
    std::ofstream out(path);
    for (const auto& r : rows_) out << r[0] << '\t' << r[1] << '\t' << r[2] << '\t' << r[3] << '\n';
    return static_cast<bool>(out);
  }

 private:
  std::vector<std::array<std::string, 4>> rows_;
};

// ------------------------------------------------------------ the gateway process

class GatewayProcess {
 public:
  ~GatewayProcess() { stop(); }

  bool start(const std::string& program, int buses, const std::string& dir, std::string& error) {
    config_path_ = dir + "/gateway.conf";
    log_path_ = dir + "/gateway.log";
    {
      std::ofstream conf(config_path_);
      for (int b = 0; b < buses; ++b) conf << "bus can" << b << "\n";
      conf << "idle-ms 0\n";  // the server's connections only ever listen
      if (!conf) {
        error = "cannot write " + config_path_;
        return false;
      }
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {program,       "--address", "127.0.0.1", "--port",    "0",
                                     "--http-port", "-1",        "--config",  config_path_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      pid_ = -1;
      error = "cannot start " + program + ": " + std::strerror(rc);
      return false;
    }
    // "socketcand ADDRESS PORT http HTTP-PORT" once it listens.
    std::string line;
    const double deadline = wall_seconds() + 10;
    while (line.find('\n') == std::string::npos && wall_seconds() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    char address[64];
    if (std::sscanf(line.c_str(), "socketcand %63s %d", address, &port_) != 2) {
      error = "the gateway did not report its port (its log: " + log_path_ + ")";
      stop();
      return false;
    }
    return true;
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& log_path() const { return log_path_; }
  double cpu_seconds() const { return pid_ > 0 ? process_cpu_seconds(pid_) : 0; }
  double rss_kib() const { return pid_ > 0 ? ::rss_kib(std::to_string(pid_)) : 0; }

  // False once the process ended (why says how).
  bool alive(std::string& why) {
    if (pid_ <= 0) {
      why = ended_;
      return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      ended_ = describe(status);
      why = ended_;
      return false;
    }
    return true;
  }

  enum class Stop { kStopped, kKilled, kFailed };
  // SIGTERM, then waits up to grace_ms (SIGKILL after that).
  Stop stop(int grace_ms = 10000) {
    if (pid_ <= 0) return Stop::kFailed;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < grace_ms / 10; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        ended_ = describe(status);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Stop::kStopped : Stop::kFailed;
      }
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    ended_ = "was killed after not stopping within " + std::to_string(grace_ms) + " ms";
    return Stop::kKilled;
  }
  const std::string& ended() const { return ended_; }

 private:
  static std::string describe(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::string config_path_;
  std::string log_path_;
  std::string ended_ = "not started";
};

// ------------------------------------------------------------ socketcand, the generator's side

// Connects to the gateway on loopback, opens bus `bus` and switches to raw mode; -1 and error
// when that does not work out within 5 s.
int open_raw_connection(int port, const std::string& bus, std::string& error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = std::string("connect: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string in;
  const double deadline = wall_seconds() + 5;
  // The next "< ... >" message, trimmed; empty after the deadline or a closed connection.
  auto next_message = [&]() -> std::string {
    for (;;) {
      const std::size_t open = in.find('<');
      const std::size_t close_at = open == std::string::npos ? open : in.find('>', open);
      if (close_at != std::string::npos) {
        std::string body = in.substr(open + 1, close_at - open - 1);
        in.erase(0, close_at + 1);
        const std::size_t b = body.find_first_not_of(' ');
        const std::size_t e = body.find_last_not_of(' ');
        return b == std::string::npos ? std::string() : body.substr(b, e - b + 1);
      }
      const double left = deadline - wall_seconds();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) return std::string();
      char buf[512];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return std::string();
      in.append(buf, static_cast<std::size_t>(n));
    }
  };
  auto say = [&](const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  };
  std::string m = next_message();
  if (m != "hi" || !say("< open " + bus + " >") || (m = next_message()) != "ok" ||
      !say("< rawmode >") || (m = next_message()) != "ok") {
    error = "handshake for " + bus + " failed at '" + m + "'";
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void append_hex(std::string& out, unsigned value, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) out += kHex[(value >> (4 * i)) & 0xF];
}

// "< send 181 8 00 01 02 03 04 05 06 07 >"
void append_send(std::string& out, const CMSG& m) {
  out += "< send ";
  append_hex(out, static_cast<unsigned>(m.id), 3);
  out += ' ';
  out += static_cast<char>('0' + NTCAN_DLC(m.len));
  for (int i = 0; i < NTCAN_DLC(m.len); ++i) {
    out += ' ';
    append_hex(out, m.data[i], 2);
  }
  out += " >";
}

// ------------------------------------------------------------ SocketCAN, the generator's side

std::string vcan_name(int net) { return "vcan" + std::to_string(net); }

// Whether the kernel has SocketCAN and vcan0..vcan<lines-1> are CAN interfaces that are up;
// error says what is missing and how to set it up.
bool socketcan_ready(int lines, std::string& error) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) {
    error = std::string("this kernel offers no SocketCAN CAN_RAW socket (") + std::strerror(errno) +
            "): load the modules can and can-raw, or run it in a " +
            "virtual machine (bench/compare.sh OLD_REV --socketcan-vm)";
    return false;
  }
  for (int net = 0; net < lines; ++net) {
    const std::string name = vcan_name(net);
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    const char* setup = " (modprobe vcan; ip link add dev vcanN type vcan; ip link set vcanN up)";
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
      error = "no interface " + name + " for line " + std::to_string(net + 1) + setup;
    } else if (!(ifr.ifr_flags & IFF_UP)) {
      error = "interface " + name + " is down" + setup;
    } else if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_CAN) {
      error = "interface " + name + " is no CAN interface";
    } else {
      continue;
    }
    close(fd);
    return false;
  }
  close(fd);
  return true;
}

// A CAN_RAW socket bound to the interface that only sends: it receives nothing, not even what
// the driver's handles send on the bus. -1 and error when that fails.
int open_sending_socket(const std::string& ifname, std::string& error) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) {
    error = std::string("socket(PF_CAN): ") + std::strerror(errno);
    return -1;
  }
  sockaddr_can a{};
  a.can_family = AF_CAN;
  a.can_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  if (a.can_ifindex == 0 || setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = "cannot bind a CAN_RAW socket to " + ifname + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// ------------------------------------------------------------ the traffic

// What a bus carries per second, at the given rate and number of devices.
struct Mix {
  double sync = 0;       // frames/s
  double heartbeat = 0;  // frames/s, all devices
  double pdo = 0;        // frames/s, all PDO identifiers
  int devices = 0;
  double pdo_each() const { return devices > 0 ? pdo / (2.0 * devices) : 0; }
  double heartbeat_period_ms() const { return heartbeat > 0 ? 1000.0 * devices / heartbeat : 0; }
};

bool traffic_mix(double rate, int devices, Mix& mix, std::string& error) {
  const double scale = rate / kReferenceRate;
  mix.devices = devices;
  mix.sync = kSyncPerSecond * scale;
  mix.heartbeat = kHeartbeatsPerDevice * devices * scale;
  mix.pdo = rate - mix.sync - mix.heartbeat;
  if (mix.pdo < 0) {
    error = "--rate too low for the heartbeats and SYNC of the devices";
    return false;
  }
  return true;
}

// Frames of one kind on one bus: a round robin over its sources at an even pace.
struct Stream {
  int sources = 0;
  int next_source = 0;
  double interval_ns = 0;  // between two frames of the stream
  double next_ns = 0;      // due time of the next frame, from the generator's start
  bool on() const { return sources > 0 && interval_ns > 0; }
};

// The sequence numbers sent so far, per source; taken at each phase change.
struct Sent {
  std::vector<std::vector<std::uint32_t>> pdo;        // [bus][2 * (device - 1) + pdo]
  std::vector<std::vector<std::uint32_t>> heartbeat;  // [bus][device - 1]
  std::vector<std::uint64_t> sync;                    // [bus]
  std::uint64_t frames() const {
    std::uint64_t n = 0;
    for (std::size_t b = 0; b < sync.size(); ++b) {
      n += sync[b];
      for (auto s : pdo[b]) n += s;
      for (auto s : heartbeat[b]) n += s;
    }
    return n;
  }
};

class Generator {
 public:
  Generator(const Options& o, const Mix& mix) : via_(via_of(o.transport)) {
    buses_.resize(static_cast<std::size_t>(o.lines));
    for (int b = 0; b < o.lines; ++b) {
      Bus& bus = buses_[static_cast<std::size_t>(b)];
      bus.net = b;
      bus.line = b + 1;
      // Buses start apart, so that the frames of all buses do not fall on the same instant.
      const double offset = static_cast<double>(b) / o.lines;
      auto stream = [&](Stream& s, int sources, double per_second) {
        s.sources = sources;
        s.interval_ns = per_second > 0 ? 1e9 / per_second : 0;
        s.next_ns = offset * s.interval_ns;
      };
      stream(bus.pdo, 2 * mix.devices, mix.pdo);
      stream(bus.heartbeat, mix.devices, mix.heartbeat);
      stream(bus.sync, 1, mix.sync);
      if (via_ == Via::kGateway) bus.out.reserve(2 * kHoldBackBytes);
    }
    for (auto& s : boundary_) {
      s.pdo.assign(buses_.size(), std::vector<std::uint32_t>(2 * mix.devices, 0));
      s.heartbeat.assign(buses_.size(), std::vector<std::uint32_t>(mix.devices, 0));
      s.sync.assign(buses_.size(), 0);
    }
    now_ = boundary_[0];
  }

  ~Generator() {
    stop();
    for (Bus& b : buses_) {
      if (b.fd >= 0) close(b.fd);
    }
  }

  // socketcand: one connection per bus to the gateway.
  bool connect(int port, std::string& error) {
    for (Bus& b : buses_) {
      b.fd = open_raw_connection(port, "can" + std::to_string(b.net), error);
      if (b.fd < 0) return false;
      struct stat st {};
      if (fstat(b.fd, &st) == 0) inodes_.insert(static_cast<unsigned long>(st.st_ino));
    }
    return true;
  }
  // SocketCAN: a sending socket per bus, on the interface of its net.
  bool open_interfaces(std::string& error) {
    for (Bus& b : buses_) {
      b.fd = open_sending_socket(vcan_name(b.net), error);
      if (b.fd < 0) return false;
      struct stat st {};
      if (fstat(b.fd, &st) == 0) inodes_.insert(static_cast<unsigned long>(st.st_ino));
    }
    return true;
  }
  // The generator's sockets, which are not the server's.
  const std::set<unsigned long>& socket_inodes() const { return inodes_; }
  // After stop(): resets the connections (RST), which throws away what still waits in their
  // send queues; what the gateway already holds unread it still reads.
  void abort_connections() {
    for (Bus& b : buses_) {
      if (b.fd < 0) continue;
      const linger reset{1, 0};
      setsockopt(b.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(b.fd);
      b.fd = -1;
    }
  }

  void start() {
    thread_ = std::thread([this] { run(); });
    while (!started_.load(std::memory_order_acquire)) usleep(1000);
  }

  // Moves to the phase, once the generator took the counts of the one before.
  void set_phase(Phase p) {
    phase_.store(p, std::memory_order_release);
    while (seen_.load(std::memory_order_acquire) != p && !ended_.load()) usleep(200);
  }
  void stop() {
    if (!thread_.joinable()) return;
    set_phase(kEnd);
    thread_.join();
  }
  // From now on nothing is sent (a gateway over its memory limit).
  void hold_all() { hold_all_.store(true); }

  pthread_t native() { return thread_.native_handle(); }
  double cpu_seconds() { return thread_.joinable() ? thread_cpu_seconds(native()) : final_cpu_; }
  // After stop(): the share of the generator's CPU time in a phase spent handing frames to the
  // bus (ntcan_sim::inject, or send on a raw socket: both deliver to every receiver before they
  // return), from its own bookkeeping (a phase changes between two ticks, never inside one).
  double delivery_share(Phase p) const {
    const double cpu = cpu_at_[p + 1] - cpu_at_[p];
    return cpu > 0 ? delivery_s_[p] / cpu : 0;
  }
  double max_tick_ms() const { return static_cast<double>(max_tick_ns_.load()) * 1e-6; }

  // After stop(): sent counts at the start of each phase and at the end.
  const Sent& at(Phase p) const { return boundary_[p]; }
  std::uint64_t held_back(Phase p) const { return held_[p]; }
  std::uint64_t late(Phase p) const { return late_[p]; }
  const std::string& error() const { return error_; }
  std::uint64_t unflushed_bytes() const { return unflushed_; }

 private:
  struct Bus {
    int net = 0;
    int line = 0;
    Stream pdo, heartbeat, sync;
    int fd = -1;
    std::string out;
    std::size_t out_sent = 0;
  };

  std::size_t waiting(const Bus& b) const { return b.out.size() - b.out_sent; }

  // Puts the frame on the bus; false when it was held back: the gateway's connection has too
  // much waiting (or the gateway is over its memory limit), or the interface refused it.
  bool send(Bus& b, const CMSG& m) {
    switch (via_) {
      case Via::kInject:
        ntcan_sim::inject(b.net, m);
        return true;
      case Via::kGateway:
        if (hold_all_.load(std::memory_order_relaxed) || waiting(b) > kHoldBackBytes) return false;
        append_send(b.out, m);
        return true;
      case Via::kRawSocket:
        return write_frame(b, m);
    }
    return false;
  }

  bool write_frame(Bus& b, const CMSG& m) {
    can_frame f{};
    f.can_id = static_cast<canid_t>(m.id);
    f.len = static_cast<std::uint8_t>(NTCAN_DLC(m.len));
    std::memcpy(f.data, m.data, f.len);
    for (;;) {
      if (::send(b.fd, &f, sizeof f, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof f))
        return true;
      if (errno == EINTR) continue;
      // A full transmit queue or socket send buffer: the frame waits for no one.
      if (errno != ENOBUFS && errno != EAGAIN && errno != EWOULDBLOCK && error_.empty())
        error_ = "send on " + vcan_name(b.net) + ": " + std::strerror(errno);
      return false;
    }
  }

  void emit_pdo(Bus& b, std::size_t bi, int source) {
    const int device = source / 2 + 1;
    const int which = source % 2;
    std::uint32_t& seq = now_.pdo[bi][static_cast<std::size_t>(source)];
    CMSG m{};
    m.id = kPdoBase[which] + device;
    m.len = 8;
    for (int i = 0; i < 4; ++i) m.data[i] = static_cast<std::uint8_t>(seq >> (8 * i));
    m.data[4] = static_cast<std::uint8_t>(b.line);
    m.data[5] = static_cast<std::uint8_t>(device);
    m.data[6] = static_cast<std::uint8_t>(which + 1);
    m.data[7] = kPdoMarker;
    if (counted_send(b, m)) ++seq;
  }

  void emit_heartbeat(Bus& b, std::size_t bi, int source) {
    CMSG m{};
    m.id = kHeartbeatBase + source + 1;
    m.len = 1;
    m.data[0] = kOperational;
    if (counted_send(b, m)) ++now_.heartbeat[bi][static_cast<std::size_t>(source)];
  }

  void emit_sync(Bus& b, std::size_t bi) {
    CMSG m{};
    m.id = kSyncId;
    m.len = 0;
    if (counted_send(b, m)) ++now_.sync[bi];
  }

  // A frame held back is not sent and keeps its sequence number for the next one.
  bool counted_send(Bus& b, const CMSG& m) {
    if (send(b, m)) return true;
    ++held_[phase_now_];
    return false;
  }

  // Emits the stream's frames due by now. A stream more than kMaxBehindNs behind (a generator
  // that did not get the processor in time) skips the frames it is late for, counted: a bus
  // never carries more than its rate, also not in a burst to catch up.
  template <class Emit>
  void due(Stream& s, double now_ns, Emit emit) {
    if (!s.on()) return;
    if (now_ns - s.next_ns > kMaxBehindNs) {
      const auto skip =
          static_cast<std::uint64_t>((now_ns - kMaxBehindNs - s.next_ns) / s.interval_ns) + 1;
      late_[phase_now_] += skip;
      s.next_source = static_cast<int>((static_cast<std::uint64_t>(s.next_source) + skip) %
                                       static_cast<std::uint64_t>(s.sources));
      s.next_ns += static_cast<double>(skip) * s.interval_ns;
    }
    while (s.next_ns <= now_ns) {
      emit(s.next_source);
      s.next_source = (s.next_source + 1) % s.sources;
      s.next_ns += s.interval_ns;
    }
  }

  // Writes what the gateway takes now; reads (and drops) what it sends back.
  void pump(Bus& b) {
    while (waiting(b) > 0) {
      const ssize_t n =
          ::send(b.fd, b.out.data() + b.out_sent, waiting(b), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        b.out_sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        if (error_.empty())
          error_ = "the gateway closed the generator's connection for can" + std::to_string(b.net);
        b.out.clear();
        b.out_sent = 0;
        return;
      }
    }
    if (b.out_sent == b.out.size()) {
      b.out.clear();
      b.out_sent = 0;
    } else if (b.out_sent > kHoldBackBytes) {
      b.out.erase(0, b.out_sent);
      b.out_sent = 0;
    }
    char sink[4096];
    while (recv(b.fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }

  void run() {
    pthread_setname_np(pthread_self(), "scale-traffic");
    const double start = wall_seconds();
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    cpu_at_[kLoad] = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
    started_.store(true, std::memory_order_release);
    for (;;) {
      const int want = phase_.load(std::memory_order_acquire);
      if (want != phase_now_) {
        boundary_[want] = now_;
        cpu_at_[want] = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
        phase_now_ = want;
        seen_.store(want, std::memory_order_release);
        if (want == kEnd) break;
      }
      const double now_s = wall_seconds();
      const double now_ns = (now_s - start) * 1e9;
      for (std::size_t bi = 0; bi < buses_.size(); ++bi) {
        Bus& b = buses_[bi];
        // The simulated bus delivers to every handle within inject, the kernel to every
        // socket within send: their CPU time.
        const bool timed = via_ != Via::kGateway;
        const double cpu0 = timed ? clock_seconds(CLOCK_THREAD_CPUTIME_ID) : 0;
        due(b.pdo, now_ns, [&](int s) { emit_pdo(b, bi, s); });
        due(b.heartbeat, now_ns, [&](int s) { emit_heartbeat(b, bi, s); });
        due(b.sync, now_ns, [&](int) { emit_sync(b, bi); });
        if (timed) {
          delivery_s_[phase_now_] += clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        } else {
          pump(b);
        }
      }
      const double tick_ns = (wall_seconds() - now_s) * 1e9;
      if (tick_ns > static_cast<double>(max_tick_ns_.load()))
        max_tick_ns_.store(static_cast<std::int64_t>(tick_ns));
      // The next millisecond; a generator that fell behind does not try to catch up on ticks
      // (the streams catch up on their frames by their own due times).
      next.tv_nsec += 1000000;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      if (seconds_of(next) < wall_seconds()) clock_gettime(CLOCK_MONOTONIC, &next);
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    // What was counted as sent goes out: wait for the gateway to take it (at most 10 s).
    if (via_ == Via::kGateway) {
      const double deadline = wall_seconds() + 10;
      for (;;) {
        std::size_t left = 0;
        for (Bus& b : buses_) {
          pump(b);
          left += waiting(b);
        }
        if (left == 0 || wall_seconds() > deadline) {
          unflushed_ = left;
          break;
        }
        usleep(1000);
      }
    }
    final_cpu_ = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
    ended_.store(true);
  }

  const Via via_;
  std::vector<Bus> buses_;
  std::set<unsigned long> inodes_;
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> phase_{kLoad};
  std::atomic<int> seen_{kLoad};
  std::atomic<bool> hold_all_{false};
  std::atomic<std::int64_t> max_tick_ns_{0};
  double final_cpu_ = 0;  // set by the thread before it ends

  // The generator's thread alone until stop().
  int phase_now_ = kLoad;
  Sent now_;
  std::array<Sent, kPhases + 1> boundary_;
  std::array<std::uint64_t, kPhases + 1> held_{};
  std::array<std::uint64_t, kPhases + 1> late_{};
  std::array<double, kPhases + 1> delivery_s_{};  // CPU seconds in inject or send, per phase
  std::array<double, kPhases + 2> cpu_at_{};      // the thread's CPU time at each phase change
  std::string error_;
  std::uint64_t unflushed_ = 0;
};

// ------------------------------------------------------------ the server

// One node of the server and what its decoder saw.
struct NodeTrack {
  D_can* node = nullptr;
  int line = 0;
  int id = 0;
  // Times each sequence number of the node's two PDO identifiers arrived.
  std::array<std::vector<std::uint8_t>, 2> pdo_hits;
  std::array<std::uint64_t, kPhases + 1> heartbeats{};  // by the phase they arrived in
  std::uint64_t beyond_room = 0;  // sequence numbers past pdo_hits (never expected)
  std::uint64_t foreign = 0;      // an identifier the node did not enable
  std::uint64_t corrupt = 0;      // a PDO whose contents are not what was sent on it
};

struct Arrivals {
  std::array<std::uint64_t, kPhases + 1> frames{};
  std::array<std::uint64_t, kPhases + 1> msg_lost{};
  std::array<std::uint64_t, kPhases + 1> failed_fills{};
  int first_failure = 0;
  std::uint64_t oversized_batches = 0;
};

struct CycleStats {
  int cycles = 0;
  double total_ms = 0;
  double max_ms = 0;
  int overruns = 0;  // cycles whose work took longer than the cycle
};

class Server {
 public:
  Server(const Options& o, std::size_t pdo_room) : o_(o) {
    nodes_.resize(static_cast<std::size_t>(o.lines * o.nodes));
    for (NodeTrack& t : nodes_) {
      for (auto& h : t.pdo_hits) h.assign(pdo_room, 0);
    }
  }

  // Starts every node as a server does; the first failure is named in error.
  bool start_nodes(std::string& error) {
    loc_ = new EqFct("SCALE");  // lives for the process, like the nodes
    std::size_t i = 0;
    for (int line = 1; line <= o_.lines; ++line) {
      for (int id = 1; id <= o_.nodes; ++id, ++i) {
        NodeTrack& t = nodes_[i];
        t.line = line;
        t.id = id;
        t.node = new D_can("L" + std::to_string(line) + "N" + std::to_string(id), loc_);
        IIII ident{line, id, 0, 0};
        t.node->set_value(&ident);
        const char* step = "init(0x700 + ID)";
        int r = t.node->init(kHeartbeatBase + id);
        if (r == 0) {
          step = "init_emergency()";
          r = t.node->init_emergency();
        }
        if (r == 0) {
          step = "AddIdent(0x180 + ID)";
          r = t.node->AddIdent(kPdoBase[0] + id);
        }
        if (r == 0) {
          step = "AddIdent(0x280 + ID)";
          r = t.node->AddIdent(kPdoBase[1] + id);
        }
        if (r == 0 && o_.process_data) {
          // The generator's PDOs: sequence number, line, node-ID, PDO number and marker.
          step = "set_process_data";
          std::vector<D_can::pd_pdo> tpdos;
          for (int which = 0; which < 2; ++which) {
            tpdos.push_back({static_cast<std::uint32_t>(kPdoBase[which] + id),
                             255,
                             1000,
                             {{0x6000 + which, 1, 32},
                              {0x6000 + which, 2, 8},
                              {0x6000 + which, 3, 8},
                              {0x6000 + which, 4, 16}}});
          }
          r = t.node->set_process_data(tpdos, {});
        }
        if (r != 0) {
          char text[160];
          std::snprintf(text, sizeof text, "line %d node %d: %s returned 0x%x", line, id, step, r);
          error = text;
          return false;
        }
      }
    }
    return true;
  }

  // One server cycle: can_looping, then every node's batch into the decoder.
  void cycle(int phase) {
    const double t0 = wall_seconds();
    can_looping();
    for (NodeTrack& t : nodes_) {
      int n = 0;
      const int r = t.node->can_array(batch_.data(), &n);
      if (r != 0) {
        ++arrivals_.failed_fills[static_cast<std::size_t>(phase)];
        if (arrivals_.first_failure == 0) arrivals_.first_failure = r;
      }
      if (n > kBatchRoom) {
        ++arrivals_.oversized_batches;
        n = kBatchRoom;
      }
      for (int i = 0; i < n; ++i) decode(t, batch_[static_cast<std::size_t>(i)], phase);
    }
    const double ms = (wall_seconds() - t0) * 1000;
    CycleStats& s = cycles_[static_cast<std::size_t>(phase)];
    ++s.cycles;
    s.total_ms += ms;
    s.max_ms = std::max(s.max_ms, ms);
    if (ms > kCycleMs) ++s.overruns;
  }

  const std::vector<NodeTrack>& nodes() const { return nodes_; }
  const Arrivals& arrivals() const { return arrivals_; }
  const CycleStats& cycles(int phase) const { return cycles_[static_cast<std::size_t>(phase)]; }

 private:
  void decode(NodeTrack& t, const CMSG& m, int phase) {
    const std::size_t p = static_cast<std::size_t>(phase);
    ++arrivals_.frames[p];
    arrivals_.msg_lost[p] += m.msg_lost;
    for (int which = 0; which < 2; ++which) {
      if (m.id != kPdoBase[which] + t.id) continue;
      if (NTCAN_DLC(m.len) != 8 || m.data[4] != t.line || m.data[5] != t.id ||
          m.data[6] != which + 1 || m.data[7] != kPdoMarker) {
        ++t.corrupt;
        return;
      }
      const std::uint32_t seq =
          static_cast<std::uint32_t>(m.data[0]) | static_cast<std::uint32_t>(m.data[1]) << 8 |
          static_cast<std::uint32_t>(m.data[2]) << 16 | static_cast<std::uint32_t>(m.data[3]) << 24;
      auto& hits = t.pdo_hits[static_cast<std::size_t>(which)];
      if (seq >= hits.size()) {
        ++t.beyond_room;
      } else if (hits[seq] < 255) {
        ++hits[seq];
      }
      return;
    }
    if (m.id == kHeartbeatBase + t.id && NTCAN_DLC(m.len) == 1) {
      ++t.heartbeats[p];
    } else {
      ++t.foreign;  // also an emergency (0x80 + ID): enabled, but no device sends one
    }
  }

  const Options& o_;
  EqFct* loc_ = nullptr;
  std::vector<NodeTrack> nodes_;
  std::vector<CMSG> batch_ = std::vector<CMSG>(kBatchRoom);
  Arrivals arrivals_;
  std::array<CycleStats, kPhases + 1> cycles_{};
};

// ------------------------------------------------------------ one run

// CPU and wall clock at one instant of the run.
struct Sample {
  double wall = 0;
  double process = 0;
  double server = 0;
  double generator = 0;
  double gateway = 0;
  double machine_idle = 0;  // idle CPU seconds of the whole machine
};

struct Memory {
  double rss = 0;  // KiB
  double heap = 0;
};

Memory memory_now() { return Memory{rss_kib("self"), heap_kib()}; }

// PDO accounting of one phase over all nodes.
struct PdoCount {
  std::uint64_t sent = 0, delivered = 0, missing = 0, duplicates = 0;
};

// What the decoders saw against what the generator sent, after the run.
struct Tally {
  std::array<PdoCount, kPhases> pdo{};
  std::array<std::uint64_t, kPhases> bus_frames{};
  std::uint64_t hb_sent = 0, hb_delivered = 0;
  std::uint64_t beyond_room = 0, foreign = 0, corrupt = 0, phantom = 0;
  PdoCount pdo_total() const {
    PdoCount t;
    for (const PdoCount& c : pdo) {
      t.sent += c.sent;
      t.delivered += c.delivered;
      t.missing += c.missing;
      t.duplicates += c.duplicates;
    }
    return t;
  }
};

std::string default_gateway_path() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "korvel_gateway_sim";
  exe[n] = '\0';
  std::string dir(exe);
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../tools/gateway_sim/korvel_gateway_sim";
}

// What the gateway's log tells: connections it dropped (before it was told to stop), and
// frames it refused for clients too far behind (logged when each connection closes).
struct GatewayLog {
  std::uint64_t dropped_connections = 0;
  std::uint64_t refused_frames = 0;
  std::string first_drop;
};

GatewayLog read_gateway_log(const std::string& path) {
  GatewayLog g;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" disconnected (") == std::string::npos) continue;
    if (line.find("(simulator stops)") == std::string::npos) {
      ++g.dropped_connections;
      if (g.first_drop.empty()) g.first_drop = line;
    }
    const std::size_t f = line.find(" frames it did not read were dropped");
    const std::size_t start = f == std::string::npos ? f : line.rfind(", ", f);
    if (start != std::string::npos)
      g.refused_frames += std::strtoull(line.c_str() + start + 2, nullptr, 10);
  }
  return g;
}

class ScaleRun {
 public:
  ScaleRun(const Options& o, const Mix& mix)
      : o_(o),
        mix_(mix),
        socketcand_(o.transport == "socketcand"),
        socketcan_(o.transport == "socketcan"),
        traffic_(o.rate > 0),
        // Everything the bench itself needs is allocated before the first memory figure.
        server_(o, static_cast<std::size_t>(mix.pdo_each() * (o.seconds + o.stall + o.resume + 2) *
                                            1.5) +
                       1024),
        generator_(o, mix) {}

  // The exit status: 0 when every check held.
  int run() {
    pthread_setname_np(pthread_self(), "scale-server");
    server_thread_ = pthread_self();
    if (!prepare()) {
      errors_.push_back("set-up failed");
      remove_files();
      return 1;
    }
    start_nodes();
    if (errors_.empty()) load();
    if (errors_.empty()) {
      stall();
      resume();
    }
    if (generator_runs_) generator_.stop();
    if (errors_.empty()) drain();
    finish_gateway();
    const Tally t = tally();
    check(t);
    report(t);
    remove_files();
    return errors_.empty() ? 0 : 1;
  }

 private:
  // Descriptors, log sink, temporary folder, the gateway and the driver configuration.
  bool prepare() {
    // A connection per node and per bus, in this process and in the gateway (which inherits
    // the limit); on SocketCAN a socket and a wake-up descriptor per handle.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t needed = static_cast<rlim_t>(2 * o_.lines * (o_.nodes + 2) + 256);
    if (files.rlim_cur < needed) {
      files.rlim_cur = std::min(needed, files.rlim_max);
      setrlimit(RLIMIT_NOFILE, &files);
      if (files.rlim_cur < needed) {
        std::fprintf(stderr, "scale_bench: %llu descriptors needed, the hard limit is %llu\n",
                     static_cast<unsigned long long>(needed),
                     static_cast<unsigned long long>(files.rlim_max));
        return false;
      }
    }
    vexil::set_log_sink(&log_lines_);
    std::string error;
    if (socketcan_ && !socketcan_ready(o_.lines, error)) {
      std::fprintf(stderr, "scale_bench: --transport socketcan cannot run here: %s\n",
                   error.c_str());
      return false;
    }

    char dir_template[] = "/tmp/scale_bench.XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir) dir_ = dir;
    if (!dir) {
      std::fprintf(stderr, "scale_bench: cannot make a temporary folder: %s\n",
                   std::strerror(errno));
      return false;
    }
    // The gateway first, then the driver configuration that points every net at it (or names
    // every net simulated): the driver reads NTCAN_CONFIG on its first use.
    const std::string program = o_.gateway.empty() ? default_gateway_path() : o_.gateway;
    if (socketcand_ && !gateway_.start(program, o_.lines, dir, error)) {
      std::fprintf(stderr, "scale_bench: %s\n", error.c_str());
      return false;
    }
    const std::string path = std::string(dir) + "/ntcan.conf";
    {
      std::ofstream conf(path);
      for (int net = 0; net < o_.lines; ++net) {
        if (socketcand_) {
          conf << net << " socketcand 127.0.0.1 " << gateway_.port() << " can" << net << "\n";
        } else if (socketcan_) {
          conf << net << " socketcan " << vcan_name(net) << "\n";
        } else {
          conf << net << " sim\n";
        }
      }
    }
    setenv("NTCAN_CONFIG", path.c_str(), 1);
    for (int net = 0; net < o_.lines; ++net) {
      if (ntcan_sim::simulated(net) != (o_.transport == "sim")) {
        std::fprintf(stderr, "scale_bench: the driver does not serve net %d as configured\n", net);
        return false;
      }
    }

    std::printf("scale_bench: %s, %d lines x %d nodes, %d devices per bus, %.0f frames/s per bus\n",
                o_.transport.c_str(), o_.lines, o_.nodes, o_.devices, o_.rate);
    if (traffic_) {
      std::printf(
          "traffic per bus: PDOs %.0f/s (%.2f/s on each of %d identifiers), heartbeats %.0f/s "
          "(each device every %.0f ms), SYNC %.0f/s\n",
          mix_.pdo, mix_.pdo_each(), 2 * o_.devices, mix_.heartbeat, mix_.heartbeat_period_ms(),
          mix_.sync);
    }
    if (socketcand_) {
      std::printf("gateway: %s on port %d, pid %d\n", program.c_str(), gateway_.port(),
                  static_cast<int>(gateway_.pid()));
    }
    if (socketcan_) std::printf("interfaces: vcan0..vcan%d, one per line\n", o_.lines - 1);
    std::fflush(stdout);
    return true;
  }

  void start_nodes() {
    mem_before_ = memory_now();
    startup_[0] = sample();
    std::string error;
    if (!server_.start_nodes(error)) errors_.push_back("start-up: " + error);
    startup_[1] = sample();
    mem_started_ = memory_now();
    threads_started_ = thread_count();
    tcp_started_ = tcp_connections({});
    fds_started_ = descriptors({});
    gateway_alive();
  }

  void load() {
    if (traffic_) {
      std::string error;
      if (socketcand_ && !generator_.connect(gateway_.port(), error)) {
        errors_.push_back("generator: " + error);
        return;
      }
      if (socketcan_ && !generator_.open_interfaces(error)) {
        errors_.push_back("generator: " + error);
        return;
      }
      generator_.start();
      generator_runs_ = true;
    }
    at_[kLoad] = sample();
    poll_for(o_.seconds, kLoad);
    load_end_ = sample();
    mem_loaded_ = memory_now();
    threads_loaded_ = thread_count() - (generator_runs_ ? 1 : 0);
    tcp_loaded_ = tcp_connections(generator_.socket_inodes());
    fds_loaded_ = descriptors(generator_.socket_inodes());
  }

  // The server does not poll; the traffic goes on.
  void stall() {
    if (generator_runs_) generator_.set_phase(kStall);
    at_[kStall] = sample();
    const auto end = Steady::now() + std::chrono::duration<double>(o_.stall);
    while (Steady::now() < end && gateway_alive()) {
      watch_gateway();
      std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
    }
    mem_stalled_ = memory_now();
  }

  // The first cycle after the stall takes what piled up (and loses what did not fit); the
  // stall's frames are those sent until it is done, so that every frame of the resumed phase
  // finds polling under way. Its work and what it took count in the resumed phase.
  void resume() {
    at_[kResume] = sample();
    server_.cycle(kResume);
    if (generator_runs_) generator_.set_phase(kResume);
    stall_end_ = sample();
    std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
    poll_for(o_.resume, kResume);
    mem_resumed_ = memory_now();
    at_[kDrain] = sample();
  }

  // The traffic stopped: polling goes on until nothing arrives any more and the gateway (if
  // any) has nothing left to forward, at most kMaxDrainSeconds.
  void drain() {
    int quiet = 0;
    const double t0 = wall_seconds();
    double gateway_before = gateway_.cpu_seconds();
    while (quiet < kQuietCyclesToDrain && gateway_alive()) {
      const std::uint64_t before = server_.arrivals().frames[kDrain];
      server_.cycle(kDrain);
      // The gateway is idle when it worked less than two of its clock ticks since the last cycle.
      const double gateway_now = gateway_.cpu_seconds();
      const bool gateway_idle = gateway_now - gateway_before < 0.015;
      gateway_before = gateway_now;
      quiet = server_.arrivals().frames[kDrain] == before && gateway_idle ? quiet + 1 : 0;
      if (wall_seconds() - t0 > kMaxDrainSeconds) {
        drained_ = false;
        warnings_.push_back("frames were still on their way after " +
                            std::to_string(static_cast<int>(kMaxDrainSeconds)) +
                            " s of draining: the missing ones include those");
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
    }
    drain_seconds_ = wall_seconds() - t0;
  }

  void finish_gateway() {
    if (!socketcand_) return;
    gateway_rss_max_ = std::max(gateway_rss_max_, gateway_.rss_kib());
    if (!gateway_alive()) return;
    // Connections the gateway dropped during the run (the generator's own are still open).
    const GatewayLog during = read_gateway_log(gateway_.log_path());
    if (during.dropped_connections > 0) {
      errors_.push_back(
          std::to_string(during.dropped_connections) +
          " connections dropped by the gateway during the run, the first: " + during.first_drop);
    }
    // A gateway far behind works through its backlog before it looks at SIGTERM again: the
    // generator's connections are reset first, so that at least their send queues go.
    // One that is known to be far behind (the drain gave up on it) gets 2 s, else 10 s.
    generator_.abort_connections();
    const GatewayProcess::Stop stopped = gateway_.stop(drained_ ? 10000 : 2000);
    if (stopped == GatewayProcess::Stop::kKilled) {
      warnings_.push_back("the gateway " + gateway_.ended() +
                          " after SIGTERM, so the frames it refused for clients too far behind "
                          "are not known");
      return;
    }
    if (stopped == GatewayProcess::Stop::kFailed) {
      errors_.push_back("the gateway " + gateway_.ended() + " when told to stop");
      return;
    }
    gateway_refused_ = static_cast<double>(read_gateway_log(gateway_.log_path()).refused_frames);
  }

  Tally tally() const {
    Tally t;
    if (!generator_runs_) {
      for (const NodeTrack& n : server_.nodes()) {
        t.foreign += n.foreign;
        t.corrupt += n.corrupt;
        for (std::uint64_t h : n.heartbeats) t.hb_delivered += h;
        for (const auto& hits : n.pdo_hits)
          for (std::uint8_t h : hits) t.phantom += h;
      }
      return t;
    }
    for (int ph = 0; ph < kPhases; ++ph)
      t.bus_frames[static_cast<std::size_t>(ph)] =
          generator_.at(static_cast<Phase>(ph + 1)).frames() -
          generator_.at(static_cast<Phase>(ph)).frames();
    for (const NodeTrack& n : server_.nodes()) {
      t.beyond_room += n.beyond_room;
      t.foreign += n.foreign;
      t.corrupt += n.corrupt;
      for (std::uint64_t h : n.heartbeats) t.hb_delivered += h;
      const bool has_device = n.id <= o_.devices;
      const std::size_t bus = static_cast<std::size_t>(n.line - 1);
      if (has_device)
        t.hb_sent += generator_.at(kEnd).heartbeat[bus][static_cast<std::size_t>(n.id - 1)];
      for (std::size_t which = 0; which < 2; ++which) {
        const auto& hits = n.pdo_hits[which];
        const std::size_t source = 2 * static_cast<std::size_t>(n.id - 1) + which;
        std::size_t end = 0;  // sequence numbers from here on were never sent
        for (int ph = 0; ph < kPhases && has_device; ++ph) {
          const std::size_t from = generator_.at(static_cast<Phase>(ph)).pdo[bus][source];
          const std::size_t to = generator_.at(static_cast<Phase>(ph + 1)).pdo[bus][source];
          PdoCount& c = t.pdo[static_cast<std::size_t>(ph)];
          c.sent += to - from;
          for (std::size_t s = from; s < to; ++s) {
            if (s < hits.size() && hits[s] > 0) {
              ++c.delivered;
              c.duplicates += hits[s] - 1u;
            } else {
              ++c.missing;
            }
          }
          end = to;
        }
        for (std::size_t s = end; s < hits.size(); ++s) t.phantom += hits[s];
      }
    }
    return t;
  }

  // The run's files (driver configuration, gateway configuration and log) go, unless the run
  // failed: then they are kept for a look.
  void remove_files() {
    if (dir_.empty()) return;
    if (!errors_.empty()) {
      std::printf("The run's files (the gateway's log among them) are kept in %s\n", dir_.c_str());
      return;
    }
    for (const char* f : {"ntcan.conf", "gateway.conf", "gateway.log"})
      std::remove((dir_ + "/" + f).c_str());
    rmdir(dir_.c_str());
  }

  // Nodes with a device whose PDO properties do not show what the generator put in them.
  std::uint64_t wrong_process_data() const {
    std::uint64_t wrong = 0;
    for (const NodeTrack& n : server_.nodes()) {
      if (n.id > o_.devices || !generator_runs_ || o_.rate <= 0) continue;
      for (int which = 0; which < 2; ++which) {
        auto read = [&](int sub) -> std::int64_t {
          D_fct* p = n.node->process_property(0x6000 + which, sub);
          EqData out;
          if (!p) return -1;
          p->get(nullptr, nullptr, &out, nullptr);  // stale once the traffic stopped: still read
          return out.get_long();
        };
        if (read(2) != n.line || read(3) != n.id || read(4) != (kPdoMarker << 8 | (which + 1)))
          ++wrong;
      }
    }
    return wrong;
  }

  // Everything that makes the figures untrustworthy is an error.
  void check(const Tally& t) {
    auto count = [this](std::uint64_t n, const std::string& what) {
      if (n > 0) errors_.push_back(std::to_string(n) + " " + what);
    };
    count(t.beyond_room, "PDOs with sequence numbers past the room the bench made for them");
    count(t.foreign,
          "frames of identifiers the node did not enable, or emergencies (no device sends one)");
    count(t.corrupt, "PDOs whose contents were not those sent on their identifier");
    count(t.phantom, "PDOs with sequence numbers never sent");
    if (o_.process_data) count(wrong_process_data(), "nodes whose PDO properties were not decoded");
    count(t.pdo_total().duplicates, "PDOs delivered more than once");
    if (t.hb_delivered > t.hb_sent) errors_.push_back("more heartbeats delivered than sent");
    count(server_.arrivals().oversized_batches,
          "batches of can_array larger than the room the bench has for them");
    if (!generator_.error().empty()) errors_.push_back("generator: " + generator_.error());
    count(generator_.unflushed_bytes(),
          "bytes of frames counted as sent never reached the gateway");
    for (int ph = 0; ph <= kPhases; ++ph) {
      const std::uint64_t failed = server_.arrivals().failed_fills[static_cast<std::size_t>(ph)];
      if (failed == 0) continue;
      char text[160];
      std::snprintf(text, sizeof text,
                    "%" PRIu64 " fills failed in the %s phase (first status 0x%x)", failed,
                    kPhaseName[ph], server_.arrivals().first_failure);
      errors_.push_back(text);
    }
  }

  void report(const Tally& t) {
    Report r;
    const double nodes = static_cast<double>(server_.nodes().size());
    r.section("scenario");
    r.put("transport", o_.transport, "", "transport");
    r.add("lines", o_.lines, "", "lines", 0);
    r.add("nodes_per_line", o_.nodes, "", "nodes per line", 0);
    r.add("rate", o_.rate, "frames/s", "target rate per bus", 0);
    r.add("seconds", o_.seconds, "s", "load phase", 1);

    r.section("start-up of the nodes");
    r.add("startup.wall", startup_[1].wall - startup_[0].wall, "s", "wall time", 3);
    r.add("startup.cpu", startup_[1].process - startup_[0].process, "s",
          "CPU time of the server process", 3);
    r.add("startup.cpu_server", startup_[1].server - startup_[0].server, "s",
          "  of which the server thread", 3);
    if (socketcand_)
      r.add("startup.cpu_gateway", startup_[1].gateway - startup_[0].gateway, "s",
            "CPU time of the gateway process", 3);
    r.add("startup.threads", threads_started_, "", "threads of the server process", 0);
    r.add("startup.tcp", tcp_started_, "", "TCP connections of the server process", 0);
    r.add("startup.fds", fds_started_, "", "open descriptors of the server process", 0);

    if (at_[kDrain].wall > 0) {
      phase_rows(r, t, "load", kLoad, at_[kLoad], load_end_, at_[kStall].wall - at_[kLoad].wall);
      phase_rows(r, t, "stall", kStall, at_[kStall], at_[kResume],
                 stall_end_.wall - at_[kStall].wall);
      phase_rows(r, t, "resume", kResume, at_[kResume], at_[kDrain],
                 at_[kDrain].wall - stall_end_.wall);
      run_rows(r, t);

      r.section("memory");
      r.add("mem.rss_before", mem_before_.rss / 1024, "MiB", "server RSS before the nodes start",
            1);
      auto growth = [&](const std::string& key, const std::string& when, const Memory& m) {
        r.add("mem.rss_node_" + key, (m.rss - mem_before_.rss) / nodes, "KiB/node",
              "RSS growth per node: " + when, 1);
      };
      growth("start", "after start-up", mem_started_);
      growth("load", "after the load phase", mem_loaded_);
      growth("stalled", "at the end of the stall", mem_stalled_);
      growth("resumed", "after resumed polling", mem_resumed_);
      auto heap = [&](const std::string& key, const std::string& when, const Memory& m) {
        r.add("mem.heap_node_" + key, (m.heap - mem_before_.heap) / nodes, "KiB/node",
              "heap growth per node: " + when, 1);
      };
      heap("start", "after start-up", mem_started_);
      heap("load", "after the load phase", mem_loaded_);
      heap("resumed", "after resumed polling", mem_resumed_);
      r.add("mem.rss_after", mem_resumed_.rss / 1024, "MiB", "server RSS at the end", 1);
      if (socketcand_)
        r.add("mem.gateway_rss_max", gateway_rss_max_ / 1024, "MiB", "gateway RSS, highest seen",
              1);

      r.section("server process after the load phase");
      r.add("proc.threads", threads_loaded_, "", "threads (the generator's apart)", 0);
      r.add("proc.tcp", tcp_loaded_, "", "TCP connections (the generator's apart)", 0);
      r.add("proc.fds", fds_loaded_, "", "open descriptors (the generator's apart)", 0);
      r.add("proc.log_lines", static_cast<double>(log_lines_.count()), "", "library log lines", 0);
    }

    std::printf("\n");
    for (const auto& w : warnings_) std::printf("WARNING: %s\n", w.c_str());
    for (const auto& e : errors_) std::printf("ERROR: %s\n", e.c_str());
    if (!errors_.empty()) {
      for (const auto& l : log_lines_.first()) std::printf("  library log: %s\n", l.c_str());
    }
    r.add("warnings", static_cast<double>(warnings_.size()), "", "warnings", 0);
    r.put("result", errors_.empty() ? "ok" : "FAILED", "", "result");
    if (!o_.tsv.empty() && !r.write_tsv(o_.tsv)) {
      std::printf("ERROR: cannot write %s\n", o_.tsv.c_str());
      errors_.push_back("cannot write " + o_.tsv);
    }
  }

  // CPU from a to b; the frames were sent over traffic_wall seconds (between the generator's
  // phase changes).
  void phase_rows(Report& r, const Tally& t, const std::string& key, Phase ph, const Sample& a,
                  const Sample& b, double traffic_wall) {
    const std::size_t p = static_cast<std::size_t>(ph);
    if (ph == kLoad) {
      r.section(std::string("load (") + (traffic_ ? "with traffic" : "no traffic") + ")");
    } else if (ph == kStall) {
      r.section("stall (no polling; its frames: until the first cycle after it is done)");
    } else {
      r.section("resumed polling");
    }
    const double wall = b.wall - a.wall;
    auto pct = [wall](double cpu) { return wall > 0 ? 100.0 * std::max(0.0, cpu) / wall : 0; };
    const double generator = b.generator - a.generator;
    const double server = b.server - a.server;
    r.add(key + ".wall", wall, "s", "duration", 2);
    r.add(key + ".cpu_server", pct(server), "% core",
          "CPU: server thread (can_looping, can_array, decoder)");
    r.add(key + ".cpu_driver", pct(b.process - a.process - server - generator), "% core",
          "CPU: driver's and library's threads");
    r.add(key + ".cpu_generator", pct(generator), "% core", "CPU: traffic generator thread");
    if (!socketcand_ && !socketcan_)
      r.add(key + ".cpu_inject", pct(generator) * generator_.delivery_share(ph), "% core",
            "  of which in ntcan_sim::inject (delivery by the bus)");
    if (socketcan_) {
      r.add(key + ".cpu_send", pct(generator) * generator_.delivery_share(ph), "% core",
            "  of which in send on its raw sockets (the kernel's delivery)");
      const double cpus = static_cast<double>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
      r.add(key + ".cpu_machine", pct(wall * cpus - (b.machine_idle - a.machine_idle)), "% core",
            "CPU: the whole machine (every process, the kernel)");
    }
    if (socketcand_)
      r.add(key + ".cpu_gateway", pct(b.gateway - a.gateway), "% core", "CPU: gateway process");
    if (ph != kStall) {
      const CycleStats& c = server_.cycles(ph);
      r.add(key + ".cycle_mean", c.cycles ? c.total_ms / c.cycles : 0, "ms",
            "server cycle's work, mean", 2);
      r.add(key + ".cycle_max", c.max_ms, "ms", "server cycle's work, longest", 2);
      r.add(key + ".cycle_overruns", c.overruns, "", "cycles whose work took over 100 ms", 0);
    }
    if (!traffic_) return;
    const double frames = static_cast<double>(t.bus_frames[p]);
    r.add(key + ".bus_frames", frames, "", "frames sent on the buses (every identifier)", 0);
    r.add(key + ".rate", traffic_wall > 0 ? frames / traffic_wall / o_.lines : 0, "frames/s",
          "rate reached per bus", 0);
    r.add(key + ".late", static_cast<double>(generator_.late(ph)), "",
          "frames not sent: the generator was behind its schedule", 0);
    if (socketcand_)
      r.add(key + ".held_back", static_cast<double>(generator_.held_back(ph)), "",
            "frames not sent: the gateway did not take them", 0);
    if (socketcan_)
      r.add(key + ".held_back", static_cast<double>(generator_.held_back(ph)), "",
            "frames not sent: the interface refused them", 0);
    r.add(key + ".pdo_sent", static_cast<double>(t.pdo[p].sent), "",
          "PDOs sent to the nodes' identifiers", 0);
    r.add(key + ".pdo_delivered", static_cast<double>(t.pdo[p].delivered), "",
          "  delivered (by the end of the run)", 0);
    r.add(key + ".pdo_missing", static_cast<double>(t.pdo[p].missing), "",
          "  missing (by sequence number)", 0);
    r.add(key + ".taken", static_cast<double>(server_.arrivals().frames[p]), "",
          "frames the nodes took in this phase", 0);
    r.add(key + ".msg_lost", static_cast<double>(server_.arrivals().msg_lost[p]), "",
          "  msg_lost summed over them", 0);
  }

  void run_rows(Report& r, const Tally& t) {
    r.section("whole run");
    if (!traffic_) return;
    const PdoCount pdo = t.pdo_total();
    std::uint64_t sent = 0;
    for (auto n : t.bus_frames) sent += n;
    r.add("run.bus_frames", static_cast<double>(sent), "", "frames sent on the buses", 0);
    r.add("run.pdo_sent", static_cast<double>(pdo.sent), "", "PDOs sent to the nodes' identifiers",
          0);
    r.add("run.pdo_delivered", static_cast<double>(pdo.delivered), "", "  delivered", 0);
    r.add("run.pdo_missing", static_cast<double>(pdo.missing), "", "  missing", 0);
    r.add("run.hb_sent", static_cast<double>(t.hb_sent), "",
          "heartbeats sent to the nodes' identifiers", 0);
    r.add("run.hb_delivered", static_cast<double>(t.hb_delivered), "", "  delivered", 0);
    r.add("run.hb_missing",
          static_cast<double>(t.hb_sent >= t.hb_delivered ? t.hb_sent - t.hb_delivered : 0), "",
          "  missing (counted, not numbered)", 0);
    std::uint64_t lost = 0;
    for (auto v : server_.arrivals().msg_lost) lost += v;
    r.add("run.msg_lost", static_cast<double>(lost), "", "msg_lost summed over every frame taken",
          0);
    r.add("run.drain_taken", static_cast<double>(server_.arrivals().frames[kDrain]), "",
          "frames taken after the traffic stopped", 0);
    r.add("run.drain", drain_seconds_, "s", "polling after the traffic stopped until quiet", 1);
    r.add("run.generator_tick_max", generator_.max_tick_ms(), "ms",
          "generator: longest work of a 1 ms tick", 2);
    if (socketcand_) {
      if (gateway_refused_ >= 0) {
        r.add("run.gateway_refused", gateway_refused_, "",
              "frames the gateway refused for clients too far behind", 0);
      } else {
        r.put("run.gateway_refused", "unknown", "",
              "frames the gateway refused for clients too far behind");
      }
    }
  }

  // Server cycles every 100 ms for the given time.
  void poll_for(double seconds, Phase phase) {
    const auto start = Steady::now();
    auto next = start;
    while (Steady::now() - start < std::chrono::duration<double>(seconds)) {
      server_.cycle(phase);
      watch_gateway();
      if (!gateway_alive()) return;
      next += std::chrono::milliseconds(kCycleMs);
      if (next < Steady::now()) next = Steady::now();
      std::this_thread::sleep_until(next);
    }
  }

  bool gateway_alive() {
    std::string why;
    if (!socketcand_ || gateway_.alive(why)) return true;
    if (!gateway_ended_) errors_.push_back("the gateway process ended during the run: it " + why);
    gateway_ended_ = true;
    return false;
  }

  // The gateway's memory, and the generator held back once it passes the limit.
  void watch_gateway() {
    if (!socketcand_) return;
    const double rss = gateway_.rss_kib();
    gateway_rss_max_ = std::max(gateway_rss_max_, rss);
    if (!over_limit_ && rss > static_cast<double>(o_.gateway_rss_limit_mib) * 1024) {
      over_limit_ = true;
      generator_.hold_all();
      warnings_.push_back("the gateway's resident memory passed " +
                          std::to_string(o_.gateway_rss_limit_mib) +
                          " MiB: the generator sent nothing from then on");
    }
  }

  Sample sample() {
    // The process's clock last: it includes the threads' time read before it.
    Sample s;
    s.wall = wall_seconds();
    s.server = thread_cpu_seconds(server_thread_);
    if (generator_runs_) {
      s.generator = generator_.cpu_seconds();
    }
    s.process = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
    s.gateway = gateway_.cpu_seconds();
    if (socketcan_) s.machine_idle = machine_idle_seconds();
    return s;
  }

  const Options& o_;
  const Mix mix_;
  std::string dir_;  // the run's temporary folder
  const bool socketcand_;
  const bool socketcan_;
  const bool traffic_;
  LogCounter log_lines_;
  GatewayProcess gateway_;
  Server server_;
  Generator generator_;
  pthread_t server_thread_{};
  bool generator_runs_ = false;
  bool gateway_ended_ = false;
  bool over_limit_ = false;
  std::vector<std::string> errors_;
  std::vector<std::string> warnings_;

  std::array<Sample, 2> startup_{};
  std::array<Sample, kPhases + 1> at_{};  // at the start of each phase with traffic, and after
  Sample load_end_;
  Sample stall_end_;  // the first cycle after the stall is done
  Memory mem_before_, mem_started_, mem_loaded_, mem_stalled_, mem_resumed_;
  int threads_started_ = 0, tcp_started_ = 0, threads_loaded_ = 0, tcp_loaded_ = 0;
  int fds_started_ = 0, fds_loaded_ = 0;
  double drain_seconds_ = 0;
  bool drained_ = true;
  double gateway_rss_max_ = 0;
  double gateway_refused_ = -1;  // unknown
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int r = parse_options(argc, argv, o); r != 0) return r == 1 ? 0 : 2;
  Mix mix;
  std::string error;
  if (!traffic_mix(o.rate, o.devices, mix, error)) {
    std::fprintf(stderr, "scale_bench: %s\n", error.c_str());
    return 2;
  }
  // Lives for the process: the library's threads log through its sink until the very end.
  auto* run = new ScaleRun(o, mix);
  const int status = run->run();
  std::fflush(stdout);
  std::fflush(stderr);
  // The nodes, their lines and the driver's connections live for the process: end it here
  // rather than run destructors under threads that still use them.
  std::_Exit(status);
}
