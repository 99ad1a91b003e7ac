// The SYNC producer of a line: a thread that sends SYNC on the line handle at a period of the
// service clock, with the optional counter.
#include <mutex>
#include <vector>

#include "D_korvel.h"
#include "canopen/sync.h"
#include "korvel_internal.h"
#include "service_clock.h"

namespace {

// The lines whose producer runs: stopped at process exit, before the driver goes away.
struct Producers {
  std::mutex mx;
  std::vector<canline*> lines;
  ~Producers() {
    std::vector<canline*> running;
    {
      std::lock_guard<std::mutex> lk(mx);
      running.swap(lines);
    }
    for (canline* l : running) l->stop_sync();
  }
};

Producers& producers() {
  static Producers p;
  return p;
}

}  // namespace

int canline::produce_sync(int period_ms, int overflow) {
  if (period_ms < 0 || overflow < 0 || overflow > 255 ||
      !korvel::canopen::valid_sync_overflow(static_cast<std::uint8_t>(overflow)))
    return NTCAN_INVALID_PARAMETER;
  if (period_ms == 0) {
    stop_sync();
    return korvel::kOk;
  }
  Producers& all = producers();  // constructed before the first thread starts
  std::lock_guard<std::mutex> lk(sync_mx_);
  sync_overflow_ = overflow;
  sync_period_ms_ = period_ms;
  if (!sync_thread_.joinable()) {
    sync_stop_ = false;
    sync_start_ms_ = korvel::monotonic_ms();  // the first SYNC one period from now
    sync_thread_ = std::thread([this] { sync_loop(); });
    std::lock_guard<std::mutex> lines(all.mx);
    all.lines.push_back(this);
  }
  sync_cv_.notify_all();
  return korvel::kOk;
}

void canline::stop_sync() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(sync_mx_);
    sync_stop_ = true;
    sync_period_ms_ = 0;
    t.swap(sync_thread_);
  }
  sync_cv_.notify_all();
  if (t.joinable()) t.join();
}

void canline::sync_loop() {
  std::unique_lock<std::mutex> lk(sync_mx_);
  std::uint8_t counter = 0;
  std::int64_t next = sync_start_ms_;
  for (;;) {
    next += sync_period_ms_.load();
    if (korvel::wait_until_ms(sync_cv_, lk, next, [this] { return sync_stop_; })) return;
    const auto overflow = static_cast<std::uint8_t>(sync_overflow_);
    counter = korvel::canopen::next_sync_counter(counter, overflow);
    // A producer that fell behind (a stalled machine) goes on from now, without a burst.
    const std::int64_t now = korvel::monotonic_ms();
    if (now - next > sync_period_ms_.load()) next = now;
    const NTCAN_HANDLE h = linehandle_.load();
    if (h <= 0) continue;  // the line is down: no SYNC until it is back
    CMSG m = korvel::to_cmsg(korvel::canopen::sync_frame(counter));
    lk.unlock();
    int32_t one = 1;
    if (canSend(h, &m, &one) == NTCAN_SUCCESS) ++syncs_sent_;
    lk.lock();
  }
}
