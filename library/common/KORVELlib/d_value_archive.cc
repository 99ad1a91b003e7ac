// Archiving of the integer property: set_and_archive, the history created on first use, and
// the history's part in start-up and configuration.
#include <chrono>
#include <memory>
#include <string>

#include "d_value.h"
#include "korvel_internal.h"

namespace vexil {

namespace {
constexpr int kHistoryMode = 1001;
constexpr int kHistoryLength = 200000;
constexpr std::int64_t kNsPerSecond = 1000000000LL;
}  // namespace

D_value<int>::D_value(EqFct* owner, const std::string& name, const std::string& filepref, int rblen,
                      int loghist)
    : D_fct(name, owner, 0),
      arch_en_(true),
      hist_(),
      value_(0),
      filepref_(filepref),
      loghist_(loghist),
      rblen_(rblen),
      value_time_(0) {
  dmsg_supported();
  if (!arch_off()) {
    hist_ = std::make_unique<D_hist>(owner, basename() + ".HIST history", filepref_, kHistoryMode,
                                     rblen_, loghist_);
  }
}

int D_value<int>::set_and_archive(int val, ArchiveStatus status, Timestamp timestamp,
                                  EventId /*event_id*/) {
  logged_set(val);
  if (arch_off() || get_arch_mode() == 0) return -1;
  if (!hist_) archiver_setup();

  Timestamp ts = timestamp;
  if (ts == 0) ts = get_global_timestamp();
  if (ts == 0) {
    ts = std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count();
  }
  value_time_ = ts;

  // Whole seconds and microseconds within the second (floored, also before the epoch).
  std::int64_t seconds = ts / kNsPerSecond;
  std::int64_t rest = ts % kNsPerSecond;
  if (rest < 0) {
    rest += kNsPerSecond;
    --seconds;
  }
  const std::int64_t microseconds = rest / 1000;

  int arch_err = 0;
  if (hist_) {
    hist_->fill_hist(val, status, static_cast<std::uint32_t>(seconds),
                     static_cast<int>(microseconds / 1000), &arch_err);
  }
  return arch_err;
}

void D_value<int>::archiver_setup() {
  EqFct* loc = get_eqfct();
  const std::string loc_name = loc ? loc->get_location_name() : std::string();
  printtostderr("set_and_archive",
                "WARNING - postponed archiver setup - use correct constructor for <" + loc_name +
                    "> <" + basename() + ">",
                korvel::kLogFlags);

  arch_en_ = true;
  filepref_.clear();
  rblen_ = kHistoryLength;
  loghist_ = 0;

  if (arch_en_ && !arch_off()) {
    hist_ = std::make_unique<D_hist>(loc, basename() + ".HIST history", filepref_, kHistoryMode,
                                     rblen_, loghist_);
  }
  if (!hist_) return;

  for (int i = 1; i <= 3; ++i) detail::restore_conf(loc, hist_->get_p_prop(i));
  if (hist_->get_p_prop(4)) detail::restore_conf(loc, hist_->get_p_prop(5));

  hist_->auto_init();
  if (D_fct* p4 = hist_->get_p_prop(4)) p4->auto_init();
}

void D_value<int>::auto_init() {
  if (arch_en_ && hist_) hist_->auto_init();
}

void D_value<int>::conf_process(EqFct* loc, int mode) {
  D_fct::conf_process(loc, mode);
  if (hist_) {
    hist_->dynamic(dynamic());
    hist_->conf_process(loc, mode);
  }
}

}  // namespace vexil
