// data_type.cc - CiA 301 basic data types and process values in their bits.
#include "canopen/data_type.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace korvel {
namespace canopen {
namespace {

struct TypeInfo {
  std::uint16_t code;
  const char* name;
  unsigned bits;
};

constexpr TypeInfo kTypes[] = {
    {0x0001, "BOOLEAN", 1},          {0x0002, "INTEGER8", 8},       {0x0003, "INTEGER16", 16},
    {0x0004, "INTEGER32", 32},       {0x0005, "UNSIGNED8", 8},      {0x0006, "UNSIGNED16", 16},
    {0x0007, "UNSIGNED32", 32},      {0x0008, "REAL32", 32},        {0x0009, "VISIBLE_STRING", 0},
    {0x000A, "OCTET_STRING", 0},     {0x000B, "UNICODE_STRING", 0}, {0x000C, "TIME_OF_DAY", 48},
    {0x000D, "TIME_DIFFERENCE", 48}, {0x000F, "DOMAIN", 0},         {0x0010, "INTEGER24", 24},
    {0x0011, "REAL64", 64},          {0x0012, "INTEGER40", 40},     {0x0013, "INTEGER48", 48},
    {0x0014, "INTEGER56", 56},       {0x0015, "INTEGER64", 64},     {0x0016, "UNSIGNED24", 24},
    {0x0018, "UNSIGNED40", 40},      {0x0019, "UNSIGNED48", 48},    {0x001A, "UNSIGNED56", 56},
    {0x001B, "UNSIGNED64", 64},
};

const TypeInfo* info(std::uint16_t code) {
  for (const TypeInfo& t : kTypes) {
    if (t.code == code) return &t;
  }
  return nullptr;
}

std::uint64_t mask(unsigned bits) {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// The width an integer of the type is read with: a type of 0 or more than 64 bits (no type a
// layout makes, but a caller may pass one) reads as 64 bits.
unsigned width(const ValueType& t) { return t.bits == 0 || t.bits > 64 ? 64 : t.bits; }

// The range of a signed integer type.
std::int64_t signed_min(unsigned bits) {
  return bits >= 64 ? std::numeric_limits<std::int64_t>::min() : -(std::int64_t{1} << (bits - 1));
}
std::int64_t signed_max(unsigned bits) {
  return bits >= 64 ? std::numeric_limits<std::int64_t>::max()
                    : (std::int64_t{1} << (bits - 1)) - 1;
}

// d truncated toward zero, clamped to the range of int64 (NaN reads as 0): a cast alone is
// undefined for values outside it.
std::int64_t clamp_to_int64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

}  // namespace

bool known_data_type(std::uint16_t code) { return info(code) != nullptr; }

const char* data_type_name(std::uint16_t code) {
  const TypeInfo* t = info(code);
  return t ? t->name : "UNKNOWN";
}

unsigned bits_of(DataType type) {
  const TypeInfo* t = info(static_cast<std::uint16_t>(type));
  return t ? t->bits : 0;
}

bool operator==(const ValueType& a, const ValueType& b) {
  return a.kind == b.kind && a.bits == b.bits;
}

bool value_type_of(DataType type, ValueType& out) {
  using Kind = ValueType::Kind;
  const unsigned bits = bits_of(type);
  switch (type) {
    case DataType::kBoolean:
      out = {Kind::kBoolean, 1};
      return true;
    case DataType::kReal32:
    case DataType::kReal64:
      out = {Kind::kReal, bits};
      return true;
    case DataType::kInteger8:
    case DataType::kInteger16:
    case DataType::kInteger24:
    case DataType::kInteger32:
    case DataType::kInteger40:
    case DataType::kInteger48:
    case DataType::kInteger56:
    case DataType::kInteger64:
      out = {Kind::kSigned, bits};
      return true;
    case DataType::kUnsigned8:
    case DataType::kUnsigned16:
    case DataType::kUnsigned24:
    case DataType::kUnsigned32:
    case DataType::kUnsigned40:
    case DataType::kUnsigned48:
    case DataType::kUnsigned56:
    case DataType::kUnsigned64:
      out = {Kind::kUnsigned, bits};
      return true;
    default:
      return false;
  }
}

ValueType default_value_type(unsigned bits) {
  if (bits == 1) return {ValueType::Kind::kBoolean, 1};
  return {ValueType::Kind::kUnsigned, bits};
}

const char* value_type_name(const ValueType& t) {
  static constexpr const char* kUnsignedNames[] = {
      "UNSIGNED0",  "UNSIGNED1",  "UNSIGNED2",  "UNSIGNED3",  "UNSIGNED4",  "UNSIGNED5",
      "UNSIGNED6",  "UNSIGNED7",  "UNSIGNED8",  "UNSIGNED9",  "UNSIGNED10", "UNSIGNED11",
      "UNSIGNED12", "UNSIGNED13", "UNSIGNED14", "UNSIGNED15", "UNSIGNED16", "UNSIGNED17",
      "UNSIGNED18", "UNSIGNED19", "UNSIGNED20", "UNSIGNED21", "UNSIGNED22", "UNSIGNED23",
      "UNSIGNED24", "UNSIGNED25", "UNSIGNED26", "UNSIGNED27", "UNSIGNED28", "UNSIGNED29",
      "UNSIGNED30", "UNSIGNED31", "UNSIGNED32", "UNSIGNED33", "UNSIGNED34", "UNSIGNED35",
      "UNSIGNED36", "UNSIGNED37", "UNSIGNED38", "UNSIGNED39", "UNSIGNED40", "UNSIGNED41",
      "UNSIGNED42", "UNSIGNED43", "UNSIGNED44", "UNSIGNED45", "UNSIGNED46", "UNSIGNED47",
      "UNSIGNED48", "UNSIGNED49", "UNSIGNED50", "UNSIGNED51", "UNSIGNED52", "UNSIGNED53",
      "UNSIGNED54", "UNSIGNED55", "UNSIGNED56", "UNSIGNED57", "UNSIGNED58", "UNSIGNED59",
      "UNSIGNED60", "UNSIGNED61", "UNSIGNED62", "UNSIGNED63", "UNSIGNED64"};
  static constexpr const char* kSignedNames[] = {
      "INTEGER0",  "INTEGER1",  "INTEGER2",  "INTEGER3",  "INTEGER4",  "INTEGER5",  "INTEGER6",
      "INTEGER7",  "INTEGER8",  "INTEGER9",  "INTEGER10", "INTEGER11", "INTEGER12", "INTEGER13",
      "INTEGER14", "INTEGER15", "INTEGER16", "INTEGER17", "INTEGER18", "INTEGER19", "INTEGER20",
      "INTEGER21", "INTEGER22", "INTEGER23", "INTEGER24", "INTEGER25", "INTEGER26", "INTEGER27",
      "INTEGER28", "INTEGER29", "INTEGER30", "INTEGER31", "INTEGER32", "INTEGER33", "INTEGER34",
      "INTEGER35", "INTEGER36", "INTEGER37", "INTEGER38", "INTEGER39", "INTEGER40", "INTEGER41",
      "INTEGER42", "INTEGER43", "INTEGER44", "INTEGER45", "INTEGER46", "INTEGER47", "INTEGER48",
      "INTEGER49", "INTEGER50", "INTEGER51", "INTEGER52", "INTEGER53", "INTEGER54", "INTEGER55",
      "INTEGER56", "INTEGER57", "INTEGER58", "INTEGER59", "INTEGER60", "INTEGER61", "INTEGER62",
      "INTEGER63", "INTEGER64"};
  const unsigned bits = t.bits > 64 ? 64 : t.bits;
  switch (t.kind) {
    case ValueType::Kind::kBoolean:
      return "BOOLEAN";
    case ValueType::Kind::kReal:
      return bits == 64 ? "REAL64" : "REAL32";
    case ValueType::Kind::kSigned:
      return kSignedNames[bits];
    case ValueType::Kind::kUnsigned:
      break;
  }
  return kUnsignedNames[bits];
}

std::int64_t to_int64(const ValueType& t, std::uint64_t raw) {
  if (t.kind == ValueType::Kind::kReal) return clamp_to_int64(to_double(t, raw));
  const unsigned bits = width(t);
  raw &= mask(bits);
  if (t.kind == ValueType::Kind::kSigned && bits < 64 && (raw >> (bits - 1)) != 0)
    raw |= ~mask(bits);  // sign-extended
  std::int64_t v;
  std::memcpy(&v, &raw, sizeof v);
  return v;
}

double to_double(const ValueType& t, std::uint64_t raw) {
  if (t.kind == ValueType::Kind::kReal) {
    if (t.bits == 32) {
      const auto bits32 = static_cast<std::uint32_t>(raw);
      float f;
      std::memcpy(&f, &bits32, sizeof f);
      return f;
    }
    double d;
    std::memcpy(&d, &raw, sizeof d);
    return d;
  }
  if (t.kind == ValueType::Kind::kSigned) return static_cast<double>(to_int64(t, raw));
  return static_cast<double>(raw & mask(width(t)));
}

bool from_double(const ValueType& t, double v, std::uint64_t& raw) {
  raw = 0;
  if (std::isnan(v)) return false;
  switch (t.kind) {
    case ValueType::Kind::kReal:
      if (t.bits == 32) {
        // Beyond the range of a float the value is infinite (a plain conversion is undefined).
        constexpr float kInf = std::numeric_limits<float>::infinity();
        const float f = std::fabs(v) > std::numeric_limits<float>::max() ? (v > 0 ? kInf : -kInf)
                                                                         : static_cast<float>(v);
        std::uint32_t bits32;
        std::memcpy(&bits32, &f, sizeof bits32);
        raw = bits32;
      } else {
        std::memcpy(&raw, &v, sizeof raw);
      }
      return true;
    case ValueType::Kind::kBoolean:
      raw = v != 0 ? 1 : 0;
      return true;
    case ValueType::Kind::kSigned: {
      const unsigned bits = width(t);
      const double r = std::nearbyint(v);
      if (r <= static_cast<double>(signed_min(bits))) {
        raw = from_int64(t, signed_min(bits));
      } else if (r >= std::ldexp(1.0, static_cast<int>(bits) - 1) - 1) {
        raw = from_int64(t, signed_max(bits));
      } else {
        raw = from_int64(t, static_cast<std::int64_t>(r));
      }
      return true;
    }
    case ValueType::Kind::kUnsigned: {
      const double r = std::nearbyint(v);
      const unsigned bits = width(t);
      if (r <= 0) {
        raw = 0;
      } else if (r >= std::ldexp(1.0, static_cast<int>(bits)) - 1) {
        raw = mask(bits);
      } else {
        raw = static_cast<std::uint64_t>(r) & mask(bits);
      }
      return true;
    }
  }
  return false;
}

std::uint64_t from_int64(const ValueType& t, std::int64_t v) {
  const unsigned bits = width(t);
  switch (t.kind) {
    case ValueType::Kind::kReal: {
      std::uint64_t raw = 0;
      from_double(t, static_cast<double>(v), raw);
      return raw;
    }
    case ValueType::Kind::kBoolean:
      return v != 0 ? 1 : 0;
    case ValueType::Kind::kSigned: {
      if (v < signed_min(bits)) v = signed_min(bits);
      if (v > signed_max(bits)) v = signed_max(bits);
      std::uint64_t raw;
      std::memcpy(&raw, &v, sizeof raw);
      return raw & mask(bits);
    }
    case ValueType::Kind::kUnsigned:
      break;
  }
  if (v < 0) return 0;
  const auto u = static_cast<std::uint64_t>(v);
  return u > mask(bits) ? mask(bits) : u;
}

}  // namespace canopen
}  // namespace korvel
