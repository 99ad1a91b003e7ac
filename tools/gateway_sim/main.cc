// main.cc - korvel_gateway_sim: a simulated socketcand gateway with simulated CANopen devices.
//
//   korvel_gateway_sim [--address 127.0.0.1] [--port 29536] [--http-port 80] [--config FILE]
//                      [--reboot-ms 3000] [--quiet]
//
// Commands on standard input, one per line: "down" (the CAN service hangs: connections drop,
// connects are refused), "up", "quit". SIGINT and SIGTERM stop it too.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "gateway_sim.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: korvel_gateway_sim [--address IPV4] [--port N] [--http-port N|-1] [--config FILE]\n"
               "                          [--reboot-ms N] [--quiet]\n"
               "  --port 0 and --http-port 0 take any free port; --http-port -1 serves no reset form.\n"
               "  Configuration lines: 'bus can0', 'device can0 5 \"Maker\" \"HW1\" \"SW1\"',\n"
               "  'remote-frames on|off', 'reboot-ms N', 'idle-ms N'. Without one: bus can0 and no devices.\n"
               "  Standard input: down | up | quit\n");
}

bool number(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return *text && *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  gateway_sim::Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (a == "--address" && v) {
      cfg.address = v;
    } else if (a == "--port" && v && number(v, 0, 65535, n)) {
      cfg.can_port = static_cast<int>(n);
    } else if (a == "--http-port" && v && number(v, -1, 65535, n)) {
      cfg.http_port = static_cast<int>(n);
    } else if (a == "--reboot-ms" && v && number(v, 0, 3600000, n)) {
      cfg.reboot_time = std::chrono::milliseconds(n);
    } else if (a == "--config" && v) {
      std::ifstream in(v);
      std::string error;
      if (!in) {
        std::fprintf(stderr, "korvel_gateway_sim: cannot read %s\n", v);
        return 2;
      }
      if (!gateway_sim::parse_config(in, cfg, error)) {
        std::fprintf(stderr, "korvel_gateway_sim: %s: %s\n", v, error.c_str());
        return 2;
      }
    } else if (a == "--quiet") {
      cfg.log = false;
      continue;
    } else {
      usage();
      return 2;
    }
    ++i;
  }

  // Signals are taken by sigwait below, in no other thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  gateway_sim::GatewaySim sim(cfg);
  std::string error;
  if (!sim.start(error)) {
    std::fprintf(stderr, "korvel_gateway_sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("socketcand %s %d http %d\n", sim.config().address.c_str(), sim.can_port(), sim.http_port());
  std::fflush(stdout);

  std::thread([&sim] {
    for (std::string line; std::getline(std::cin, line);) {
      if (line == "down") {
        sim.set_down(true);
      } else if (line == "up") {
        sim.set_down(false);
      } else if (line == "quit") {
        kill(getpid(), SIGTERM);
        return;
      } else if (!line.empty()) {
        std::fprintf(stderr, "korvel_gateway_sim: commands are down, up and quit\n");
      }
    }
  }).detach();  // blocked reading standard input when the process ends: nothing to clean up

  int sig = 0;
  sigwait(&stop_signals, &sig);
  sim.stop();
  return 0;
}
