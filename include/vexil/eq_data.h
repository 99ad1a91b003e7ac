// eq_data.h - the framework's data container: one value (or one row per property of a
// multi-property answer) passed between clients and properties.
#ifndef EQ_DATA_H
#define EQ_DATA_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "vexil_types.h"

// Type codes of EqData.
enum : int {
  DATA_NULL = 0,
  DATA_INT = 1,
  DATA_STRING = 2,
  DATA_DOUBLE = 6,  // a floating value (IEEE 754, 64 bits)
  DATA_IIII = 14,
  DATA_INT64 = 26,
  DATA_UINT64 = 27,  // an unsigned 64-bit integer
  DATA_MULTI = 90,   // rows of (int, float, float, time, name), one per property
  DATA_A_INT64 = 114,
};

// Address of a request; passed through to properties, not interpreted by the library.
class EqAdr {
 public:
  EqAdr() = default;
  explicit EqAdr(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class EqData {
 public:
  // One row of a multi-property answer.
  struct Row {
    int i = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    std::time_t tm = 0;
    std::string name;
  };

  EqData() = default;

  int type() const { return type_; }
  // Number of elements: 1 for scalars, 4 for IIII, the element count of arrays, rows for multi.
  int length() const;

  // Element i converted to int / int64 (0 when there is none). A floating value is rounded to
  // the nearest integer and clamped to the range (NaN reads 0); an unsigned 64-bit value above
  // the int64 range reads as its largest value in get_long and keeps its low 32 bits in get_int,
  // as the other 64-bit values do.
  int get_int(int i = 0) const;
  std::int64_t get_long(int i = 0) const;
  // Element i as a floating value, and as an unsigned 64-bit integer (negative values and NaN
  // read 0, larger floating values the largest; a text is read as strtod / strtoull read it).
  double get_double(int i = 0) const;
  std::uint64_t get_ulong(int i = 0) const;
  // The four integers when the type is DATA_IIII, else null.
  IIII* get_iiii();
  std::string get_string() const;
  const Row* get_row(int index) const;

  vexil::Timestamp get_timestamp() const { return timestamp_; }
  void set_timestamp(vexil::Timestamp t) { timestamp_ = t; }

  // Error code of the answer (0: none) and its text.
  int error() const { return error_; }
  const std::string& error_text() const { return error_text_; }
  void error(int code, const std::string& text);

  void set(int v);
  void set(const IIII* v);
  void set_long(std::int64_t v);
  void set_ulong(std::uint64_t v);
  void set_double(double v);
  void set_long_array(const std::vector<std::int64_t>& v);
  void set(const std::string& text);
  // Fills row `index` of a multi-property answer (rows below it are created empty).
  void set(int i, float f1, float f2, std::time_t tm, const std::string& name, int index);

  void clear();

 private:
  int type_ = DATA_NULL;
  std::vector<std::int64_t> ints_;  // DATA_UINT64: the value's bits
  double real_ = 0;
  IIII iiii_{};
  std::string text_;
  std::vector<Row> rows_;
  vexil::Timestamp timestamp_ = 0;
  int error_ = 0;
  std::string error_text_;
};

// Data-message channel record (filled by send_header / send_data).
struct dmsg_info {
  int headers = 0;
  std::vector<std::uint8_t> data;
};

#endif  // EQ_DATA_H
