// Asked against measured time of the services on the real monotonic clock: an SDO time-out
// (a device that never answers) and lost-device supervision (a device that stops sending, its
// node polled by can_looping every 100 ms as a server runs), each at 50 ms, 300 ms and 1 s.
// Counters: the asked time and the measured median, minimum and maximum, in ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "D_korvel.h"
#include "canbus/frame_text.h"
#include "ntcan/sim_bus.h"
#include "vexil/vexil_host.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNodeId = 5;
constexpr auto kServerPeriod = std::chrono::milliseconds(100);

class Quiet : public vexil::LogSink {
 public:
  void write(const vexil::LogLine&) override {}
};

// One node on net 0 that receives its device's state frames; nothing on the bus answers it.
struct World {
  World() {
    vexil::set_log_sink(&quiet);
    node = new D_can("BENCH silent device", &loc);
    IIII id{1, kNodeId, 0, 0};
    node->set_value(&id);
    node->init(0x700 + kNodeId);
  }
  Quiet quiet;
  EqFct loc{"BENCH"};
  D_can* node;
};

World& world() {
  static World* w = new World();
  return *w;
}

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void report(benchmark::State& state, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  state.counters["asked_ms"] = static_cast<double>(state.range(0));
  if (samples.empty()) return;
  state.counters["median_ms"] = samples[samples.size() / 2];
  state.counters["min_ms"] = samples.front();
  state.counters["max_ms"] = samples.back();
}

// One read with the time-out asked (arg 0, ms) from a device that never answers.
void BM_SdoTimeOut(benchmark::State& state) {
  World& w = world();
  const int asked = static_cast<int>(state.range(0));
  std::vector<double> samples;
  int unexpected = 0;
  for (auto _ : state) {
    unsigned char buf[8];
    int size = 0;
    D_can::sdo_outcome o;
    const auto start = Clock::now();
    const int r = w.node->sdo_read(0x1008, 0, buf, sizeof buf, &size, &o, asked);
    samples.push_back(ms_between(start, Clock::now()));
    unexpected += r != korvel::kFailed || o.abort_code != 0x05040000u;
  }
  report(state, samples);
  state.counters["unexpected"] = unexpected;
}
BENCHMARK(BM_SdoTimeOut)
    ->Arg(50)
    ->Arg(300)
    ->Arg(1000)
    ->Iterations(12)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Supervision time asked (arg 0, ms): the device beats a few periods, sends its last state frame
// at a varying moment between two polls, and stays silent; measured from that frame until the
// poll after which the node is lost (its condition text changes with it).
void BM_LostDevice(benchmark::State& state) {
  World& w = world();
  const int asked = static_cast<int>(state.range(0));
  std::vector<double> samples;
  int sample = 0;
  for (auto _ : state) {
    w.node->supervise_alive(asked);
    auto tick = Clock::now();
    for (int i = 0;; ++i) {  // alive: a beat before each poll
      ntcan_sim::inject(0, canbus::frame("705#05"));
      can_looping();
      if (i == 3) break;
      tick += kServerPeriod;
      std::this_thread::sleep_until(tick);
    }
    // The last frame, 0 to 97 ms after a poll.
    std::this_thread::sleep_until(tick + std::chrono::milliseconds((sample++ * 37) % 98));
    ntcan_sim::inject(0, canbus::frame("705#05"));
    const auto last = Clock::now();
    while (!w.node->is_lost()) {
      tick += kServerPeriod;
      std::this_thread::sleep_until(tick);
      can_looping();
    }
    samples.push_back(ms_between(last, Clock::now()));
    w.node->supervise_alive(0);
  }
  report(state, samples);
}
BENCHMARK(BM_LostDevice)
    ->Arg(50)
    ->Arg(300)
    ->Arg(1000)
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
