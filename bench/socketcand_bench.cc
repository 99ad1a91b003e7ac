// socketcand_bench - the socketcand path, from the text codec to the simulated gateway.
//
// - The codec: cutting a stream of frames into bodies and parsing them, and encoding
//   "< frame ... >", in ns per message and allocations per message, through the API that
//   hands out strings and through the one that allocates nothing.
// - A plant's load on the simulated gateway: 20 buses of 9,000 frames/s each (a fully loaded
//   1 Mbit/s bus), one client sending on each bus and one or three receiving, over raw TCP
//   clients on loopback. Reported: the frames that went in and out, the share of a core the
//   gateway's thread took (the process's CPU time less the client threads'), and the
//   allocations per frame of the whole process while frames flow (the clients make none).
// - Frames per second from one driver handle to another through the gateway: one pair of
//   connections, and 20 pairs at once (each pair on a bus of its own, so no frame is fanned
//   out); the counter x_1Mbit_bus says how many fully loaded buses the path could feed.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "canbus/socketcand_wire.h"
#include "gateway_sim/gateway_sim.h"
#include "ntcan.h"
#include "ntcan/test_controls.h"
#include "support/allocation_count.h"

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
    ntcan_test::reload_config();
    return s;
  }();
  return *sim;
}

// ------------------------------------------------------------------ the codec

// What a gateway sends a client: frames of every shape, each after a blank.
std::string frame_stream(int frames) {
  std::string s;
  for (int i = 0; i < frames; ++i) {
    CMSG m{};
    m.id = i % 4 == 3 ? (NTCAN_20B_BASE | (0x1ABCD00 + i)) : 0x180 + i % 0x600;
    m.len =
        i % 8 == 7 ? static_cast<std::uint8_t>(NTCAN_RTR | 8) : static_cast<std::uint8_t>(i % 9);
    for (int b = 0; b < 8; ++b) m.data[b] = static_cast<std::uint8_t>(i * 7 + b);
    s += ' ';
    s += canbus::socketcand::encode_frame(m, 1700000000 + i / 1000, (i * 997) % 1000000);
  }
  return s;
}

constexpr int kStreamFrames = 4096;
constexpr std::size_t kReadChunk = 8192;  // as a reader thread receives them

void set_per_message(benchmark::State& state, std::int64_t messages, long allocations) {
  state.counters["time_per_message"] = benchmark::Counter(
      static_cast<double>(messages), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_message"] =
      static_cast<double>(allocations) / static_cast<double>(std::max<std::int64_t>(messages, 1));
}

// Bodies as strings, each parsed into a fresh Message.
void BM_ReadAndParse_Strings(benchmark::State& state) {
  const std::string stream = frame_stream(kStreamFrames);
  canbus::socketcand::MessageReader reader;
  std::vector<std::string> bodies;
  std::int64_t messages = 0;
  std::uint32_t check = 0;
  const long allocs_before = korvel_test::allocations_by_this_thread();
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += kReadChunk) {
      bodies.clear();
      reader.feed(stream.data() + at, std::min(kReadChunk, stream.size() - at), bodies);
      for (const std::string& b : bodies)
        check += static_cast<std::uint32_t>(canbus::socketcand::parse(b).frame.id);
      messages += static_cast<std::int64_t>(bodies.size());
    }
  }
  benchmark::DoNotOptimize(check);
  set_per_message(state, messages, korvel_test::allocations_by_this_thread() - allocs_before);
}

// Bodies as views handed to a callback, parsed into one Message kept for its storage.
void BM_ReadAndParse_Views(benchmark::State& state) {
  const std::string stream = frame_stream(kStreamFrames);
  canbus::socketcand::MessageReader reader;
  canbus::socketcand::Message m;
  std::int64_t messages = 0;
  std::uint32_t check = 0;
  const long allocs_before = korvel_test::allocations_by_this_thread();
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += kReadChunk) {
      reader.feed(stream.data() + at, std::min(kReadChunk, stream.size() - at),
                  [&](std::string_view body) {
                    canbus::socketcand::parse(body, m);
                    check += static_cast<std::uint32_t>(m.frame.id);
                    ++messages;
                  });
    }
  }
  benchmark::DoNotOptimize(check);
  set_per_message(state, messages, korvel_test::allocations_by_this_thread() - allocs_before);
}

