// korvel_demo - an example VEXIL device server with CAN nodes, on simulated or real CAN lines.
//
// The location "DEMO" owns the nodes listed in demo_nodes.cc; their identities (line,
// node-ID, ...) come from the configuration file. Each node on a simulated net gets a
// simulated CANopen device; nets that the driver configuration (NTCAN_CONFIG) gives another
// transport carry whatever devices are really there. The server starts the nodes, polls the lines,
// supervises the devices by node guarding (one device by its heartbeats, whose period the server
// writes by SDO download), shows emergencies, prints a status table with the devices' process
// data (a pump's speed and temperature, a fan's speed, a heater's temperature on its line's SYNC),
// takes operator commands on standard input (also SDO reads and writes of any object, and the
// pump's set-point, which goes out in its receive PDO), and plays a short fault script on the
// simulated nets: an emergency, the heartbeat device falling silent and coming back, the fan's
// PDOs stopping (shown stale) and coming back, and one line going down and coming back, which
// the line's supervision thread closes and re-opens.
//
//   korvel_demo --config demo.conf --seconds 25 --time-scale 6 --table-every 5
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "cli/command_line.h"
#include "console.h"
#include "demo_nodes.h"
#include "demo_process.h"
#include "eq_fct.h"
#include "node_monitor.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "operator_commands.h"
#include "status_table.h"
#include "vexil/vexil_host.h"

namespace {

struct Options {
  std::string config;
  double seconds = 30;     // wall-clock run time
  double time_scale = 1;   // framework time runs this many times faster
  double table_every = 1;  // framework seconds between two looks at the status table
  std::string trace;       // candump log of the buses
  bool quiet = false;      // the library's log lines are not shown
  bool verbose = false;    // every frame the nodes receive is shown as well
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

const char* const kUsage =
    "usage: korvel_demo --config FILE [--seconds N] [--time-scale F] [--table-every S] [--trace "
    "FILE]\n"
    "                   [--quiet | --verbose]\n"
    "An example VEXIL device server with CAN nodes: simulated CANopen devices on the simulated "
    "nets,\n"
    "real devices on the nets NTCAN_CONFIG gives another transport.\n"
    "  --config FILE      configuration file of the location DEMO (node identities)\n"
    "  --seconds N        stop after N seconds of wall-clock time (default 30)\n"
    "  --time-scale F     run the framework clock F times faster than real time (default 1)\n"
    "  --table-every S    look at the status table every S seconds of framework time and print it\n"
    "                     when it changed (default 1); `list` prints it at once\n"
    "  --trace FILE       append every frame of the buses to FILE (candump log)\n"
    "  --quiet            do not show the library's log lines\n"
    "  --verbose          show every frame the nodes receive as well\n"
    "  --help, --version\n"
    "Commands on standard input: list, get NAME, set NAME VALUE..., debug [NODE|WORD|off],\n"
    "read NODE INDEX SUB, read NODE NAME, write NODE INDEX SUB VALUE, write NODE NAME VALUE,\n"
    "help, quit.\n";

// -1: run; otherwise the exit status (0 after --help or --version, 2 for a bad command line).
int parse_options(int argc, char** argv, Options* o) {
  korvel_cli::CommandLine cl("korvel_demo", KORVEL_VERSION, kUsage);
  cl.value("--config", korvel_cli::text_into(&o->config));
  cl.value("--seconds", korvel_cli::positive_into(&o->seconds));
  cl.value("--time-scale", korvel_cli::positive_into(&o->time_scale));
  cl.value("--table-every", korvel_cli::positive_into(&o->table_every));
  // The trace file must be writable before anything starts: the driver opens it only at its
  // first use and could otherwise only complain when the nodes already run.
  cl.value("--trace", [o](const std::string& path) -> std::string {
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
    if (!f)
      return std::string("cannot write it: ") +
             (path.empty() ? "an empty name" : std::strerror(errno));
    std::fclose(f);
    o->trace = path;
    return std::string();
  });
  cl.flag("--quiet", &o->quiet);
  cl.flag("--verbose", &o->verbose);
  const int r = cl.parse(argc, argv);
  if (r >= 0) return r;
  if (o->config.empty()) return cl.fail(stderr, "--config FILE is required");
  if (o->quiet && o->verbose) return cl.fail(stderr, "--quiet and --verbose exclude each other");
  return -1;
}

// The library's log lines on standard error, through the console (or not at all).
class LibraryLog : public vexil::LogSink {
 public:
  explicit LibraryLog(bool shown) : shown_(shown) { previous_ = vexil::set_log_sink(this); }
  ~LibraryLog() override { vexil::set_log_sink(previous_); }
  void write(const vexil::LogLine& line) override {
    if (shown_) console().write_error(vexil::format_log_line(line) + "\n");
  }

