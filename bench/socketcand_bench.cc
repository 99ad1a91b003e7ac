// socketcand_bench - frames per second from one handle to another through the simulated
// socketcand gateway on loopback: one pair of connections, and 20 pairs at once (each pair on
// a bus of its own, so no frame is fanned out). A fully loaded 1 Mbit/s bus carries about
// 9,000 frames/s; the counter x_1Mbit_bus says how many such buses the path could feed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver_config.h"
#include "gateway_sim.h"
#include "ntcan.h"

namespace {

constexpr int kPairs = 20;
constexpr int kBurst = 1000;                 // frames sent before the receiver catches up
constexpr double kFullBusFramesPerS = 9000;  // 8-byte frames at 1 Mbit/s, with stuffing

gateway_sim::GatewaySim& gateway() {
  static gateway_sim::GatewaySim* sim = [] {
    gateway_sim::Config cfg;
    cfg.address = "127.0.0.1";
    cfg.can_port = 0;
    cfg.http_port = -1;
    cfg.log = false;
    for (int i = 0; i < kPairs; ++i) cfg.buses.push_back("can" + std::to_string(i));
    auto* s = new gateway_sim::GatewaySim(cfg);
    std::string error;
    if (!s->start(error)) {
      std::fprintf(stderr, "socketcand_bench: %s\n", error.c_str());
      std::exit(1);
    }
    char path[] = "/tmp/socketcand-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    std::ofstream conf(path);
    for (int i = 0; i < kPairs; ++i) {
      conf << i << " socketcand 127.0.0.1 " << s->can_port() << " can" << i << "\n";
    }
    conf.close();
    setenv("NTCAN_CONFIG", path, 1);
    ntcan_driver::reload_driver_config();
    return s;
  }();
  return *sim;
}

void BM_FramesThroughGateway(benchmark::State& state) {
  gateway();
  const int net = state.thread_index();
  NTCAN_HANDLE tx = NTCAN_NO_HANDLE, rx = NTCAN_NO_HANDLE;
  if (canOpen(net, 0, 10, 4 * kBurst, 1000, 5000, &tx) != NTCAN_SUCCESS ||
      canOpen(net, 0, 10, 4 * kBurst, 1000, 5000, &rx) != NTCAN_SUCCESS ||
      canIdAdd(rx, 0x181) != NTCAN_SUCCESS) {
    state.SkipWithError("cannot open the gateway net");
    return;
  }
  CMSG m{};
  m.id = 0x181;
  m.len = 8;
  std::vector<CMSG> in(256);
  std::int64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      m.data[0] = static_cast<std::uint8_t>(i);
      std::int32_t one = 1;
      if (canSend(tx, &m, &one) != NTCAN_SUCCESS) state.SkipWithError("canSend failed");
    }
    for (int got = 0; got < kBurst;) {
      std::int32_t n = static_cast<std::int32_t>(in.size());
      if (canRead(rx, in.data(), &n, nullptr) != NTCAN_SUCCESS) {
        state.SkipWithError("frames lost on the way");
        break;
      }
      got += n;
    }
    frames += kBurst;
  }
  canClose(tx);
  canClose(rx);
  state.counters["frames"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["x_1Mbit_bus"] = benchmark::Counter(
      static_cast<double>(frames) / kFullBusFramesPerS, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_FramesThroughGateway)->Threads(1)->Threads(kPairs)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
