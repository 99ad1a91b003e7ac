// driver_bench - the driver's nets side by side: 20 simulated nets polled with canTake from one
// thread and from 20 threads (a thread per net), and how long a canTake on a simulated net
// takes while another thread's canOpen waits on a gateway that never answers.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_config.h"
#include "ntcan.h"

namespace {

constexpr int kNets = 20;
constexpr int kFirstNet = 220;  // nets 220..239: simulated
constexpr int kHungNet = 240;   // a gateway that accepts connections and never speaks
constexpr int kBesideNet = 241;

NTCAN_HANDLE open_net(int net) {
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  canOpen(net, 0, 10, 100, 1000, 1000, &h);
  canIdAdd(h, 0x181);
  return h;
}

const std::vector<NTCAN_HANDLE>& polled() {
  static std::vector<NTCAN_HANDLE>* handles = [] {
    auto* v = new std::vector<NTCAN_HANDLE>();
    for (int i = 0; i < kNets; ++i) v->push_back(open_net(kFirstNet + i));
    return v;
  }();
  return *handles;
}

void take_once(NTCAN_HANDLE h) {
  CMSG out[10];
  int32_t len = 10;
  benchmark::DoNotOptimize(canTake(h, out, &len));
}

// One thread takes from each of the 20 nets in turn.
void BM_Poll20Nets_OneThread(benchmark::State& state) {
  const auto& handles = polled();
  for (auto _ : state) {
    for (NTCAN_HANDLE h : handles) take_once(h);
  }
  state.SetItemsProcessed(state.iterations() * kNets);
}
BENCHMARK(BM_Poll20Nets_OneThread)->UseRealTime();

// 2 threads (one per core of a small machine) and 20 threads, each taking from its own net.
// items_per_second is the sum over the threads.
void BM_Poll20Nets_ThreadPerNet(benchmark::State& state) {
  const NTCAN_HANDLE h = polled()[static_cast<std::size_t>(state.thread_index() % kNets)];
  for (auto _ : state) take_once(h);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Poll20Nets_ThreadPerNet)->Threads(2)->Threads(kNets)->UseRealTime();

// A listening socket nobody accepts on: connects complete, the greeting never comes, and each
// canOpen on the net waits for the whole of its bound.
struct HungGateway {
  HungGateway() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 128);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string path = "/tmp/driver_bench_ntcan.conf";
    std::ofstream(path) << kHungNet << " socketcand 127.0.0.1 " << ntohs(a.sin_port) << " can0\n";
    setenv("NTCAN_CONFIG", path.c_str(), 1);
    ntcan_driver::reload_driver_config();
  }
  int fd = -1;
};

// canTake on a simulated net while another thread keeps opening the hung gateway's net; only
// calls made while such an open was in progress count. The worst delays include the times the
// machine's scheduler ran other work; a call that waited for the open would take up to 1 s.
void BM_TakeBesideAHungGateway(benchmark::State& state) {
  static HungGateway gateway;
  const NTCAN_HANDLE h = open_net(kBesideNet);
  std::atomic<bool> stop{false};
  std::atomic<bool> opening{false};
  std::thread opener([&] {
    while (!stop) {
      NTCAN_HANDLE hung = NTCAN_NO_HANDLE;
      opening = true;
      canOpen(kHungNet, 0, 10, 100, 1000, 1000, &hung);
      opening = false;
      if (hung != NTCAN_NO_HANDLE) canClose(hung);
    }
  });
  while (!opening) std::this_thread::yield();
  std::vector<double> delays;
  delays.reserve(1 << 24);
  for (auto _ : state) {
    const bool during = opening;
    const auto t0 = std::chrono::steady_clock::now();
    take_once(h);
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    if (during && opening && delays.size() < delays.capacity()) delays.push_back(us);
  }
  stop = true;
  opener.join();
  canClose(h);
  std::sort(delays.begin(), delays.end());
  auto at = [&](double q) {
    return delays.empty()
               ? 0
               : delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))];
  };
  state.counters["calls_during_hung_open"] = static_cast<double>(delays.size());
  state.counters["median_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["p99.9_us"] = at(0.999);
  state.counters["max_us"] = at(1.0);
}
BENCHMARK(BM_TakeBesideAHungGateway)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
