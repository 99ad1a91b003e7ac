// d_fct.cc - the property base class: defaults of the virtual operations, time stamps,
// the event-keyed value buffer, data messages and the dump.
#include <atomic>
#include <cstdint>
#include <limits>
#include <ostream>

#include "vexil/vexil_host.h"

namespace {
std::atomic<int> g_default_chlog_level{0};
std::atomic<bool> g_default_chlog_on{false};
}  // namespace

D_fct::D_fct(const std::string& name, EqFct* owner, unsigned /*flags*/)
    : name_(name),
      owner_(owner),
      chlog_level_(g_default_chlog_level.load()),
      chlog_on_(g_default_chlog_on.load()) {
  if (owner_) owner_->add_property(this);
}

D_fct::~D_fct() {
  if (owner_) {
    owner_->config()->remove(this);
    owner_->remove_property(this);
  }
}

int D_fct::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->error(ERR_NOT_SUPPORTED, get_error_string(ERR_NOT_SUPPORTED));
  return ERR_NOT_SUPPORTED;
}

int D_fct::set(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->error(ERR_NOT_SUPPORTED, get_error_string(ERR_NOT_SUPPORTED));
  return ERR_NOT_SUPPORTED;
}

int D_fct::names(EqAdr*, EqData* out, int*) {
  if (out) out->set(name_);
  return 0;
}

int D_fct::get_multi(EqAdr*, EqData*, EqData* out, int* index, const char* name,
                     std::time_t* stamp) {
  if (!out) return 0;
  const std::time_t tm = stamp ? *stamp : 0;
  const std::string row_name = name ? std::string(name) : basename();
  const int row = index ? *index : 0;
  if (d_error()) {
    out->set(2147483647, std::numeric_limits<float>::quiet_NaN(),
             std::numeric_limits<float>::quiet_NaN(), tm, row_name, row);
  } else {
    out->set(0, 0.0f, 0.0f, tm, row_name, row);
  }
  return 0;
}

void D_fct::conf(Config*) {}
void D_fct::read() {}
void D_fct::read_from_conf(const std::string&) {}
void D_fct::write(std::ostream& out) { out << basename() << ":"; }
void D_fct::auto_init() {}

const char* D_fct::comment() const {
  // name_ never changes after construction, so a pointer into it stays valid.
  std::string::size_type blank = name_.find(' ');
  return blank == std::string::npos ? "" : name_.c_str() + blank + 1;
}

int D_fct::data_type() const { return 0; }
int D_fct::data_type() { return static_cast<const D_fct*>(this)->data_type(); }
int D_fct::daq_type() { return 0; }

void D_fct::conf_insert(Config* c, int data_type) {
  if (c) c->insert(this, data_type);
}

void D_fct::conf_process(EqFct*, int) {}
void D_fct::callback_(EqAdr*, EqData*, EqData*, int, int, int*) {}

int D_fct::permission() const {
  std::lock_guard<std::mutex> lk(mx_);
  return permission_;
}
void D_fct::permission(int p) {
  std::lock_guard<std::mutex> lk(mx_);
  permission_ = p;
}
int D_fct::d_error() const {
  std::lock_guard<std::mutex> lk(mx_);
  return d_error_;
}
void D_fct::d_error(int e) {
  std::lock_guard<std::mutex> lk(mx_);
  d_error_ = e;
}
int D_fct::d_severity() const { return 0; }
void D_fct::d_severity(int) {}
void D_fct::set_mode(int m) {
  std::lock_guard<std::mutex> lk(mx_);
  mode_ = m;
}
int D_fct::send(dmsg_info*) { return -1; }

std::string D_fct::basename() const { return name_.substr(0, name_.find(' ')); }

D_conf_struct* D_fct::find_prop_name() {
  return owner_ ? owner_->config()->find(basename()) : nullptr;
}

void D_fct::set_stamp(bool) {
  vexil::Timestamp t = vexil::clock().now();
  std::lock_guard<std::mutex> lk(mx_);
  stamp_ = t;
  ++stamp_count_;
}

vexil::Timestamp D_fct::stamp() const {
  std::lock_guard<std::mutex> lk(mx_);
  return stamp_;
}

int D_fct::stamp_count() const {
  std::lock_guard<std::mutex> lk(mx_);
  return stamp_count_;
}

// ---------------------------------------------------------------- data messages

void D_fct::dmsg_supported() {
  std::lock_guard<std::mutex> lk(mx_);
  dmsg_ = true;
}

int D_fct::send_header(dmsg_info* info, int count) {
  std::lock_guard<std::mutex> lk(mx_);
  if (!dmsg_ || !info) return -1;
  info->headers += count;
  pending_msg_ = info;
  return 0;
}

int D_fct::send_data(const void* data, int len, int) {
  std::lock_guard<std::mutex> lk(mx_);
  if (!pending_msg_ || len < 0 || (len > 0 && !data)) return -1;
  const auto* p = static_cast<const std::uint8_t*>(data);
  pending_msg_->data.insert(pending_msg_->data.end(), p, p + len);
  return 0;
}

// ---------------------------------------------------------------- value buffer

int D_fct::get_nbuf() const {
  std::lock_guard<std::mutex> lk(mx_);
  return nbuf_;
}

void D_fct::set_nbuf(int entries) {
  std::lock_guard<std::mutex> lk(mx_);
  nbuf_ = entries > 0 ? entries : 0;
  if (nbuf_ > 0 && !buf_) buf_ = std::make_unique<std::deque<BufEntry>>();
  while (buf_ && buf_->size() > static_cast<std::size_t>(nbuf_)) buf_->pop_front();
}

int D_fct::get_buf_value(EqData* out, vexil::EventId event, std::time_t seconds, int microseconds) {
  std::lock_guard<std::mutex> lk(mx_);
  if (nbuf_ == 0) return ERR_NO_BUFFER;
  if (!buf_ || buf_->empty()) return ERR_NO_DATA;
  const BufEntry* hit = nullptr;
  // Event numbers are unsigned here; one that a caller meant as negative also means "none".
  const bool by_event = static_cast<std::int64_t>(event) > 0;
  if (!by_event && seconds == 0) {
    hit = &buf_->back();
  } else {
    // Newest first: a repeated key answers its latest value.
    for (auto it = buf_->rbegin(); it != buf_->rend() && !hit; ++it) {
      if (by_event ? it->event == event
                   : (it->seconds == seconds && it->microseconds == microseconds))
        hit = &*it;
    }
  }
  if (!hit) return ERR_NO_DATA;
  if (out) *out = hit->data;
  return 0;
}

int D_fct::set_buf_value(EqData* in, vexil::EventId event, std::time_t seconds, int microseconds) {
  if (!in) return ERR_ILLEGAL_DATA;
  std::lock_guard<std::mutex> lk(mx_);
  if (nbuf_ == 0) return ERR_NO_BUFFER;
  buf_->push_back(BufEntry{event, seconds, microseconds, *in});
  while (buf_->size() > static_cast<std::size_t>(nbuf_)) buf_->pop_front();
  return 0;
}

// ---------------------------------------------------------------- dump, change log

void D_fct::dump(const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  dump_ += text;
}

std::string D_fct::dumped() const {
  std::lock_guard<std::mutex> lk(mx_);
  return dump_;
}

void D_fct::set_chlog(int level, bool on) {
  chlog_level_ = level;
  chlog_on_ = on;
}

void D_fct::set_default_chlog(int level, bool on) {
  g_default_chlog_level.store(level);
  g_default_chlog_on.store(on);
}
