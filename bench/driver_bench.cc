// driver_bench - the driver's nets side by side: 20 simulated nets polled with canTake from one
// thread and from 20 threads (a thread per net), how long a canTake on a simulated net takes
// while another thread's canOpen waits on a gateway that never answers, and the receive path
// per frame with 1 and with 127 handles on one net.
//
// Public driver interface only (bench_api.h), so that bench/compare.sh can build it against an
// older revision of the driver too.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_api.h"

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
// canOpen on the net waits for the whole of its bound. Set up by main before any driver call:
// the driver reads NTCAN_CONFIG on its first use.
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
  }
  int fd = -1;
};

// canTake on a simulated net while another thread keeps opening the hung gateway's net; only
// calls made while such an open was in progress count. The worst delays include the times the
// machine's scheduler ran other work; a call that waited for the open would take up to 1 s.
void BM_TakeBesideAHungGateway(benchmark::State& state) {
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

// The receive path per frame: one simulated net, N handles each enabling the identifiers of
// one device (0x180, 0x280 and 0x700 + its node-ID), and per iteration the frames of one
// 100 ms server cycle of a bus at full load (900) injected spread over those identifiers, then
// every handle taken once with canTake. The same frames and the same work for the server
// whatever N: the time per frame should hardly depend on N (a driver that matches each frame
// once on arrival); one that hands every frame to every handle pays N times. Both halves are
// timed, arrival and taking: work moved from one to the other shows as such.
constexpr int kReceiveNet = 200;
constexpr int kFramesPerCycle = 900;

void BM_ReceivePathPerFrame(benchmark::State& state) {
  const int handles = static_cast<int>(state.range(0));
  if (!ntcan_sim::simulated(kReceiveNet)) {
    state.SkipWithError("net 200 is not simulated");
    return;
  }
  std::vector<NTCAN_HANDLE> open;
  std::vector<CMSG> frames;
  for (int k = 1; k <= handles; ++k) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    if (canOpen(kReceiveNet, 0, 10, kFramesPerCycle, 1000, 1000, &h) != NTCAN_SUCCESS ||
        canIdAdd(h, 0x180 + k) != NTCAN_SUCCESS || canIdAdd(h, 0x280 + k) != NTCAN_SUCCESS ||
        canIdAdd(h, 0x700 + k) != NTCAN_SUCCESS) {
      state.SkipWithError("cannot open and set up the handles");
      return;
    }
    open.push_back(h);
  }
  // Frame i goes to handle i % N, its identifiers taken in turn.
  for (int i = 0; i < kFramesPerCycle; ++i) {
    const int k = i % handles + 1;
    const int which = (i / handles) % 3;
    CMSG m{};
    m.id = (which == 0 ? 0x180 : which == 1 ? 0x280 : 0x700) + k;
    m.len = which == 2 ? 1 : 8;
    m.data[0] = static_cast<std::uint8_t>(i);
    frames.push_back(m);
  }
  std::vector<CMSG> out(kFramesPerCycle);
  long taken = 0;
  using Clock = std::chrono::steady_clock;
  Clock::duration injecting{}, taking{};
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (const CMSG& m : frames) ntcan_sim::inject(kReceiveNet, m);
    const auto t1 = Clock::now();
    for (NTCAN_HANDLE h : open) {
      int32_t len = kFramesPerCycle;
      canTake(h, out.data(), &len);
      taken += len;
    }
    injecting += t1 - t0;
    taking += Clock::now() - t1;
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  for (NTCAN_HANDLE h : open) canClose(h);
  const long injected = static_cast<long>(state.iterations()) * kFramesPerCycle;
  if (taken != injected) {
    state.SkipWithError(
        ("taken " + std::to_string(taken) + " of " + std::to_string(injected) + " frames").c_str());
    return;
  }
  const double frames_done = static_cast<double>(injected);
  auto ns = [&](Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count() / frames_done;
  };
  const double cpu_ns = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) * 1e9 +
                        static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec);
  state.counters["handles"] = handles;
  // Wall time of the whole path, the same in CPU time of the thread (steadier on a busy
  // machine), and the wall time of each half: arrival (inject) and taking (canTake).
  state.counters["ns_per_frame"] = ns(injecting + taking);
  state.counters["cpu_ns_per_frame"] = cpu_ns / frames_done;
  state.counters["inject_ns_per_frame"] = ns(injecting);
  state.counters["take_ns_per_frame"] = ns(taking);
  state.SetItemsProcessed(injected);
}
BENCHMARK(BM_ReceivePathPerFrame)->Arg(1)->Arg(127)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  static HungGateway gateway;  // before the first driver call
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
