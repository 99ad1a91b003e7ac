// clock.cc - the framework's clock (real, scaled, virtual), VEXILsleep and VEXILtime.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "vexil/vexil_host.h"

namespace vexil {

namespace {

// The installed clock. A trivially destructible atomic: usable until the very end of the process.
std::atomic<Clock*> g_clock{nullptr};

Clock& real_clock() {
  // Never destroyed: threads may still ask for the time during process exit.
  static RealClock* c = new RealClock;
  return *c;
}

Timestamp system_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void real_sleep(std::int64_t ns) {
  if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

}  // namespace

Clock& clock() {
  Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : real_clock();
}

void set_clock(Clock* c) { g_clock.store(c, std::memory_order_release); }

// ---------------------------------------------------------------- RealClock, ScaledClock

Timestamp RealClock::now() { return system_now(); }
void RealClock::sleep_for(std::int64_t ns) { real_sleep(ns); }

ScaledClock::ScaledClock(double factor)
    : factor_(factor > 0 ? factor : 1.0), start_real_(system_now()) {}

Timestamp ScaledClock::now() {
  Timestamp real = system_now();
  return start_real_ + static_cast<Timestamp>(static_cast<double>(real - start_real_) * factor_);
}

void ScaledClock::sleep_for(std::int64_t ns) {
  real_sleep(static_cast<std::int64_t>(static_cast<double>(ns) / factor_));
}

// ---------------------------------------------------------------- VirtualClock

// Virtual clocks alive now. A thread's exit hook may still name a clock that a test made on
// its stack and has destroyed since; the hook only touches clocks in this set.
struct ClockRegistry {
  std::mutex mx;
  std::vector<VirtualClock*> live;
};

namespace {
ClockRegistry& registry() {
  static ClockRegistry* r = new ClockRegistry;  // never destroyed, like the log state
  return *r;
}
}  // namespace

// Per-thread record of a thread's relation to virtual clocks.
//
// counted_in: while the thread runs after having been woken by advance(), it is counted in
// that clock's running_; when the thread ends, it is taken out so that advance() does not
// wait for it forever. counted_in is written by advance() (under the clock's mutex) only while
// the thread is blocked as a sleeper, and otherwise only by the thread itself.
//
// keeps: the clocks this thread is a timekeeper of. Thread ids are reused by later threads,
// which must not inherit the role, so the id is removed when the thread ends.
struct ThreadExitHook {
  VirtualClock* counted_in = nullptr;
  std::vector<VirtualClock*> keeps;

  // Takes the thread out of the running count of the clock that woke it last.
  void release() {
    VirtualClock* c = counted_in;
    counted_in = nullptr;
    if (!c) return;
    ClockRegistry& reg = registry();
    std::lock_guard<std::mutex> lk(reg.mx);  // holds off the destruction of the clock
    if (std::find(reg.live.begin(), reg.live.end(), c) != reg.live.end()) c->thread_ended();
  }

