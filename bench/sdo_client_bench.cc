// The SDO client side by side with segSdoRead: CPU time of one read while a silent device lets
// it wait (on the real clock), and the frames each transfer puts on the bus against the
// protocol's minimum (2 frames expedited, 2 + 2 per 7-byte segment segmented).
#include <benchmark/benchmark.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "simdev/canopen_device.h"
#include "vexil/vexil_host.h"

namespace {

class Quiet : public vexil::LogSink {
 public:
  void write(const vexil::LogLine&) override {}
};

constexpr int kNodeId = 5;

struct World {
  World() {
    vexil::set_log_sink(&quiet);
    device = std::make_shared<simdev::canopen::Device>(kNodeId);
    ntcan_sim::attach(0, device);
    node = new D_can("BENCH sdo device", &loc);
    IIII id{1, kNodeId, 0, 0};
    node->set_value(&id);
    node->init(0x580 + kNodeId);  // segSdoRead takes its replies from the node's handle
  }
  Quiet quiet;
  EqFct loc{"BENCH"};
  std::shared_ptr<simdev::canopen::Device> device;
  D_can* node;
};

World& world() {
  static World* w = new World();
  return *w;
}

double seconds(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One read of a device that never answers; counters: CPU seconds per read and per second of
// waiting (the share of one core the waiting read keeps busy).
template <class Read>
void silent_read(benchmark::State& state, Read read) {
  World& w = world();
  w.device->mute(true);
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double w0 = seconds(CLOCK_MONOTONIC);
    benchmark::DoNotOptimize(read(*w.node));
    cpu += seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    wall += seconds(CLOCK_MONOTONIC) - w0;
  }
  w.device->mute(false);
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_s_per_read"] = cpu / n;
  state.counters["wait_s_per_read"] = wall / n;
  state.counters["core_share"] = cpu / wall;
}

void BM_SilentDevice_segSdoRead(benchmark::State& state) {
  silent_read(state, [](D_can& n) {
    char buf[64] = {};
    return n.segSdoRead(kNodeId, 0x1008, 0, buf);
  });
}
BENCHMARK(BM_SilentDevice_segSdoRead)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SilentDevice_sdo_read(benchmark::State& state) {
  silent_read(state, [](D_can& n) {
    unsigned char buf[64];
    int size = 0;
    return n.sdo_read(0x1008, 0, buf, sizeof buf, &size);
  });
}
BENCHMARK(BM_SilentDevice_sdo_read)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Protocol minimum of frames for a transfer of n bytes.
double minimum_frames(int n) { return n <= 4 ? 2 : 2 + 2 * ((n + 6) / 7); }

// Upload (arg 1 = 0) or download (1) of arg 0 bytes; counters: frames on the bus per transfer
// and the protocol minimum.
void BM_FramesPerTransfer(benchmark::State& state) {
  World& w = world();
  const int n = static_cast<int>(state.range(0));
  const bool download = state.range(1) != 0;
  const std::string value(static_cast<size_t>(n), 'v');
  w.device->set_text(0x2000, 0, value, simdev::canopen::Access::kReadWrite);
  std::vector<unsigned char> buf(static_cast<size_t>(n));
  auto transfer = [&] {
    if (download)
      return w.node->sdo_write(0x2000, 0, reinterpret_cast<const unsigned char*>(value.data()), n);
    int size = 0;
    return w.node->sdo_read(0x2000, 0, buf.data(), n, &size);
  };
  // One transfer with the bus log on counts the frames; the timed ones run without it.
  ntcan_test::keep_records(true);
  ntcan_sim::clear_bus_log();
  int failed = transfer() != 0;
  const double frames = static_cast<double>(ntcan_sim::bus_log(0).size());
  ntcan_test::keep_records(false);
  for (auto _ : state) failed += transfer() != 0;
  state.counters["frames"] = frames;
  state.counters["minimum"] = minimum_frames(n);
  state.counters["failed"] = failed;
  state.SetLabel(download ? "download" : "upload");
}
BENCHMARK(BM_FramesPerTransfer)
    ->ArgsProduct({{1, 4, 5, 7, 20, 100, 889}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
