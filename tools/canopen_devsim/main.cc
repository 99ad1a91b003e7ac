// korvel_canopen_devsim - simulated CANopen devices on a SocketCAN interface, so that a setup
// (or a test) has devices on the far side of a real kernel bus without hardware.
//
//   korvel_canopen_devsim -i vcan0 5:Pump:HW-2:SW-3.1 6 --eds 10:valve.eds
//
// Reads every frame of the interface, feeds the devices, writes their replies. The devices
// hear each other as on any bus (the kernel does not return a socket's own frames to it).
// Ends on SIGINT or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "canbus/can_raw_socket.h"
#include "canbus/frame_text.h"
#include "cli/command_line.h"
#include "devsim.h"
#include "simdev/device_host.h"

namespace {

namespace sc = canbus::socketcan;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// Devices have nothing spontaneous to say more often than this.
constexpr std::int64_t kPollNs = 100000000;
// A full transmit queue is retried this often, a millisecond apart.
constexpr int kTxRetries = 100;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool send_frame(int fd, const CMSG& m, bool verbose) {
  const can_frame f = sc::to_kernel(m);
  for (int tries = 0;; ++tries) {
    if (send(fd, &f, sizeof f, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof f)) break;
    if (errno == EINTR) continue;
    if (errno == ENOBUFS && tries < kTxRetries) {
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
      continue;
    }
    std::fprintf(stderr, "korvel_canopen_devsim: send %s: %s\n", canbus::to_string(m).c_str(),
                 std::strerror(errno));
    return errno != ENETDOWN &&
           errno != ENODEV;  // a downed interface is waited out, a removed one ends us
  }
  if (verbose) std::printf("tx %s\n", canbus::to_string(m).c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const korvel_cli::CommandLine cl("korvel_canopen_devsim", KORVEL_VERSION, devsim::kUsage);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (std::find(args.begin(), args.end(), "--version") != args.end()) {
    std::printf("korvel_canopen_devsim %s\n", KORVEL_VERSION);
    return 0;
  }
  const devsim::Options o = devsim::parse_options(args);
  if (o.help) {
    std::printf("%s  --help, --version\n", devsim::kUsage);
    return 0;
  }
  if (!o.error.empty()) return cl.fail(stderr, o.error);
  sc::RawSocketOptions so;
  so.receive_all = true;
  so.error_frames = false;
  so.drop_count = false;
  const sc::RawSocket s = sc::open_raw_socket(o.ifname, so);
  if (s.fd < 0) {
    std::fprintf(stderr, "korvel_canopen_devsim: %s: %s\n", o.ifname.c_str(),
                 sc::text_of(s.condition));
    return 1;
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;  // no SA_RESTART: ppoll returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  simdev::DeviceHost host;
  for (const auto& d : o.devices) {
    std::printf("node %d on %s: \"%s\" \"%s\" \"%s\"%s%s\n", d.node_id, o.ifname.c_str(),
                d.name.c_str(), d.hw.c_str(), d.sw.c_str(), d.description ? " from " : "",
                d.description ? d.description->file().c_str() : "");
  }
  std::vector<std::string> not_taken;
  auto devices = devsim::make_devices(o.devices, &not_taken);
  for (const std::string& line : not_taken)
    std::fprintf(stderr, "korvel_canopen_devsim: %s\n", line.c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  for (auto& d : devices) {
    d->boot();
    host.attach(std::move(d));
  }

  int rc = 0;
  // What the devices send goes out on the interface; frames from the interface (no sender)
  // only reach the devices.
  const simdev::DeviceHost::Deliver deliver = [&](const CMSG& m, const void* sender) {
    if (sender == nullptr || g_stop) return;
    if (!send_frame(s.fd, m, o.verbose)) {
      g_stop = 1;
      rc = 1;
    }
  };
  std::deque<simdev::BusFrame> work;
  while (!g_stop) {
    std::int64_t now = now_ns();
    host.due(now, work);
    host.run(work, now, deliver);
    std::int64_t wait = kPollNs;
    const std::int64_t next = host.next_due();
    if (next >= 0) wait = std::min(wait, std::max<std::int64_t>(next - now, 0));
    pollfd p{s.fd, POLLIN, 0};
    const timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
    if (ppoll(&p, 1, &ts, nullptr) <= 0) continue;
    for (;;) {
      can_frame f;
      const ssize_t n = recv(s.fd, &f, sizeof f, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == ENODEV) {
          std::fprintf(stderr, "korvel_canopen_devsim: %s was removed\n", o.ifname.c_str());
          g_stop = 1;
          rc = 1;
        }
        break;  // EAGAIN, or ENETDOWN reported once while the interface is down
      }
      CMSG m;
      if (n != static_cast<ssize_t>(sizeof f) || !sc::from_kernel(f, m)) continue;
      if (o.verbose) std::printf("rx %s\n", canbus::to_string(m).c_str());
      work.push_back(simdev::BusFrame{m, nullptr});
      host.run(work, now_ns(), deliver);
    }
    if (o.verbose) std::fflush(stdout);
  }
  close(s.fd);
  return rc;
}