  ~ThreadExitHook() {
    release();
    ClockRegistry& reg = registry();
    std::lock_guard<std::mutex> lk(reg.mx);
    auto alive = [&](VirtualClock* c) {
      return std::find(reg.live.begin(), reg.live.end(), c) != reg.live.end();
    };
    const std::thread::id me = std::this_thread::get_id();
    for (VirtualClock* c : keeps) {
      if (!alive(c)) continue;
      std::lock_guard<std::mutex> clk(c->mx_);
      c->timekeepers_.erase(std::remove(c->timekeepers_.begin(), c->timekeepers_.end(), me),
                            c->timekeepers_.end());
    }
  }
};

namespace {
ThreadExitHook& exit_hook() {
  static thread_local ThreadExitHook hook;
  return hook;
}
}  // namespace

struct VirtualClock::Sleeper {
  Timestamp deadline;
  ThreadExitHook* hook;
  bool woken = false;
  std::condition_variable cv;
};

VirtualClock& VirtualClock::install(Timestamp start) {
  // Created once and never destroyed: detached threads may sleep on it until the process ends.
  static VirtualClock* vc = new VirtualClock(start);
  vc->make_timekeeper();
  set_clock(vc);
  return *vc;
}

VirtualClock::VirtualClock(Timestamp start) : now_(start) {
  {
    ClockRegistry& reg = registry();
    std::lock_guard<std::mutex> lk(reg.mx);
    reg.live.push_back(this);
  }
  make_timekeeper();
}

VirtualClock::~VirtualClock() {
  // Do not leave a dangling clock installed.
  Clock* self = this;
  g_clock.compare_exchange_strong(self, nullptr);
  ClockRegistry& reg = registry();
  std::lock_guard<std::mutex> lk(reg.mx);
  reg.live.erase(std::remove(reg.live.begin(), reg.live.end(), this), reg.live.end());
}

Timestamp VirtualClock::now() {
  std::lock_guard<std::mutex> lk(mx_);
  return now_;
}

void VirtualClock::make_timekeeper() {
  ThreadExitHook& hook = exit_hook();
  if (std::find(hook.keeps.begin(), hook.keeps.end(), this) == hook.keeps.end())
    hook.keeps.push_back(this);
  std::lock_guard<std::mutex> lk(mx_);
  std::thread::id me = std::this_thread::get_id();
  if (std::find(timekeepers_.begin(), timekeepers_.end(), me) == timekeepers_.end())
    timekeepers_.push_back(me);
}

bool VirtualClock::is_timekeeper() const {
  std::lock_guard<std::mutex> lk(mx_);
  return std::find(timekeepers_.begin(), timekeepers_.end(), std::this_thread::get_id()) !=
         timekeepers_.end();
}

void VirtualClock::thread_ended() {
  std::lock_guard<std::mutex> lk(mx_);
  if (running_ > 0) --running_;
  cv_.notify_all();
}

void VirtualClock::sleep_for(std::int64_t ns) {
  if (ns <= 0) return;
  if (is_timekeeper()) {
    advance(ns);
    return;
  }
  ThreadExitHook& hook = exit_hook();
  // Woken by another virtual clock earlier: that clock no longer waits for this thread.
  if (hook.counted_in && hook.counted_in != this) hook.release();
  std::unique_lock<std::mutex> lk(mx_);
  if (hook.counted_in == this) {
    // Back to sleep after a wake-up: the advance in progress may go on.
    hook.counted_in = nullptr;
    --running_;
  }
  Sleeper s;
  s.deadline = now_ + ns;
  s.hook = &hook;
  sleepers_.emplace(s.deadline, &s);
  cv_.notify_all();
  s.cv.wait(lk, [&] { return s.woken; });
}

void VirtualClock::settle(std::unique_lock<std::mutex>& lk) {
  cv_.wait(lk, [&] { return running_ == 0; });
}

void VirtualClock::advance(std::int64_t ns) {
  std::lock_guard<std::mutex> serial(advance_mx_);
  std::unique_lock<std::mutex> lk(mx_);
  const Timestamp target = now_ + std::max<std::int64_t>(ns, 0);
  for (;;) {
    if (sleepers_.empty() || sleepers_.begin()->first > target) {
      now_ = target;
      return;
    }
    now_ = sleepers_.begin()->first;
    while (!sleepers_.empty() && sleepers_.begin()->first <= now_) {
      Sleeper* s = sleepers_.begin()->second;
      sleepers_.erase(sleepers_.begin());
      s->woken = true;
      s->hook->counted_in = this;
      ++running_;
      s->cv.notify_one();
    }
    settle(lk);
  }
}

bool VirtualClock::wait_for_sleepers(int n, int timeout_ms) {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return static_cast<int>(sleepers_.size()) >= n && running_ == 0; });
}

int VirtualClock::sleepers() const {
  std::lock_guard<std::mutex> lk(mx_);
  return static_cast<int>(sleepers_.size());
}

std::vector<Timestamp> VirtualClock::deadlines() const {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<Timestamp> d;
  d.reserve(sleepers_.size());
  for (const auto& e : sleepers_) d.push_back(e.first);
  return d;
}

void VirtualClock::set_query_step(std::int64_t ns) {
  std::lock_guard<std::mutex> lk(mx_);
  query_step_ = ns;
}

Timestamp VirtualClock::query() {
  std::int64_t step;
  {
    std::lock_guard<std::mutex> lk(mx_);
    step = query_step_;
  }
  if (step > 0 && is_timekeeper()) advance(step);
  return now();
}

}  // namespace vexil

// ---------------------------------------------------------------- framework entry points

void VEXILsleep(int seconds, int microseconds) {
  std::int64_t ns = static_cast<std::int64_t>(seconds) * 1000000000 +
                    static_cast<std::int64_t>(microseconds) * 1000;
  vexil::clock().sleep_for(ns < 0 ? 0 : ns);
}

std::time_t VEXILtime() { return static_cast<std::time_t>(vexil::clock().query() / 1000000000); }
