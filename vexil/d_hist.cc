// d_hist.cc - history of an archived property: a bounded ring of archived values and its
// read-only sub-properties.
#include "d_fct.h"

namespace {

// A sub-property showing one of the history's counters. Reads take the history's mutex, since
// the counters change on the threads that archive values; clients cannot set them.
class HistCounter : public D_int_ptr {
 public:
  HistCounter(const std::string& name, int* ptr, EqFct* owner, std::mutex* mx)
      : D_int_ptr(name, ptr, owner), mx_(mx) {}

  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override {
    std::lock_guard<std::mutex> lk(*mx_);
    return D_int_ptr::get(adr, in, out, loc);
  }
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override {
    return D_fct::set(adr, in, out, loc);
  }
  void set_value(int) override {}

 private:
  std::mutex* mx_;
};

}  // namespace

D_hist::D_hist(EqFct* owner, const std::string& name, const std::string& filepref, int mode,
               int rblen, int loghist)
    : D_fct(name, owner),
      filepref_(filepref),
      mode_(mode),
      rblen_(rblen > 0 ? rblen : 0),
      loghist_(loghist) {
  const std::string base = basename();
  subs_.push_back(std::make_unique<HistCounter>(base + ".HIST_COUNT", &count_, owner, &mx_));
  subs_.push_back(std::make_unique<HistCounter>(base + ".HIST_LENGTH", &rblen_, owner, &mx_));
  subs_.push_back(std::make_unique<HistCounter>(base + ".HIST_MODE", &mode_, owner, &mx_));
  if (loghist_ > 0) {
    subs_.push_back(std::make_unique<HistCounter>(base + ".HIST_LOG", &loghist_, owner, &mx_));
    subs_.push_back(std::make_unique<HistCounter>(base + ".HIST_STARTED", &started_, owner, &mx_));
  }
}

// The sub-properties go with the history (they unregister themselves from the location).
D_hist::~D_hist() = default;

void D_hist::auto_init() {
  std::lock_guard<std::mutex> lk(mx_);
  ++started_;
}

void D_hist::conf_process(EqFct* loc, int mode) { D_fct::conf_process(loc, mode); }

void D_hist::fill_hist(int value, ArchiveStatus status, std::uint32_t seconds, int milliseconds,
                       int* err) {
  {
    std::lock_guard<std::mutex> lk(mx_);
    // The ring grows on demand up to its length; beyond it the oldest entry goes.
    if (rblen_ > 0) {
      if (ring_.size() >= static_cast<std::size_t>(rblen_)) ring_.pop_front();
      ring_.push_back(Entry{value, status, seconds, milliseconds});
    }
    ++count_;
  }
  if (err) *err = 0;
}

D_fct* D_hist::get_p_prop(int i) {
  if (i < 1 || static_cast<std::size_t>(i) > subs_.size()) return nullptr;
  return subs_[static_cast<std::size_t>(i) - 1].get();
}

std::vector<D_hist::Entry> D_hist::entries() const {
  std::lock_guard<std::mutex> lk(mx_);
  return std::vector<Entry>(ring_.begin(), ring_.end());
}
