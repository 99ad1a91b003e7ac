// test_hooks.h - where the nine functions meet the test controls (ntcan/test_controls.h),
// whatever transport serves the net: the fault switches per net, the call record and the baud
// rates set. While no control is on, a question costs one atomic load and takes no lock.
//
// Locks: one, a leaf: nothing else is taken while it is held, and it is never held during
// transport I/O.
#ifndef NTCAN_TEST_HOOKS_H
#define NTCAN_TEST_HOOKS_H

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "ntcan/nets.h"
#include "ntcan/test_controls.h"

namespace ntcan_driver {

class TestHooks {
 public:
  enum class Fault { kOpen, kBaudrate, kStatus, kClose };
  // Calls kept in the record, the most recent ones.
  static constexpr std::size_t kKeptCalls = 100000;

  // ---- asked by the nine functions
  // Calls go into the record (and frames into the simulated buses' logs).
  bool recording() const { return recording_.load(std::memory_order_relaxed); }
  // A fault switch was set since the last reset.
  bool armed() const { return armed_.load(std::memory_order_acquire); }
  bool net_down(int net);
  int down_open_status(int net);
  // True if the switch makes this call fail (status set); counts the call against it.
  bool trip(int net, Fault which, int& status);
  // What canStatus reports instead of the transport's boardstatus, if a test set it.
  std::optional<std::uint32_t> boardstatus(int net);
  void record(ntcan_test::Call call);
  void baudrate_set(int net, std::uint32_t code);

  // ---- set by the controls
  void arm(int net, Fault which, int status, int times);
  void set_boardstatus(int net, std::uint32_t boardstatus);
  void set_down(int net, bool down, int open_status);
  void clear(int net);
  // Every switch, the record and the baud rates (not whether records are kept).
  void clear_all();
  void keep_records(bool on) { recording_ = on; }
  std::vector<ntcan_test::Call> calls(const std::string* op);
  void clear_calls();
  std::uint32_t baudrate(int net);

 private:
  std::mutex mx_;
  std::array<NetFaults, kNets> faults_;
  std::array<std::uint32_t, kNets> baudrate_{};  // 0: never set
  std::deque<ntcan_test::Call> calls_;
  std::atomic<bool> armed_{false};
  std::atomic<bool> recording_{false};
};

}  // namespace ntcan_driver

#endif  // NTCAN_TEST_HOOKS_H
