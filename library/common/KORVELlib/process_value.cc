// The property of one object of a device's process data: value, history and stale state.
#include <string>
#include <vector>

#include "korvel_internal.h"
#include "process_data.h"

namespace korvel {

using canopen::ValueType;

ProcessValue::ProcessValue(const std::string& name, EqFct* loc, D_can* node, int index,
                           int subindex, ValueType type)
    : D_fct(name, loc, 0), node_(node), index_(index), subindex_(subindex), type_(type) {}

void ProcessValue::to_data(const ValueType& t, std::uint64_t raw, EqData& out) {
  switch (t.kind) {
    case ValueType::Kind::kBoolean:
      out.set(raw != 0 ? 1 : 0);
      return;
    case ValueType::Kind::kReal:
      out.set_double(canopen::to_double(t, raw));
      return;
    case ValueType::Kind::kSigned:
      out.set_long(canopen::to_int64(t, raw));
      return;
    case ValueType::Kind::kUnsigned:
      if (t.bits >= 64) {
        out.set_ulong(raw);
      } else {
        out.set_long(canopen::to_int64(t, raw));
      }
      return;
  }
}

bool ProcessValue::from_data(const ValueType& t, const EqData& in, std::uint64_t& raw) {
  const int type = in.type();
  if (type != DATA_INT && type != DATA_INT64 && type != DATA_UINT64 && type != DATA_DOUBLE &&
      type != DATA_STRING)
    return false;
  if (t.kind == ValueType::Kind::kReal || type == DATA_DOUBLE ||
      (type == DATA_STRING && in.get_string().find_first_of(".eE") != std::string::npos))
    return canopen::from_double(t, in.get_double(), raw);
  if (t.kind == ValueType::Kind::kUnsigned && t.bits >= 64 && type != DATA_INT &&
      type != DATA_INT64) {
    raw = in.get_ulong();
    return true;
  }
  raw = canopen::from_int64(t, in.get_long());
  return true;
}

int ProcessValue::data_type() const {
  switch (type_.kind) {
    case ValueType::Kind::kBoolean:
      return DATA_INT;
    case ValueType::Kind::kReal:
      return DATA_DOUBLE;
    case ValueType::Kind::kSigned:
      return DATA_INT64;
    case ValueType::Kind::kUnsigned:
      return type_.bits >= 64 ? DATA_UINT64 : DATA_INT64;
  }
  return DATA_INT64;
}

int ProcessValue::d_error() const {
  LoopLock lk;
  return stale_ ? kErrStale : 0;
}

void ProcessValue::update(std::uint64_t raw, std::int64_t time_ns) {
  raw_ = raw;
  time_ns_ = time_ns;
  if (ring_.empty()) ring_.resize(kProcessHistory);
  ring_[next_] = Sample{raw, time_ns};
  next_ = (next_ + 1) % ring_.size();
  if (count_ < ring_.size()) ++count_;
}

void ProcessValue::bind(const PdoStore* store, unsigned offset) {
  if (source_ && !store) {
    raw_ = raw();  // keeps showing the last value the PDO brought
    time_ns_ = source_->time_ns;
  }
  source_ = store;
  offset_ = offset;
}

std::size_t ProcessValue::samples() const { return source_ ? source_->count : count_; }

ProcessValue::Sample ProcessValue::sample(std::size_t i) const {
  if (source_) {
    const PdoStore::Entry& e = source_->at(i);
    return Sample{slot_of(e.bits), e.time_ns};
  }
  return ring_[(next_ + ring_.size() - count_ + i) % ring_.size()];
}

std::vector<ProcessValue::Sample> ProcessValue::history() const {
  LoopLock lk;
  std::vector<Sample> out;
  const std::size_t n = samples();
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(sample(i));
  return out;
}

int ProcessValue::get(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (!out) return ERR_ILLEGAL_DATA;
  // A selector as the integer property takes; a time picks a past sample, anything else the
  // latest value.
  const ValueSelector selected = value_selector(in);
  LoopLock lk;
  if (selected.seconds > 0) {
    const std::int64_t at = selected.seconds * 1000000000LL + selected.microseconds * 1000LL;
    for (std::size_t i = samples(); i-- > 0;) {
      const Sample s = sample(i);
      if (s.time_ns <= at) {
        to_data(type_, s.raw, *out);
        return 0;
      }
    }
    out->error(ERR_NO_DATA, get_error_string(ERR_NO_DATA));
    return ERR_NO_DATA;
  }
  to_data(type_, raw(), *out);
  if (stale_) {
    out->error(kErrStale, kStaleText);
    return kErrStale;
  }
  return 0;
}

int ProcessValue::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (!in) return ERR_ILLEGAL_DATA;
  D_can* node;
  {
    LoopLock lk;
    node = node_;
  }
  std::string error;
  const int r = node ? node->write_object(index_, subindex_, *in, &error) : kNoUsableLine;
  if (r != kOk) {
    if (!node) error = "the node is gone";
    if (out) out->error(r, error);
    log(basename(), "write failed: " + error);
  }
  return r;
}

}  // namespace korvel
