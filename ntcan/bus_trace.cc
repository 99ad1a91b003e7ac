// bus_trace.cc - candump-format trace file of every net.
#include "bus_trace.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "canbus/frame_text.h"
#include "transport.h"

namespace ntcan_driver {

std::string trace_line(long long wall_us, int net, const CMSG& m) {
  char head[64];
  std::snprintf(head, sizeof head, "(%lld.%06lld) can%d ", wall_us / 1000000, wall_us % 1000000,
                net);
  return head + canbus::to_string(m);
}

void BusTrace::open_from_environment() {
  std::lock_guard<std::mutex> lock(mx_);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  on_ = false;
  const char* path = std::getenv("NTCAN_TRACE");
  if (path == nullptr || *path == '\0') return;
  file_ = std::fopen(path, "a");
  if (file_ == nullptr) {
    std::fprintf(stderr, "ntcan: cannot open trace file %s\n", path);
    return;
  }
  on_ = true;
}

void BusTrace::write(int net, const CMSG& m) {
  if (!on()) return;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  write(static_cast<long long>(us), net, m);
}

void BusTrace::write(long long wall_us, int net, const CMSG& m) {
  if (!on()) return;
  const std::string line = trace_line(wall_us, net, m);
  std::lock_guard<std::mutex> lock(mx_);
  if (file_ == nullptr) return;
  std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);  // people watch it live
}

BusTrace& bus_trace() {
  static BusTrace* trace = [] {
    auto* t = new BusTrace;
    t->open_from_environment();
    return t;
  }();
  return *trace;
}

void TraceDuty::join(Port* p) {
  std::lock_guard<std::mutex> lock(mx_);
  ports_.push_back(p);
  if (ports_.size() == 1 && bus_trace().on()) p->set_tracing(true);
}

void TraceDuty::leave(Port* p) {
  std::lock_guard<std::mutex> lock(mx_);
  const auto it = std::find(ports_.begin(), ports_.end(), p);
  if (it == ports_.end()) return;
  const bool had_duty = it == ports_.begin();
  ports_.erase(it);
  if (had_duty && !ports_.empty() && bus_trace().on()) ports_.front()->set_tracing(true);
}

}  // namespace ntcan_driver
