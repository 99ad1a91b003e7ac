// eq_data.cc - the data container passed between clients and properties.
#include "eq_data.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Leading integer of a text as strtoll reads it (0 when there is none or it is out of range).
std::int64_t parse_long(const std::string& text) {
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return 0;
  return v;
}

// A floating value rounded to the nearest integer within [lo, hi]; NaN gives 0.
std::int64_t rounded(double v, std::int64_t lo, std::int64_t hi) {
  if (std::isnan(v)) return 0;
  const double r = std::nearbyint(v);
  if (r <= static_cast<double>(lo)) return lo;
  // hi as a double may round up past hi (2^63 for the int64 range): compare with >=.
  if (r >= static_cast<double>(hi)) return hi;
  return static_cast<std::int64_t>(r);
}

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::uint64_t bits_of(std::int64_t v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

// The shortest of "%.15g" and "%.17g" that reads back as v.
std::string double_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
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
    case DATA_UINT64:
      if (i != 0 || ints_.empty()) return 0;
      return bits_of(ints_[0]) > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max : ints_[0];
    case DATA_DOUBLE:
      return i == 0 ? rounded(real_, std::numeric_limits<std::int64_t>::min(), kInt64Max) : 0;
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
  if (type_ == DATA_DOUBLE)
    return i == 0 ? static_cast<int>(rounded(real_, INT32_MIN, INT32_MAX)) : 0;
  if (type_ == DATA_UINT64) {
    return i == 0 && !ints_.empty()
               ? static_cast<int>(static_cast<std::uint32_t>(bits_of(ints_[0])))
               : 0;
  }
  // 64-bit values keep their low 32 bits.
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(get_long(i))));
}

double EqData::get_double(int i) const {
  switch (type_) {
    case DATA_DOUBLE:
      return i == 0 ? real_ : 0.0;
    case DATA_UINT64:
      return i == 0 && !ints_.empty() ? static_cast<double>(bits_of(ints_[0])) : 0.0;
    case DATA_STRING:
      return i == 0 ? std::strtod(text_.c_str(), nullptr) : 0.0;
    default:
      return static_cast<double>(get_long(i));
  }
}

std::uint64_t EqData::get_ulong(int i) const {
  switch (type_) {
    case DATA_UINT64:
      return i == 0 && !ints_.empty() ? bits_of(ints_[0]) : 0;
    case DATA_DOUBLE: {
      if (i != 0 || std::isnan(real_) || real_ <= 0) return 0;
      const double r = std::nearbyint(real_);
      if (r >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(r);
    }
    case DATA_STRING: {
      if (i != 0) return 0;
      const char* p = text_.c_str();
      while (std::isspace(static_cast<unsigned char>(*p))) ++p;
      if (*p == '-') return 0;  // strtoull would wrap a negative number
      errno = 0;
      const unsigned long long v = std::strtoull(p, nullptr, 10);
      return errno == ERANGE ? 0 : v;
    }
    default: {
      const std::int64_t v = get_long(i);
      return v < 0 ? 0 : static_cast<std::uint64_t>(v);
    }
  }
}

IIII* EqData::get_iiii() { return type_ == DATA_IIII ? &iiii_ : nullptr; }

std::string EqData::get_string() const {
  switch (type_) {
    case DATA_STRING:
      return text_;
    case DATA_INT:
    case DATA_INT64:
      return ints_.empty() ? std::string() : std::to_string(ints_[0]);
    case DATA_UINT64:
      return ints_.empty() ? std::string() : std::to_string(bits_of(ints_[0]));
    case DATA_DOUBLE:
      return double_text(real_);
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

void EqData::set_ulong(std::uint64_t v) {
  type_ = DATA_UINT64;
  std::int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  ints_.assign(1, bits);
  text_.clear();
  rows_.clear();
}

void EqData::set_double(double v) {
  type_ = DATA_DOUBLE;
  real_ = v;
  ints_.clear();
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
