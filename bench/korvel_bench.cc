// Benchmarks of the library on the simulated driver: the polling pass over many nodes against
// a bare canTake on an empty queue (time and heap allocations per call), with warm and with
// cold caches, resident memory after a million polls, the frame path of the library against
// the bare driver call, PDOs taken with and without decoding them into properties, memory per
// node, an SDO read, and the pass with every node supervised.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "simdev/canopen_device.h"
#include "support/allocation_count.h"
#include "vexil/vexil_host.h"

namespace {

// Every heap allocation of the process is counted, to report allocations per call.
long allocations() { return korvel_test::allocations_in_process(); }

// Resident memory of the process in KiB.
double resident_kib() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Log lines of the library are not part of what is measured.
class Quiet : public vexil::LogSink {
 public:
  void write(const vexil::LogLine&) override {}
};

struct World {
  World() {
    vexil::VirtualClock::install();  // the supervision threads stay in their start pause
    vexil::set_log_sink(&quiet);
  }
  Quiet quiet;
  EqFct loc{"BENCH"};
};

World& world() {
  static World* w = new World();
  return *w;
}

D_can* started_node(int line, int node_id, const std::string& name) {
  auto* n = new D_can(name, &world().loc);
  IIII id{line, node_id, 0, 0};
  n->set_value(&id);
  n->init(0x700 + node_id);
  return n;
}

CMSG guarding_answer(int node_id) {
  CMSG m{};
  m.id = 0x700 + node_id;
  m.len = 1;
  m.data[0] = 0x05;
  return m;
}

// 2,540 masters: 20 lines with node-IDs 1 to 127 each.
const std::vector<D_can*>& masters_2540() {
  static std::vector<D_can*>* nodes = [] {
    auto* v = new std::vector<D_can*>();
    for (int line = 1; line <= 20; ++line) {
      for (int id = 1; id <= 127; ++id)
        v->push_back(started_node(line, id, "L" + std::to_string(line) + "N" + std::to_string(id)));
    }
    return v;
  }();
  return *nodes;
}

// One can_looping pass over the 2,540 masters; compare ns_per_node with BM_BareCanTakeEmptyQueue
// of the same run.
void BM_LoopingPass2540Masters(benchmark::State& state) {
  masters_2540();
  can_looping();
  const long before = allocations();
  for (auto _ : state) can_looping();
  const double nodes_per_pass = static_cast<double>(korvel_polled_nodes().size());
  const double calls = nodes_per_pass * static_cast<double>(state.iterations());
  state.counters["nodes"] = nodes_per_pass;
  state.counters["ns_per_node"] =
      benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_node"] = static_cast<double>(allocations() - before) / calls;
}
BENCHMARK(BM_LoopingPass2540Masters)->Unit(benchmark::kMicrosecond);

// What a server's other work does to the caches in the 100 ms between two passes: a walk over
// far more memory than they hold.
void evict_caches() {
  static auto* junk = new std::vector<char>(std::size_t{512} << 20);
  for (std::size_t k = 0; k < junk->size(); k += 64) (*junk)[k] = static_cast<char>(k);
  benchmark::ClobberMemory();
}

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Times `pass` (over `calls` nodes or handles) with cold caches before each; reports ns per
// node or call. The time is the thread's CPU time: on a shared machine the wall time would
// also count the time the thread waited for a core.
template <class Pass>
void time_cold_passes(benchmark::State& state, double calls, Pass pass) {
  double seconds = 0;
  for (auto _ : state) {
    evict_caches();
    const double t0 = thread_cpu_seconds();
    pass();
    const double s = thread_cpu_seconds() - t0;
    state.SetIterationTime(s);
    seconds += s;
  }
  state.counters["ns_per_node"] = seconds * 1e9 / (calls * static_cast<double>(state.iterations()));
}

// The pass as a server sees it at 10 Hz: the caches hold none of the nodes when it starts.
void BM_LoopingPass2540MastersColdCache(benchmark::State& state) {
  masters_2540();
  can_looping();
  time_cold_passes(state, static_cast<double>(korvel_polled_nodes().size()), [] { can_looping(); });
}
BENCHMARK(BM_LoopingPass2540MastersColdCache)
    ->Iterations(50)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The driver's part of the cold pass: canTake on each master's handle in turn, caches cold.
void BM_BareCanTake2540HandlesColdCache(benchmark::State& state) {
  std::vector<NTCAN_HANDLE> handles;
  for (D_can* n : masters_2540()) handles.push_back(n->handle());
  CMSG out[100];
  time_cold_passes(state, static_cast<double>(handles.size()), [&] {
    for (NTCAN_HANDLE h : handles) {
      int32_t len = 100;
      benchmark::DoNotOptimize(canTake(h, out, &len));
    }
  });
}
BENCHMARK(BM_BareCanTake2540HandlesColdCache)
    ->Iterations(50)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The floor of any poll: canTake on a handle of its own whose queue is empty.
void BM_BareCanTakeEmptyQueue(benchmark::State& state) {
  static NTCAN_HANDLE h = [] {
    NTCAN_HANDLE handle = NTCAN_NO_HANDLE;
    canOpen(210, 0, 10, 100, 1000, 1000, &handle);
    canIdAdd(handle, 0x181);
    return handle;
  }();
  CMSG out[10];
  const long before = allocations();
  for (auto _ : state) {
    int32_t len = 10;
    benchmark::DoNotOptimize(canTake(h, out, &len));
  }
  state.counters["allocs_per_call"] =
      static_cast<double>(allocations() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BareCanTakeEmptyQueue);

// The driver's part of a polling pass: canTake on each of the 2,540 masters' handles in turn,
// without the library (its lock per node, its virtual fill); the caches are as cold as there.
void BM_BareCanTake2540HandlesInTurn(benchmark::State& state) {
  std::vector<NTCAN_HANDLE> handles;
  for (D_can* n : masters_2540()) handles.push_back(n->handle());
  CMSG out[100];
  for (auto _ : state) {
    for (NTCAN_HANDLE h : handles) {
      int32_t len = 100;
      benchmark::DoNotOptimize(canTake(h, out, &len));
    }
  }
  const double calls =
      static_cast<double>(handles.size()) * static_cast<double>(state.iterations());
  state.counters["ns_per_call"] =
      benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareCanTake2540HandlesInTurn)->Unit(benchmark::kMicrosecond);

// Resident memory before and after a million polls (about 394 passes over the 2,540 masters).
void BM_ResidentAfterAMillionPolls(benchmark::State& state) {
  masters_2540();
  for (int i = 0; i < 10; ++i) can_looping();
  double before = 0;
  double after = 0;
  long polls = 0;
  for (auto _ : state) {
    before = resident_kib();
    polls = 0;
    while (polls < 1000000) {
      can_looping();
      polls += static_cast<long>(korvel_polled_nodes().size());
    }
    after = resident_kib();
  }
  state.counters["polls"] = static_cast<double>(polls);
  state.counters["rss_before_MiB"] = before / 1024;
  state.counters["rss_growth_KiB"] = after - before;
}
BENCHMARK(BM_ResidentAfterAMillionPolls)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same 100-frame batch: put on the bus, then taken by the bare driver or by the library.
constexpr int kBatch = 100;
CMSG batch_frames[kBatch];

D_can* frame_path_node() {
  static D_can* n = [] {
    D_can* node = started_node(21 - 1, 126, "FRAMEPATH");  // line 20, out of the way
    for (int i = 0; i < kBatch; ++i) batch_frames[i] = guarding_answer(126);
    return node;
  }();
  return n;
}

void put_batch() {
  for (int i = 0; i < kBatch; ++i) ntcan_sim::inject(19, batch_frames[i]);
}

// Only the taking is timed: the batch is put on the bus outside the measured interval.
template <class Take>
void time_batches(benchmark::State& state, Take take) {
  for (auto _ : state) {
    put_batch();
    const auto t0 = std::chrono::steady_clock::now();
    take();
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Batch100_BareCanTake(benchmark::State& state) {
  D_can* n = frame_path_node();
  CMSG out[kBatch];
  time_batches(state, [&] {
    int32_t len = kBatch;
    canTake(n->handle(), out, &len);
    benchmark::DoNotOptimize(out);
  });
}
BENCHMARK(BM_Batch100_BareCanTake)->UseManualTime();

void BM_Batch100_FillAndArray(benchmark::State& state) {
  D_can* n = frame_path_node();
  CMSG copy[kBatch];
  time_batches(state, [&] {
    n->can_fill();
    int len = 0;
    n->can_array(copy, &len);
    benchmark::DoNotOptimize(copy);
  });
}
BENCHMARK(BM_Batch100_FillAndArray)->UseManualTime();

// Process data: a batch of 100 PDOs, the node's two TPDOs in turn (four objects: 32, 8, 8 and
// 16 bits), taken by a can_looping pass for a node that decodes them into properties and for
// one that only takes them. Only one of the two nodes gets the batch; the difference per frame
// is the decoding, against BM_Batch100_BareCanTake of the same run.
CMSG pdo_frame(int pdo, int node_id, int i) {
  CMSG m{};
  m.id = 0x80 + 0x100 * pdo + node_id;
  m.len = pdo == 1 ? 6 : 2;
  for (int b = 0; b < m.len; ++b) m.data[b] = static_cast<std::uint8_t>(i * 7 + b);
  return m;
}

D_can* pdo_node(bool decoding) {
  auto make = [](int id, const char* name, bool with_data) {
    D_can* n = started_node(20, id, name);
    n->AddIdent(0x180 + id);
    n->AddIdent(0x280 + id);
    if (with_data) {
      using K = D_can::pd_kind;
      D_can::pd_pdo one{static_cast<std::uint32_t>(0x180 + id),
                        255,
                        0,
                        {{0x6000, 1, 32, K::unsigned_int},
                         {0x6000, 2, 8, K::signed_int},
                         {0x6000, 3, 8, K::boolean}}};
      D_can::pd_pdo two{
          static_cast<std::uint32_t>(0x280 + id), 255, 0, {{0x6001, 1, 16, K::signed_int}}};
      n->set_process_data({one, two}, {});
    }
    return n;
  };
  static D_can* plain = make(124, "PDOPLAIN", false);
  static D_can* with_data = make(125, "PDODATA", true);
  return decoding ? with_data : plain;
}

void time_pdo_batches(benchmark::State& state, bool decoding) {
  const int id = decoding ? 125 : 124;
  pdo_node(!decoding);  // both nodes exist in both measurements
  pdo_node(decoding);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) ntcan_sim::inject(19, pdo_frame(1 + i % 2, id, i));
    const auto t0 = std::chrono::steady_clock::now();
    can_looping();
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Batch100Pdos_LoopingTakesOnly(benchmark::State& state) { time_pdo_batches(state, false); }
BENCHMARK(BM_Batch100Pdos_LoopingTakesOnly)->UseManualTime();

void BM_Batch100Pdos_LoopingDecodes(benchmark::State& state) { time_pdo_batches(state, true); }
BENCHMARK(BM_Batch100Pdos_LoopingDecodes)->UseManualTime();

// Heap bytes of one node, constructed and started as a master (sub-properties, buffers).
void BM_MemoryPerStartedNode(benchmark::State& state) {
  constexpr int kNodes = 200;
  double per_node = 0;
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kNodes; ++i)
      started_node(18, 1 + i % 127,
                   "MEM" + std::to_string(i) + "_" + std::to_string(state.iterations()));
    const size_t after = mallinfo2().uordblks;
    per_node = static_cast<double>(after - before) / kNodes;
  }
  state.counters["bytes_per_node"] = per_node;
}
BENCHMARK(BM_MemoryPerStartedNode)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reading a 60-character manufacturer name from a device that answers at once.
void BM_SdoRead60Characters(benchmark::State& state) {
  static D_can* n = [] {
    auto dev = std::make_shared<simdev::canopen::Device>(100);
    dev->set_identity(
        std::string("Northwind Motion Systems servo drive controller series 9000X").substr(0, 60),
        "H1", "S1");
    ntcan_sim::attach(16, dev);
    D_can* node = started_node(17, 100, "SDO");
    node->AddIdent(0x580 + 100);
    return node;
  }();
  ntcan_test::keep_records(true);  // to count the frames of one read
  ntcan_sim::clear_bus_log();
  n->get_manufacture();
  const double frames = static_cast<double>(ntcan_sim::bus_log(16).size());
  ntcan_test::keep_records(false);
  for (auto _ : state) {
    if (n->get_manufacture() != 0) state.SkipWithError("read failed");
  }
  state.counters["frames_per_read"] = frames;
}
BENCHMARK(BM_SdoRead60Characters)->Unit(benchmark::kMicrosecond);

// The pass with lost-device supervision switched on for every one of the 2,540 masters (kept
// on afterwards: this benchmark runs last).
void BM_LoopingPass2540MastersSupervised(benchmark::State& state) {
  for (D_can* n : masters_2540()) n->supervise_alive(60000);
  can_looping();
  for (auto _ : state) can_looping();
  const double calls =
      static_cast<double>(korvel_polled_nodes().size()) * static_cast<double>(state.iterations());
  state.counters["ns_per_node"] =
      benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoopingPass2540MastersSupervised)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