 private:
  bool shown_;
  vexil::LogSink* previous_ = nullptr;
};

// The fault script: steps at fixed framework times after the start.
class FaultScript {
 public:
  FaultScript(const NodeList& nodes, const std::vector<SimulatedDevice>& devices,
              const DemoTime& time)
      : time_(time) {
    const SimulatedDevice* fan = device_of("FAN2", devices);
    const DemoNode* valve = node("VALVE3", nodes);
    if (fan && ntcan_sim::simulated(fan->net)) {
      auto device = fan->device;
      add(20, [device, this] {
        report(time_, "script: FAN2's device reports emergency 0x2310 (output current too high)");
        device->emergency(0x2310, 0x03, {0x12, 0x00, 0x00, 0x00, 0x00});
      });
      add(50, [device, this] {
        report(time_, "script: FAN2's device stops sending its PDOs");
        device->stop_transmit_pdos(true);
      });
      add(60, [device, this] {
        report(time_, "script: FAN2's device sends its PDOs again");
        device->stop_transmit_pdos(false);
      });
    }
    for (const SimulatedDevice& d : devices) {
      if (d.owner->entry->heartbeat_ms <= 0) continue;
      auto device = d.device;
      const std::string base = d.owner->base;
      add(30, [device, base, this] {
        report(time_, "script: " + base + "'s device falls silent");
        device->mute(true);
      });
      add(40, [device, base, this] {
        report(time_, "script: " + base + "'s device speaks again");
        device->mute(false);
      });
    }
    if (valve && ntcan_sim::simulated(valve->line() - 1)) {
      const int line = valve->line();
      const std::string where =
          "line " + std::to_string(line) + " (net " + std::to_string(line - 1) + ")";
      add(70, [line, where, this] {
        report(time_, "script: " + where + " goes down");
        ntcan_test::set_net_down(line - 1, true);
      });
      add(85, [line, where, this] {
        report(time_, "script: " + where + " is up again");
        ntcan_test::set_net_down(line - 1, false);
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

  const DemoTime& time_;
  std::vector<Step> steps_;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int r = parse_options(argc, argv, &opt); r >= 0) return r;
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  // Before the driver's first use: it reads its trace file name and its configuration once.
  // Nets that NTCAN_CONFIG gives another transport carry real devices; the others are
  // simulated buses with the simulated devices on them.
  if (!opt.trace.empty()) setenv("NTCAN_TRACE", opt.trace.c_str(), 1);
  // The simulated nets have no network gateways: without a gateway file of its own the
  // library would read the machine's and could reset a real gateway during the outage.
  setenv("KORVEL_GATEWAY_FILE", "/dev/null", 0);
  if (opt.time_scale != 1) {
    // Never destroyed: the lines' supervision threads sleep on it until the process ends.
    static vexil::ScaledClock* scaled = new vexil::ScaledClock(opt.time_scale);
    vexil::set_clock(scaled);
    // The CANopen services' time (SDO time-outs, lost-device supervision) runs as fast.
    korvel::set_millisecond_source([] { return vexil::clock().now() / 1000000; });
  }
  ntcan_test::set_time_source([] { return vexil::clock().now(); });

  EqFct loc("DEMO", opt.config);
  NodeList nodes = create_nodes(loc);
  const int malformed = loc.load_config();
  if (malformed < 0) {
    std::fprintf(stderr, "korvel_demo: cannot read the configuration file '%s'\n",
                 opt.config.c_str());
    return 1;
  }
  if (malformed > 0) {
    std::fprintf(stderr,
                 "korvel_demo: %d malformed line(s) of %s skipped (see the config lines above)\n",
                 malformed, opt.config.c_str());
  }
  const std::string problems = identity_problems(nodes, opt.config);
  if (!problems.empty()) {
    std::istringstream lines(problems);
    for (std::string l; std::getline(lines, l);)
      std::fprintf(stderr, "korvel_demo: %s\n", l.c_str());
    return 1;
  }

  // From here on the library's log lines go through the console (or nowhere with --quiet);
  // problems of the configuration file were shown above in any case. Never destroyed: the
  // lines' supervision threads may log until the process ends.
  static LibraryLog* library_log = new LibraryLog(!opt.quiet);
  (void)library_log;

  DemoTime time;
  Console& out = console();
  out.set_prompt(loc.get_location_name() + "> ");
  char heading[200];
  std::snprintf(heading, sizeof heading,
                "korvel_demo: location %s from %s, %zu nodes, framework clock x%g, %g s\n",
                loc.get_location_name().c_str(), opt.config.c_str(), nodes.size(), opt.time_scale,
                opt.seconds);
  out.write(heading);
  if (opt.seconds * opt.time_scale < kScriptSeconds) {
    std::snprintf(
        heading, sizeof heading,
        "note: the fault script needs about %.0f s of framework time, this run has %.0f s\n",
        kScriptSeconds, opt.seconds * opt.time_scale);
    out.write(heading);
  }
  const std::vector<SimulatedDevice> devices = attach_devices(nodes, opt.config);
  for (auto& n : nodes) start_node(loc, *n);
  for (auto& n : nodes) start_process_data(*n);

  NodeMonitor monitor(loc, nodes, time);
  monitor.show_frames(opt.verbose);
  FaultScript script(nodes, devices, time);
  LineReader input(STDIN_FILENO);
  bool input_ended = false;
  bool quit = false;
  double next_guard = 0;  // the first requests right away: the first table shows answers
  double next_table = kGuardPeriod;
  std::string shown_table;  // the last table printed, without its time stamp
  auto print_table = [&](bool always) {
    const std::string table = status_table(loc, nodes, monitor, time) + process_table(loc, nodes);
    const std::string body = table.substr(table.find('\n') + 1);
    if (!always && body == shown_table) return;
    shown_table = body;
    out.write(table);
  };
  const auto wall_end = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(opt.seconds));

  while (!quit && !g_stop && std::chrono::steady_clock::now() < wall_end) {
    out.prompt();
    for (const std::string& line : input.take_lines()) {
      // Nothing after quit runs, not even the rest of what arrived with it.
      const CommandResult r = run_command(loc, line);
      out.echo(line);
      out.write(r.reply);
      if (r.show_table) print_table(true);
      if (r.quit) {
        quit = true;
        break;
      }
    }
    if (quit) break;
    if (input.ended() && !input_ended) {
      input_ended = true;
      report(time, "operator input ended; running on until the time is up");
    }

    script.run_due();
    step_process(devices, time.seconds());
    can_looping();
    monitor.receive();
    monitor.watch_lines();

    const double t = time.seconds();
    if (t >= next_guard) {
      monitor.guard();
      next_guard = t + kGuardPeriod;
    }
    if (t >= next_table) {
      print_table(false);
      next_table += opt.table_every;
      if (next_table <= t) next_table = t + opt.table_every;
    }
    VEXILsleep(0, kPollMicroseconds);
  }

  report(time, "stopping; writing the configuration back to " + opt.config);
  const int saved = loc.save_config();
  nodes.clear();
  if (saved != 0) {
    std::fprintf(stderr, "korvel_demo: cannot write the configuration file '%s'\n",
                 opt.config.c_str());
    return 1;
  }
  return 0;
}