std::vector<CMSG> frames_to_encode() {
  std::vector<CMSG> frames(256);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    CMSG& m = frames[i];
    m.id = i % 4 == 3 ? static_cast<std::int32_t>(NTCAN_20B_BASE | (0x1ABCD00 + i))
                      : static_cast<std::int32_t>(0x180 + i);
    m.len = static_cast<std::uint8_t>(i % 9);
    for (int b = 0; b < 8; ++b) m.data[b] = static_cast<std::uint8_t>(i * 7 + b);
  }
  return frames;
}

// A frame for a client's output as a string of its own, appended.
void BM_EncodeFrame_String(benchmark::State& state) {
  const std::vector<CMSG> frames = frames_to_encode();
  std::string out;
  out.reserve(64 * frames.size());
  std::int64_t messages = 0;
  const long allocs_before = korvel_test::allocations_by_this_thread();
  for (auto _ : state) {
    out.clear();
    for (const CMSG& m : frames) {
      out += ' ';
      out += canbus::socketcand::encode_frame(m, 1700000000, 123456);
    }
    benchmark::DoNotOptimize(out.data());
    messages += static_cast<std::int64_t>(frames.size());
  }
  set_per_message(state, messages, korvel_test::allocations_by_this_thread() - allocs_before);
}

// The same written into a buffer of the caller's and appended.
void BM_EncodeFrame_Buffer(benchmark::State& state) {
  const std::vector<CMSG> frames = frames_to_encode();
  std::string out;
  out.reserve(64 * frames.size());
  std::int64_t messages = 0;
  char text[1 + canbus::socketcand::kMaxFrameText];
  text[0] = ' ';
  const long allocs_before = korvel_test::allocations_by_this_thread();
  for (auto _ : state) {
    out.clear();
    for (const CMSG& m : frames) {
      out.append(text, 1 + canbus::socketcand::write_frame(text + 1, m, 1700000000, 123456));
    }
    benchmark::DoNotOptimize(out.data());
    messages += static_cast<std::int64_t>(frames.size());
  }
  set_per_message(state, messages, korvel_test::allocations_by_this_thread() - allocs_before);
}

BENCHMARK(BM_ReadAndParse_Strings);
BENCHMARK(BM_ReadAndParse_Views);
BENCHMARK(BM_EncodeFrame_String);
BENCHMARK(BM_EncodeFrame_Buffer);

// ------------------------------------------------------------------ a plant's load

constexpr int kBusFramesPerS = 9000;
constexpr auto kPlantRun = std::chrono::seconds(3);
constexpr char kSendText[] = "< send 181 8 00 11 22 33 44 55 66 77 >";
constexpr std::size_t kSendSize = sizeof kSendText - 1;

double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double process_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A raw-mode client of bus, over a blocking socket; -1 when the gateway did not let it in.
int raw_client(int port, const std::string& bus) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  const std::string hello = "< open " + bus + " >< rawmode >";
  int replies = 0;  // "< hi >", "< ok >", "< ok >"
  char buf[256];
  if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()))
    replies = -10;
  while (replies >= 0 && replies < 3) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    replies += static_cast<int>(std::count(buf, buf + n, '>'));
  }
  if (replies != 3) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Per bus one sender at kBusFramesPerS and `receivers` receivers, for kPlantRun.
