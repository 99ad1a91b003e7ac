// The framework's integer property, vexil::D_value<int> (D_int): value, change log, value
// buffer, client access, configuration and data messages.
#include <cstdint>
#include <exception>
#include <limits>
#include <ostream>
#include <string>

#include "d_value.h"
#include "korvel_internal.h"

namespace {

using Selector = korvel::ValueSelector;

// Selector of an int64 array: 1 to 3 elements give event, seconds, microseconds.
Selector array_selector(EqData* in, std::int64_t other_length_event) {
  Selector s;
  const int n = in->length();
  if (n < 1 || n > 3) {
    s.event = other_length_event;
    return s;
  }
  s.event = in->get_long(0);
  if (n >= 2) s.seconds = in->get_long(1);
  if (n == 3) s.microseconds = in->get_long(2);
  return s;
}

}  // namespace

korvel::ValueSelector korvel::value_selector(EqData* in) {
  Selector s;
  if (!in) {
    s.event = -1;
    return s;
  }
  switch (in->type()) {
    case DATA_A_INT64:
      return array_selector(in, -1);
    case DATA_INT64:
      s.event = in->get_long(0);
      break;
    case DATA_IIII:
      s.event = in->get_int(0);
      s.seconds = in->get_int(1);
      s.microseconds = in->get_int(2);
      break;
    case DATA_INT:
      s.event = in->get_int(0);
      break;
    default:
      s.event = -1;
      break;
  }
  return s;
}

namespace vexil {

D_value<int>::D_value(const std::string& name, EqFct* owner, unsigned /*flags*/)
    : D_fct(name, owner, 0),
      arch_en_(false),
      hist_(),
      value_(0),
      filepref_(),
      loghist_(-1),
      rblen_(-1),
      value_time_(0) {
  dmsg_supported();
}

D_value<int>::~D_value() = default;

void D_value<int>::logged_set(int val) {
  if (chlog_level() != 0 && chlog_on()) {
    std::string text = "D_value: " + basename() + " changed from " + std::to_string(value_.load()) +
                       " to " + std::to_string(val);
    std::string heading = "D_value";
    if (EqFct* loc = get_eqfct()) {
      text += " by " + loc->get_user_and_host();
      heading = loc->get_location_name();
    }
    printtostderr(heading, text, korvel::kLogFlags);
  }
  value_ = val;
  set_stamp(false);
}

int D_value<int>::get_value() const { return value_; }

void D_value<int>::set_value(int val) { logged_set(val); }

void D_value<int>::set_value(int val, std::uint64_t event, std::time_t seconds, int microseconds) {
  logged_set(val);
  EqData data;
  data.set(val);
  set_buf_value(&data, event, seconds, microseconds);
}

int D_value<int>::value(std::uint64_t event, std::time_t seconds, int microseconds) {
  EqData data;
  if (get_buf_value(&data, event, seconds, microseconds) != 0) return value_;
  return data.get_int(0);
}

int D_value<int>::value() { return value_; }

int D_value<int>::get(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (!out) return ERR_ILLEGAL_DATA;
  const Selector s = korvel::value_selector(in);
  if (get_nbuf() == 0) {
    out->set(static_cast<int>(value_));
    return 0;
  }
  const int code =
      get_buf_value(out, static_cast<EventId>(s.event), static_cast<std::time_t>(s.seconds),
                    static_cast<int>(s.microseconds));
  if (code != 0) out->error(code, get_error_string(code));
  return code;
}

int D_value<int>::get_multi(EqAdr*, EqData* in, EqData* out, int* index, const char* name,
                            std::time_t* stamp) {
  if (!out) return ERR_ILLEGAL_DATA;
  const std::time_t tm = stamp ? *stamp : 0;
  const int idx = index ? *index : 0;
  const std::string row_name = name ? name : "";
  bool error_row;
  int v = 0;
  if (in && in->type() == DATA_A_INT64) {
    const Selector s = array_selector(in, 0);
    EqData tmp;
    error_row =
        get_buf_value(&tmp, static_cast<EventId>(s.event), static_cast<std::time_t>(s.seconds),
                      static_cast<int>(s.microseconds)) != 0;
    if (!error_row) v = tmp.get_int(0);
  } else {
    error_row = d_error() != 0;
    v = value_;
  }
  if (error_row) {
    out->set(2147483647, std::numeric_limits<float>::quiet_NaN(),
             std::numeric_limits<float>::quiet_NaN(), tm, row_name, idx);
  } else {
    out->set(v, static_cast<float>(v), static_cast<float>(v), tm, row_name, idx);
  }
  return 0;
}

int D_value<int>::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (!in) return ERR_ILLEGAL_DATA;
  set_value(in->get_int(0));
  if (arch_en_) {
    set_and_archive(in->get_int(0), in->error() != 0 ? sts_err : sts_ok, in->get_timestamp(), 0);
  }
  return 0;
}

void D_value<int>::conf(Config* c) { conf_insert(c, DATA_INT); }

void D_value<int>::read() {
  try {
    D_conf_struct* entry = find_prop_name();
    if (entry && entry->found) value_ = entry->d_int;
  } catch (const std::exception& e) {
    printtostderr("read", e.what(), korvel::kLogFlags);
  }
}

void D_value<int>::write(std::ostream& out) {
  D_fct::write(out);
  const std::string text = "\t" + std::to_string(value_.load()) + "\n";
  out << text;
  out.flush();
  dump(text);
}

int D_value<int>::data_type() const { return DATA_INT; }

int D_value<int>::send(dmsg_info* info) {
  const int r = send_header(info, 1);
  if (r != 0) return r;
  const std::int32_t v = value_;
  return send_data(&v, 4, 0);
}

}  // namespace vexil
