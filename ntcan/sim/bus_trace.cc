// bus_trace.cc - candump-format trace file of the simulated nets.
#include "bus_trace.h"

#include <chrono>
#include <cstdlib>

#include "frame_text.h"

namespace ntcan_driver {

std::string trace_line(long long wall_us, int net, const CMSG& m) {
  char head[64];
  std::snprintf(head, sizeof head, "(%lld.%06lld) can%d ", wall_us / 1000000, wall_us % 1000000, net);
  return head + ntcan_frame::to_string(m);
}

void BusTrace::open_from_environment() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  const char* path = std::getenv("NTCAN_TRACE");
  if (path == nullptr || *path == '\0') return;
  file_ = std::fopen(path, "a");
  if (file_ == nullptr) std::fprintf(stderr, "ntcan: cannot open trace file %s\n", path);
}

void BusTrace::write(int net, const CMSG& m) {
  if (file_ == nullptr) return;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  std::string line = trace_line(static_cast<long long>(us), net, m);
  std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);
}

}  // namespace ntcan_driver
