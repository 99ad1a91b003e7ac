// Start-up of a plant's nodes: 127 masters per line on 5, 10 and 20 lines (635, 1,270 and
// 2,540 nodes), each constructed at one location, its identity loaded from the location's
// configuration file, then started with init(0x700 + node-ID), init_emergency() and
// AddIdent(0x580 + node-ID), and its ".ALIVE" property looked up by name, as device code does
// to check node guarding. CPU seconds of the whole process (every thread) per size.
//
// The library keeps its lines and its polled list for the life of the process, so every size
// is measured in a process of its own: the benchmark runs this program again with
// --startup-child N, which starts N nodes and prints the CPU seconds of each phase.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "vexil/vexil_host.h"

namespace {

constexpr int kNodesPerLine = 127;
constexpr const char* kChildFlag = "--startup-child";

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class Quiet : public vexil::LogSink {
 public:
  void write(const vexil::LogLine&) override {}
};

std::string node_name(int line, int id) {
  return "L" + std::to_string(line) + "N" + std::to_string(id);
}

// Starts `nodes` nodes (a multiple of 127) and prints the CPU seconds of the four phases
// (construct, load the configuration, start, look up) and the number of failed steps.
int run_child(int nodes) {
  vexil::VirtualClock::install();  // the lines' supervision threads stay in their start pause
  static Quiet quiet;
  vexil::set_log_sink(&quiet);
  const int lines = nodes / kNodesPerLine;

  char path[] = "/tmp/korvel_startup_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  {
    std::ofstream conf(path);
    for (int line = 1; line <= lines; ++line)
      for (int id = 1; id <= kNodesPerLine; ++id)
        conf << node_name(line, id) << ": \t" << line << "  " << id << "  0  0\n";
  }

  auto* loc = new EqFct("PLANT", path);
  std::vector<D_can*> all;
  all.reserve(static_cast<std::size_t>(nodes));
  const double t0 = process_cpu_seconds();
  for (int line = 1; line <= lines; ++line)
    for (int id = 1; id <= kNodesPerLine; ++id)
      all.push_back(new D_can(node_name(line, id) + " plant device", loc));
  const double t1 = process_cpu_seconds();
  loc->load_config();
  const double t2 = process_cpu_seconds();
  int failures = 0;
  for (D_can* n : all) {
    const int id = n->value()->i2_data;
    failures += n->init(0x700 + id) != 0;
    failures += n->init_emergency() != 0;
    failures += n->AddIdent(0x580 + id) != 0;
  }
  const double t3 = process_cpu_seconds();
  for (D_can* n : all) {
    const IIII* id = n->value();
    failures += loc->find_property(node_name(id->i1_data, id->i2_data) + ".ALIVE") == nullptr;
  }
  const double t4 = process_cpu_seconds();
  std::remove(path);
  std::printf("%.6f %.6f %.6f %.6f %d\n", t1 - t0, t2 - t1, t3 - t2, t4 - t3, failures);
  std::fflush(stdout);
  // The lines' threads sleep on the virtual clock for ever: leave without tearing down.
  std::_Exit(0);
}

std::string self_path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  buf[n] = '\0';
  return buf;
}

void BM_StartNodesPlant(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  const std::string cmd =
      self_path() + " " + kChildFlag + " " + std::to_string(nodes) + " 2>/dev/null";
  double construct = 0, load = 0, start = 0, lookup = 0;
  for (auto _ : state) {
    FILE* child = popen(cmd.c_str(), "r");
    int failures = -1;
    const bool ok = child && std::fscanf(child, "%lf %lf %lf %lf %d", &construct, &load, &start,
                                         &lookup, &failures) == 5;
    if (child) pclose(child);
    if (!ok || failures != 0) {
      state.SkipWithError("start-up child failed");
      return;
    }
    state.SetIterationTime(construct + load + start + lookup);
  }
  const double total = construct + load + start + lookup;
  state.counters["nodes"] = nodes;
  state.counters["cpu_s"] = total;
  state.counters["construct_s"] = construct;
  state.counters["load_config_s"] = load;
  state.counters["start_s"] = start;
  state.counters["lookup_s"] = lookup;
  state.counters["us_per_node"] = total * 1e6 / nodes;
}
BENCHMARK(BM_StartNodesPlant)
    ->Arg(5 * kNodesPerLine)
    ->Arg(10 * kNodesPerLine)
    ->Arg(20 * kNodesPerLine)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kChildFlag) == 0) {
    const int nodes = std::atoi(argv[2]);
    if (nodes < kNodesPerLine || nodes % kNodesPerLine != 0 || nodes > 20 * kNodesPerLine) {
      std::fprintf(stderr, "%s: N must be a multiple of 127, at most 2540\n", kChildFlag);
      return 2;
    }
    return run_child(nodes);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
