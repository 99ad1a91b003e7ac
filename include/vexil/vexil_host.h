// vexil_host.h - the host side of our framework layer: what a server's main program and the
// tests use to drive it (clock, log sink, archiving settings). The plug-in library never
// includes this header; it sees the framework only through include/.
#ifndef VEXIL_HOST_H
#define VEXIL_HOST_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "d_fct.h"

namespace vexil {

// ---------------------------------------------------------------- logging
struct LogLine {
  std::string heading;
  std::string text;
  unsigned flags;
  Timestamp time;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogLine& line) = 0;
};

// Installs a sink for printtostderr (null: standard error). Returns the previous sink.
LogSink* set_log_sink(LogSink* sink);
// The text printtostderr writes to standard error for a line.
std::string format_log_line(const LogLine& line);

// Captures log lines while it lives (installs itself, restores the previous sink).
class LogCapture : public LogSink {
 public:
  explicit LogCapture(bool echo = false);
  ~LogCapture() override;
  void write(const LogLine& line) override;
  std::vector<LogLine> lines() const;
  // Lines whose heading is `heading`.
  std::vector<LogLine> with_heading(const std::string& heading) const;
  // Number of lines whose heading + text contains `fragment`.
  int count(const std::string& fragment) const;
  bool contains(const std::string& fragment) const { return count(fragment) > 0; }
  void clear();
  // Blocks until a line containing `fragment` has been captured (for lines written by other
  // threads); returns false if `timeout_ms` of real time pass first.
  bool wait_for(const std::string& fragment, int timeout_ms = 10000) const;

 private:
  mutable std::mutex mx_;
  mutable std::condition_variable cv_;
  std::vector<LogLine> lines_;
  LogSink* previous_;
  bool echo_;
};

// ---------------------------------------------------------------- time
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Timestamp now() = 0;
  virtual void sleep_for(std::int64_t ns) = 0;
  // Time as VEXILtime() asks for it (a virtual clock may let time pass here).
  virtual Timestamp query() { return now(); }
};

// The clock behind VEXILsleep / VEXILtime. set_clock(nullptr) restores the real clock.
// Clocks are not owned; an installed clock must outlive every thread that sleeps on it.
Clock& clock();
void set_clock(Clock* c);

// The system clock.
class RealClock : public Clock {
 public:
  Timestamp now() override;
  void sleep_for(std::int64_t ns) override;
};

// Real time running `factor` times faster (for demonstrations).
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double factor);
  Timestamp now() override;
  void sleep_for(std::int64_t ns) override;

 private:
  double factor_;
  Timestamp start_real_;
};

// Virtual time for tests. Threads other than the timekeepers block in sleep_for until the
// virtual time reaches their deadline; a timekeeper's own sleep advances the time instead.
// The thread that creates the clock is a timekeeper; a thread stops being one when it ends.
//
// A thread woken by advance() runs on while the advance waits for it; it may take as long as
// it likes (run a command, block in a driver call), but it must not wait for the timekeeper
// (for a lock the timekeeper holds while advancing, or for something the timekeeper does only
// after the advance): that would deadlock. A sleep of 0 or less returns at once.
class VirtualClock : public Clock {
 public:
  // The process-lifetime virtual clock, installed as the framework's clock; created on first
  // use with the given start time. Never destroyed: detached threads may sleep on it forever.
  static VirtualClock& install(Timestamp start = 1700000000LL * 1000000000LL);

  explicit VirtualClock(Timestamp start);
  ~VirtualClock() override;

  Timestamp now() override;
  void sleep_for(std::int64_t ns) override;
  Timestamp query() override;

  // Makes the calling thread a timekeeper.
  void make_timekeeper();
  // Advances the time by ns: sleepers are woken in deadline order, and after each wake-up
  // the clock waits until every woken thread sleeps again or has ended.
  void advance(std::int64_t ns);
  void advance_seconds(double s) { advance(static_cast<std::int64_t>(s * 1e9)); }
  // Blocks (in real time) until at least n threads sleep on this clock and no woken thread
  // is still running. Returns false after `timeout_ms` of real time.
  bool wait_for_sleepers(int n, int timeout_ms = 10000);
  int sleepers() const;
  // Deadlines of the sleeping threads, earliest first.
  std::vector<Timestamp> deadlines() const;
  // Each VEXILtime() query on a timekeeper thread advances the time by ns (0: off).
  void set_query_step(std::int64_t ns);

 private:
  struct Sleeper;
  bool is_timekeeper() const;
  void settle(std::unique_lock<std::mutex>& lk);
  void thread_ended();
  friend struct ThreadExitHook;

  mutable std::mutex mx_;
  std::condition_variable cv_;
  std::mutex advance_mx_;
  Timestamp now_;
  std::int64_t query_step_ = 0;
  int running_ = 0;  // woken sleepers that have not slept again or ended
  std::multimap<Timestamp, Sleeper*> sleepers_;
  std::vector<std::thread::id> timekeepers_;
};

// ---------------------------------------------------------------- settings
void set_arch_mode(int mode);
void set_global_timestamp(Timestamp t);

}  // namespace vexil

#endif  // VEXIL_HOST_H
