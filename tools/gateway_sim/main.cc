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
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "cli/command_line.h"
#include "gateway_sim.h"

namespace {

const char* const kUsage =
    "usage: korvel_gateway_sim [--address IPV4] [--port N] [--http-port N|-1] [--config FILE]\n"
    "                          [--reboot-ms N] [--quiet]\n"
    "A simulated socketcand gateway with simulated CANopen devices.\n"
    "  --address IPV4     address to listen on (default 127.0.0.1)\n"
    "  --port N           socketcand port (default 29536; 0 takes any free port)\n"
    "  --http-port N|-1   port of the HTTP reset form (default 80; 0 any free port, -1 none)\n"
    "  --config FILE      lines 'bus can0', 'device can0 5 \"Maker\" \"HW1\" \"SW1\"',\n"
    "                     'remote-frames on|off', 'reboot-ms N', 'idle-ms N'. Without one: bus "
    "can0,\n"
    "                     no devices.\n"
    "  --reboot-ms N      how long a reset keeps the gateway away (default 3000)\n"
    "  --quiet            no log lines on standard error\n"
    "  --help, --version\n"
    "Prints 'socketcand ADDRESS PORT http HTTP-PORT' once it listens.\n"
    "Standard input: down | up | quit. SIGINT and SIGTERM stop it too.\n";

// Why a port cannot be had, in the words of someone who runs the program by hand.
std::string port_hint(const std::string& error) {
  if (error.find("Permission denied") != std::string::npos) {
    return " (ports below 1024 need root or CAP_NET_BIND_SERVICE: choose another with --port / "
           "--http-port, "
           "or --http-port -1 for no reset form)";
  }
  if (error.find("Address already in use") != std::string::npos) {
    return " (another program listens there: choose another port, or 0 for any free one)";
  }
  if (error.find("Cannot assign requested address") != std::string::npos) {
    return " (no interface of this machine has that address)";
  }
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  // Options take effect in their order: a --reboot-ms after --config overrides the file's.
  gateway_sim::Config cfg;
  long number = 0;
  bool quiet = false;
  korvel_cli::CommandLine cl("korvel_gateway_sim", KORVEL_VERSION, kUsage);
  cl.value("--address", korvel_cli::text_into(&cfg.address));
  auto integer = [&number](long lo, long hi, std::function<void(long)> store) {
    return [&number, lo, hi, store](const std::string& v) {
      const std::string why = korvel_cli::integer_into(&number, lo, hi)(v);
      if (why.empty()) store(number);
      return why;
    };
  };
  cl.value("--port", integer(0, 65535, [&cfg](long n) { cfg.can_port = static_cast<int>(n); }));
  cl.value("--http-port",
           integer(-1, 65535, [&cfg](long n) { cfg.http_port = static_cast<int>(n); }));
  cl.value("--reboot-ms",
           integer(0, 3600000, [&cfg](long n) { cfg.reboot_time = std::chrono::milliseconds(n); }));
  cl.value("--config", [&cfg](const std::string& file) -> std::string {
    std::ifstream in(file);
    if (!in) return "cannot read it";
    std::string error;
    if (!gateway_sim::parse_config(in, cfg, error)) return error;
    return std::string();
  });
  cl.flag("--quiet", &quiet);
  if (const int r = cl.parse(argc, argv); r >= 0) return r;
  cfg.log = !quiet;

  // Signals are taken by sigwait below, in no other thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  gateway_sim::GatewaySim sim(cfg);
  std::string error;
  if (!sim.start(error)) {
    std::fprintf(stderr, "korvel_gateway_sim: %s%s\n", error.c_str(), port_hint(error).c_str());
    return 1;
  }
  std::printf("socketcand %s %d http %d\n", sim.config().address.c_str(), sim.can_port(),
              sim.http_port());
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