void BM_GatewayPlantLoad(benchmark::State& state) {
  gateway_sim::GatewaySim& sim = gateway();
  const int receivers = static_cast<int>(state.range(0));
  std::vector<int> senders, readers;
  for (int bus = 0; bus < kPairs; ++bus) {
    const std::string name = "can" + std::to_string(bus);
    senders.push_back(raw_client(sim.can_port(), name));
    for (int r = 0; r < receivers; ++r) readers.push_back(raw_client(sim.can_port(), name));
    if (!sim.wait_clients(name, 1 + receivers, std::chrono::seconds(5))) {
      state.SkipWithError("clients did not get in");
    }
  }
  if (std::count(senders.begin(), senders.end(), -1) +
          std::count(readers.begin(), readers.end(), -1) >
      0)
    state.SkipWithError("a client was refused");

  // One write per bus and millisecond carries the frames due by then.
  std::string burst;
  for (int i = 0; i < kBusFramesPerS / 100; ++i) burst += kSendText;
  std::vector<pollfd> fds;
  for (int fd : readers) fds.push_back(pollfd{fd, POLLIN, 0});

  std::int64_t sent_per_bus = 0, received = 0;
  double gateway_cpu = 0, wall = 0;
  long allocations = 0;
  for (auto _ : state) {
    if (state.error_occurred()) break;
    double sender_cpu = 0, reader_cpu = 0;
    std::atomic<bool> sending{true};
    std::int64_t expected = 0;
    const double process_before = process_cpu_s();
    const double main_before = thread_cpu_s();
    const long allocs_before = korvel_test::allocations_in_process();
    const auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
      const double cpu0 = thread_cpu_s();
      timespec tick{};
      clock_gettime(CLOCK_MONOTONIC, &tick);
      std::int64_t sent = 0;
      for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed >= kPlantRun) break;
        const std::int64_t due =
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() *
            kBusFramesPerS / 1000000;
        const std::int64_t n = std::min<std::int64_t>(due - sent, kBusFramesPerS / 100);
        if (n > 0) {
          for (int fd : senders) {
            const std::size_t size = static_cast<std::size_t>(n) * kSendSize;
            for (std::size_t off = 0; off < size;) {
              const ssize_t w = ::send(fd, burst.data() + off, size - off, MSG_NOSIGNAL);
              if (w <= 0) break;
              off += static_cast<std::size_t>(w);
            }
          }
          sent += n;
        }
        tick.tv_nsec += 1000000;
        if (tick.tv_nsec >= 1000000000) {
          tick.tv_nsec -= 1000000000;
          ++tick.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
      }
      sent_per_bus = sent;
      sender_cpu = thread_cpu_s() - cpu0;
      sending = false;
    });
    std::thread reader([&] {
      const double cpu0 = thread_cpu_s();
      std::vector<char> buf(1 << 16);
      auto quiet_since = std::chrono::steady_clock::now();
      for (;;) {
        const bool done = !sending.load();
        if (done && expected == 0) expected = sent_per_bus * receivers * kPairs;
        if (done && received >= expected) break;
        if (::poll(fds.data(), fds.size(), 100) == 0 && done &&
            std::chrono::steady_clock::now() - quiet_since > std::chrono::seconds(1))
          break;  // what has not come by now was lost
        for (pollfd& p : fds) {
          if (!(p.revents & POLLIN)) continue;
          const ssize_t n = ::recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n > 0) {
            received += std::count(buf.data(), buf.data() + n, '>');
            quiet_since = std::chrono::steady_clock::now();
          }
        }
      }
      reader_cpu = thread_cpu_s() - cpu0;
    });
    sender.join();
    reader.join();
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    allocations = korvel_test::allocations_in_process() - allocs_before;
    gateway_cpu =
        process_cpu_s() - process_before - sender_cpu - reader_cpu - (thread_cpu_s() - main_before);
  }
  for (int fd : senders) ::close(fd);
  for (int fd : readers) ::close(fd);
  for (int bus = 0; bus < kPairs; ++bus)
    sim.wait_clients("can" + std::to_string(bus), 0, std::chrono::seconds(5));

  const double frames_in = static_cast<double>(sent_per_bus) * kPairs;
  state.counters["frames_in_per_s"] = frames_in / std::chrono::duration<double>(kPlantRun).count();
  state.counters["frames_out"] = static_cast<double>(received);
  state.counters["lost"] = frames_in * receivers - static_cast<double>(received);
  state.counters["gateway_core_pct"] = 100.0 * gateway_cpu / wall;
  state.counters["allocs_per_frame"] = static_cast<double>(allocations) / std::max(frames_in, 1.0);
}

BENCHMARK(BM_GatewayPlantLoad)->ArgName("receivers")->Arg(1)->Arg(3)->Iterations(1)->UseRealTime();

// ------------------------------------------------------------------ through the driver

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
