// korvel_demo - an example VEXIL device server with CAN nodes, on simulated CAN lines.
//
// The location "DEMO" owns the nodes listed in demo_nodes.cc; their identities (line,
// node-ID, ...) come from the configuration file. Each node gets a simulated CANopen device
// on its line. The server starts the nodes, polls the lines, supervises the devices by node
// guarding, shows emergencies, prints a status table, takes operator commands on standard
// input, and plays a short fault script: an emergency, and one line going down and coming
// back, which the line's supervision thread closes and re-opens.
//
//   korvel_demo --config demo.conf --seconds 25 --time-scale 6 --table-every 5
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "demo_nodes.h"
#include "eq_fct.h"
#include "node_monitor.h"
#include "ntcan_sim.h"
#include "operator_commands.h"
#include "status_table.h"
#include "vexil_host.h"

namespace {

struct Options {
  std::string config;
  double seconds = 30;    // wall-clock run time
  double time_scale = 1;  // framework time runs this many times faster
  double table_every = 1; // framework seconds between status tables
  std::string trace;      // candump log of the simulated buses
};

// Framework time of the poll loop: frames are taken ten times a second, guarding requests
// go out once a second.
constexpr int kPollMicroseconds = 100000;
constexpr double kGuardPeriod = 1.0;
// Framework time the fault script needs: the line supervision starts checking 60 s after the
// line opened, closes after two failed checks and pauses 15 s before it re-opens.
constexpr double kScriptSeconds = 100;

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: korvel_demo --config FILE [--seconds N] [--time-scale F] [--table-every S] [--trace FILE]\n"
               "  --config FILE      configuration file of the location DEMO (node identities)\n"
               "  --seconds N        stop after N seconds of wall-clock time (default 30)\n"
               "  --time-scale F     run the framework clock F times faster than real time (default 1)\n"
               "  --table-every S    print the status table every S seconds of framework time (default 1)\n"
               "  --trace FILE       append every frame of the simulated buses to FILE (candump log)\n"
               "Commands on standard input: list, get NAME, set NAME VALUE..., help, quit.\n");
}

bool parse_number(const char* text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0)) return false;
  *out = v;
  return true;
}

// 0: run; 1: stop with success (--help); 2: bad arguments.
int parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "korvel_demo: %s needs a value\n", a.c_str());
      return 2;
    }
    const char* v = argv[++i];
    bool ok = true;
    if (a == "--config") o->config = v;
    else if (a == "--trace") o->trace = v;
    else if (a == "--seconds") ok = parse_number(v, &o->seconds);
    else if (a == "--time-scale") ok = parse_number(v, &o->time_scale);
    else if (a == "--table-every") ok = parse_number(v, &o->table_every);
    else {
      std::fprintf(stderr, "korvel_demo: unknown option %s\n", a.c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "korvel_demo: %s needs a positive number, not '%s'\n", a.c_str(), v);
      return 2;
    }
  }
  if (o->config.empty()) {
    std::fprintf(stderr, "korvel_demo: --config FILE is required\n");
    return 2;
  }
  return 0;
}

// The fault script: steps at fixed framework times after the start.
class FaultScript {
 public:
  FaultScript(const NodeList& nodes, const std::vector<SimulatedDevice>& devices, const DemoTime& time)
      : time_(time) {
    const SimulatedDevice* fan = device_of("FAN2", devices);
    const DemoNode* valve = node("VALVE3", nodes);
    if (fan) {
      auto device = fan->device;
      add(20, [device, this] {
        report(time_, "script: FAN2's device reports emergency 0x2310 (output current too high)");
        device->emergency(0x2310, 0x03, {0x12, 0x00, 0x00, 0x00, 0x00});
      });
    }
    if (valve) {
      const int line = valve->line();
      const std::string where = "line " + std::to_string(line) + " (net " + std::to_string(line - 1) + ")";
      add(70, [line, where, this] {
        report(time_, "script: " + where + " goes down");
        ntcan_sim::set_net_down(line - 1, true);
      });
      add(85, [line, where, this] {
        report(time_, "script: " + where + " is up again");
        ntcan_sim::set_net_down(line - 1, false);
      });
    }
  }

  void run_due() {
    const double t = time_.seconds();
    for (Step& s : steps_) {
      if (!s.done && t >= s.at) {
        s.done = true;
        s.run();
      }
    }
  }

 private:
  struct Step {
    double at;
    std::function<void()> run;
    bool done;
  };

  void add(double at, std::function<void()> run) { steps_.push_back({at, std::move(run), false}); }

