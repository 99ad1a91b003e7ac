// canopen/data_type.h - the basic data types of CiA 301 (the object index of each type is its
// DataType in device description files) and how a process value of one of them is read from,
// and written into, the bits a PDO carries.
#ifndef KORVEL_CANOPEN_DATA_TYPE_H
#define KORVEL_CANOPEN_DATA_TYPE_H

#include <cstdint>

namespace korvel {
namespace canopen {

enum class DataType : std::uint16_t {
  kBoolean = 0x0001,
  kInteger8 = 0x0002,
  kInteger16 = 0x0003,
  kInteger32 = 0x0004,
  kUnsigned8 = 0x0005,
  kUnsigned16 = 0x0006,
  kUnsigned32 = 0x0007,
  kReal32 = 0x0008,
  kVisibleString = 0x0009,
  kOctetString = 0x000A,
  kUnicodeString = 0x000B,
  kTimeOfDay = 0x000C,
  kTimeDifference = 0x000D,
  kDomain = 0x000F,
  kInteger24 = 0x0010,
  kReal64 = 0x0011,
  kInteger40 = 0x0012,
  kInteger48 = 0x0013,
  kInteger56 = 0x0014,
  kInteger64 = 0x0015,
  kUnsigned24 = 0x0016,
  kUnsigned40 = 0x0018,
  kUnsigned48 = 0x0019,
  kUnsigned56 = 0x001A,
  kUnsigned64 = 0x001B,
};

// True for the codes above; false for any other number (a file or a device may name one).
bool known_data_type(std::uint16_t code);
// "UNSIGNED16", "REAL32", ...; "UNKNOWN" for a code that is none.
const char* data_type_name(std::uint16_t code);
// Bits of a value of the type: 1 for BOOLEAN, 8 to 64 for integers and reals, 48 for
// TIME_OF_DAY and TIME_DIFFERENCE; 0 for types without a fixed size (strings, DOMAIN).
unsigned bits_of(DataType type);

// How a process value's bits read: what a property shows and a write must give.
struct ValueType {
  enum class Kind : std::uint8_t { kUnsigned, kSigned, kReal, kBoolean };
  Kind kind = Kind::kUnsigned;
  unsigned bits = 0;  // 1 to 64; a REAL is 32 or 64
};

bool operator==(const ValueType& a, const ValueType& b);
// The value type of a basic type that fits a PDO (BOOLEAN, integers of 8 to 64 bits, REAL32,
// REAL64); false for any other.
bool value_type_of(DataType type, ValueType& out);
// What a mapped object of `bits` bits is read as when nothing names its type: a BOOLEAN for one
// bit, otherwise an unsigned integer (a bit field when the length is no whole byte).
ValueType default_value_type(unsigned bits);
// "UNSIGNED16", "INTEGER12" (a signed bit field), "BOOLEAN", "REAL32", ...
const char* value_type_name(const ValueType& t);

// A value's bits, right-aligned in 64 (as get_bits in canopen/pdo.h yields them), read as a
// number: signed types are sign-extended from their top bit, REALs are IEEE 754.
std::int64_t to_int64(const ValueType& t, std::uint64_t raw);
double to_double(const ValueType& t, std::uint64_t raw);
// The bits that carry v: integers are rounded to the nearest and clamped to the type's range,
// a BOOLEAN is 1 for anything but 0; false (and raw 0) for a value that is not a number.
bool from_double(const ValueType& t, double v, std::uint64_t& raw);
// The same from an integer, clamped to the type's range (exact for every integer type).
std::uint64_t from_int64(const ValueType& t, std::int64_t v);

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_DATA_TYPE_H
