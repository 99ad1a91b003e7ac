// device_description_fuzz - libFuzzer target for the reader of EDS and DCF texts: the input is
// the file's text. Checked: every entry is found again by its index and subindex and by its key,
// keys are unique, objects are in order, problems stand in order on lines of the text, and the
// PDO settings and every value's bits can be taken for any node-ID and type.
// Built by clang with -DKORVEL_FUZZ=ON; e.g. build/tests/canopen/device_description_fuzz
// -runs=1000000
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "canopen/device_description.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using namespace korvel::canopen;

constexpr DataType kTypes[] = {
    DataType::kBoolean,    DataType::kInteger8,     DataType::kInteger64, DataType::kUnsigned8,
    DataType::kUnsigned32, DataType::kUnsigned64,   DataType::kReal32,    DataType::kReal64,
    DataType::kTimeOfDay,  DataType::kVisibleString};

void all_bits(const FileValue& v, std::uint16_t own_type) {
  std::uint64_t raw = 0;
  for (DataType t : kTypes) {
    for (std::uint8_t node : {0, 1, 127, 255}) value_bits(v, t, node, raw);
  }
  if (value_bits(v, static_cast<DataType>(own_type), 127, raw)) {
    check(v.kind == FileValue::Kind::kInteger || v.kind == FileValue::Kind::kReal);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const DeviceDescription d = DeviceDescription::parse(text, "fuzz.eds");
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  unsigned last_line = 0;
  for (const Problem& p : d.problems()) {
    check(p.line >= last_line && p.line <= lines);
    last_line = p.line;
    check(!to_string(p).empty());
  }
  const ObjectEntry* previous = nullptr;
  for (const ObjectEntry& e : d.objects()) {
    if (previous) check(previous->index <= e.index);
    previous = &e;
    check(!e.key.empty());
    check(d.find(e.key) == &e);
    if (!e.is_parent()) check(d.find(e.index, e.subindex) == &e);
    all_bits(e.default_value, e.data_type);
    all_bits(e.parameter_value, e.data_type);
    all_bits(e.low_limit, e.data_type);
  }
  for (std::uint8_t node : {0, 5}) {
    for (const PdoSetting& s : d.pdo_settings(node)) {
      check(s.number >= 1 && s.number <= 512);
      check(s.entries.size() <= 255);
    }
  }
  return 0;
}