  static const DemoNode* node(const std::string& base, const NodeList& nodes) {
    for (const auto& n : nodes) {
      if (n->base == base) return n.get();
    }
    return nullptr;
  }
  static const SimulatedDevice* device_of(const std::string& base, const std::vector<SimulatedDevice>& devices) {
    for (const SimulatedDevice& d : devices) {
      if (d.owner->base == base) return &d;
    }
    return nullptr;
  }

  const DemoTime& time_;
  std::vector<Step> steps_;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int r = parse_options(argc, argv, &opt)) {
    if (r == 2) usage(stderr);
    return r == 1 ? 0 : 2;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  // Before the driver's first use: it reads its trace file name and its configuration once.
  // Every net of the demo is a simulated bus with the simulated devices on it.
  if (!opt.trace.empty()) setenv("NTCAN_TRACE", opt.trace.c_str(), 1);
  if (std::getenv("NTCAN_CONFIG")) {
    std::printf("korvel_demo: NTCAN_CONFIG ignored, the demo runs on simulated buses only\n");
    unsetenv("NTCAN_CONFIG");
  }
  // The simulated nets have no network gateways: without a gateway file of its own the
  // library would read the machine's and could reset a real gateway during the outage.
  setenv("KORVEL_GATEWAY_FILE", "/dev/null", 0);
  if (opt.time_scale != 1) {
    // Never destroyed: the lines' supervision threads sleep on it until the process ends.
    static vexil::ScaledClock* scaled = new vexil::ScaledClock(opt.time_scale);
    vexil::set_clock(scaled);
  }
  ntcan_sim::set_time_source([] { return vexil::clock().now(); });

  EqFct loc("DEMO", opt.config);
  NodeList nodes = create_nodes(loc);
  const int malformed = loc.load_config();
  if (malformed < 0) {
    std::fprintf(stderr, "korvel_demo: cannot read the configuration file '%s'\n", opt.config.c_str());
    return 1;
  }
  if (malformed > 0) {
    std::fprintf(stderr, "korvel_demo: %d malformed line(s) of %s skipped (see the config lines above)\n", malformed,
                 opt.config.c_str());
  }
  const std::string problems = identity_problems(nodes, opt.config);
  if (!problems.empty()) {
    std::istringstream lines(problems);
    for (std::string l; std::getline(lines, l);) std::fprintf(stderr, "korvel_demo: %s\n", l.c_str());
    return 1;
  }

  DemoTime time;
  std::printf("korvel_demo: location %s from %s, %zu nodes, framework clock x%g, %g s\n",
              loc.get_location_name().c_str(), opt.config.c_str(), nodes.size(), opt.time_scale, opt.seconds);
  if (opt.seconds * opt.time_scale < kScriptSeconds) {
    std::printf("note: the fault script needs about %.0f s of framework time, this run has %.0f s\n", kScriptSeconds,
                opt.seconds * opt.time_scale);
  }
  const std::vector<SimulatedDevice> devices = attach_devices(nodes);
  for (auto& n : nodes) start_node(loc, *n);

  NodeMonitor monitor(loc, nodes, time);
  FaultScript script(nodes, devices, time);
  LineReader input(STDIN_FILENO);
  bool input_ended = false;
  bool quit = false;
  double next_guard = 0;  // the first requests right away: the first table shows answers
  double next_table = kGuardPeriod;
  const auto wall_end = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(opt.seconds));

  while (!quit && !g_stop && std::chrono::steady_clock::now() < wall_end) {
    for (const std::string& line : input.take_lines()) {
      const CommandResult r = run_command(loc, line);
      std::printf("%s> %s\n%s", loc.get_location_name().c_str(), line.c_str(), r.reply.c_str());
      std::fflush(stdout);
      if (r.quit) quit = true;
    }
    if (input.ended() && !input_ended) {
      input_ended = true;
      report(time, "operator input ended; running on until the time is up");
    }
    if (quit) break;

    script.run_due();
    can_looping();
    monitor.receive();
    monitor.watch_lines();

    const double t = time.seconds();
    if (t >= next_guard) {
      monitor.guard();
      next_guard = t + kGuardPeriod;
    }
    if (t >= next_table) {
      std::fputs(status_table(loc, nodes, monitor, time).c_str(), stdout);
      std::fflush(stdout);
      next_table += opt.table_every;
      if (next_table <= t) next_table = t + opt.table_every;
    }
    VEXILsleep(0, kPollMicroseconds);
  }

  report(time, "stopping; writing the configuration back to " + opt.config);
  const int saved = loc.save_config();
  nodes.clear();
  if (saved != 0) {
    std::fprintf(stderr, "korvel_demo: cannot write the configuration file '%s'\n", opt.config.c_str());
    return 1;
  }
  return 0;
}
