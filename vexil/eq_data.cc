// eq_data.cc - the data container passed between clients and properties.
#include "eq_data.h"

#include <cerrno>
#include <cstdlib>

namespace {

// Leading integer of a text as strtoll reads it (0 when there is none or it is out of range).
std::int64_t parse_long(const std::string& text) {
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return 0;
  return v;
}

}  // namespace

int EqData::length() const {
  switch (type_) {
    case DATA_NULL:
      return 0;
    case DATA_IIII:
      return 4;
    case DATA_A_INT64:
      return static_cast<int>(ints_.size());
    case DATA_MULTI:
      return static_cast<int>(rows_.size());
    default:
      return 1;
  }
}

std::int64_t EqData::get_long(int i) const {
  if (i < 0) return 0;
  switch (type_) {
    case DATA_INT:
    case DATA_INT64:
      return (i == 0 && !ints_.empty()) ? ints_[0] : 0;
    case DATA_A_INT64:
      return static_cast<std::size_t>(i) < ints_.size() ? ints_[static_cast<std::size_t>(i)] : 0;
    case DATA_IIII:
      switch (i) {
        case 0:
          return iiii_.i1_data;
        case 1:
          return iiii_.i2_data;
        case 2:
          return iiii_.i3_data;
        case 3:
          return iiii_.i4_data;
        default:
          return 0;
      }
    case DATA_STRING:
      return i == 0 ? parse_long(text_) : 0;
    case DATA_MULTI:
      return static_cast<std::size_t>(i) < rows_.size() ? rows_[static_cast<std::size_t>(i)].i : 0;
    default:
      return 0;
  }
}

int EqData::get_int(int i) const {
  if (type_ == DATA_STRING) {
    // A text is read as strtol reads it; a number that does not fit an int gives 0.
    std::int64_t v = get_long(i);
    if (v < INT32_MIN || v > INT32_MAX) return 0;
    return static_cast<int>(v);
  }
  // 64-bit values keep their low 32 bits.
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(get_long(i))));
}

IIII* EqData::get_iiii() { return type_ == DATA_IIII ? &iiii_ : nullptr; }

std::string EqData::get_string() const {
  switch (type_) {
    case DATA_STRING:
      return text_;
    case DATA_INT:
    case DATA_INT64:
      return ints_.empty() ? std::string() : std::to_string(ints_[0]);
    case DATA_IIII:
      return std::to_string(iiii_.i1_data) + " " + std::to_string(iiii_.i2_data) + " " +
             std::to_string(iiii_.i3_data) + " " + std::to_string(iiii_.i4_data);
    case DATA_A_INT64: {
      std::string s;
      for (std::size_t k = 0; k < ints_.size(); ++k) {
        if (k) s += ' ';
        s += std::to_string(ints_[k]);
      }
      return s;
    }
    default:
      return std::string();
  }
}

const EqData::Row* EqData::get_row(int index) const {
  if (type_ != DATA_MULTI || index < 0 || static_cast<std::size_t>(index) >= rows_.size())
    return nullptr;
  return &rows_[static_cast<std::size_t>(index)];
}

void EqData::error(int code, const std::string& text) {
  error_ = code;
  error_text_ = text;
}

// Each setter replaces the value (and its type) but keeps the time stamp and the error.
void EqData::set(int v) {
  type_ = DATA_INT;
  ints_.assign(1, v);
  text_.clear();
  rows_.clear();
}

void EqData::set(const IIII* v) {
  if (!v) return;
  type_ = DATA_IIII;
  iiii_ = *v;
  ints_.clear();
  text_.clear();
  rows_.clear();
}

void EqData::set_long(std::int64_t v) {
  type_ = DATA_INT64;
  ints_.assign(1, v);
  text_.clear();
  rows_.clear();
}

void EqData::set_long_array(const std::vector<std::int64_t>& v) {
  type_ = DATA_A_INT64;
  ints_ = v;
  text_.clear();
  rows_.clear();
}

void EqData::set(const std::string& text) {
  type_ = DATA_STRING;
  text_ = text;
  ints_.clear();
  rows_.clear();
}

void EqData::set(int i, float f1, float f2, std::time_t tm, const std::string& name, int index) {
  if (index < 0) return;
  if (type_ != DATA_MULTI) {
    type_ = DATA_MULTI;
    rows_.clear();
    ints_.clear();
    text_.clear();
  }
  if (rows_.size() < static_cast<std::size_t>(index) + 1)
    rows_.resize(static_cast<std::size_t>(index) + 1);
  Row& r = rows_[static_cast<std::size_t>(index)];
  r.i = i;
  r.f1 = f1;
  r.f2 = f2;
  r.tm = tm;
  r.name = name;
}

void EqData::clear() { *this = EqData(); }
