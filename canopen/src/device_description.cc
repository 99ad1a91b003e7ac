// device_description.cc - reading EDS and DCF files (CiA 306) into objects, device identity,
// commissioning and PDO settings, with one problem per fault found.
//
// The text is read in one pass into sections (hash maps keyed by the section and key names in
// lower case, values kept as views into the text with their line); the objects are then built
// section by section and checked. Every step is linear in the size of the text.
#include "canopen/device_description.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <unordered_set>
#include <utility>

namespace korvel {
namespace canopen {
namespace {

// --- Characters and small conversions (ASCII only: other bytes are neither letters nor blanks).

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
int hex_digit(char c) {
  if (digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string to_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string hex4(unsigned v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0000";
  for (int i = 3; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = kDigits[v & 0xF];
  return s;
}

std::string hex_sub(unsigned v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  if (v >= 16) s += kDigits[(v >> 4) & 0xF];
  s += kDigits[v & 0xF];
  return s;
}

// "0x6000sub1": how problems and the table name an object.
std::string object_ref(std::uint16_t index, std::uint8_t sub) {
  return "0x" + hex4(index) + "sub" + hex_sub(sub);
}

// An unsigned number without sign: decimal, "0x" hexadecimal or octal with a leading 0. False
// for anything else, or when it does not fit 64 bits.
bool parse_unsigned(std::string_view s, std::uint64_t& out) {
  if (s.empty()) return false;
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  std::uint64_t v = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0 || static_cast<unsigned>(d) >= base) return false;
    if (v > (std::numeric_limits<std::uint64_t>::max() - static_cast<unsigned>(d)) / base) {
      return false;
    }
    v = v * base + static_cast<unsigned>(d);
  }
  out = v;
  return true;
}

// A number with an optional sign; negative numbers down to -2^63.
bool parse_integer(std::string_view s, std::uint64_t& value, bool& negative) {
  negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s = s.substr(1);
  }
  std::uint64_t magnitude = 0;
  if (!parse_unsigned(s, magnitude)) return false;
  if (negative) {
    if (magnitude > (std::uint64_t{1} << 63)) return false;
    if (magnitude == 0) negative = false;
    value = ~magnitude + 1;  // two's complement
  } else {
    value = magnitude;
  }
  return true;
}

// A decimal number with a fraction or an exponent ("1.5", "-2e3"); false for anything else.
bool parse_real(std::string_view s, double& out) {
  if (s.empty() || s.size() > 64) return false;
  bool fraction_or_exponent = false;
  bool any_digit = false;
  for (char c : s) {
    if (digit(c)) {
      any_digit = true;
    } else if (c == '.' || c == 'e' || c == 'E') {
      fraction_or_exponent = true;
    } else if (c != '+' && c != '-') {
      return false;
    }
  }
  if (!fraction_or_exponent || !any_digit) return false;
  // strtod reads the decimal point of the C locale only when the program keeps the C locale;
  // a copy with the point turned into the locale's own keeps it independent of that.
  std::string copy(s);
  const char* point = std::localeconv() ? std::localeconv()->decimal_point : ".";
  if (point && point[0] && point[0] != '.') std::replace(copy.begin(), copy.end(), '.', point[0]);
  char* end = nullptr;
  errno = 0;
  double d = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || errno == ERANGE) return false;
  out = d;
  return true;
}

const std::string_view kNodeId = "$nodeid";

// Finds "$NODEID" without regard to case; npos when absent.
std::size_t find_node_id(std::string_view s) {
  if (s.size() < kNodeId.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + kNodeId.size() <= s.size(); ++i) {
    if (s[i] == '$' && iequal(s.substr(i, kNodeId.size()), kNodeId)) return i;
  }
  return std::string_view::npos;
}

FileValue parse_value(std::string_view raw, unsigned line) {
  FileValue v;
  std::string_view s = trim(raw);
  if (s.empty()) return v;
  v.text = std::string(s);
  v.line = line;
  std::size_t at = find_node_id(s);
  if (at != std::string_view::npos) {
    // "$NODEID", "$NODEID+n" or "n+$NODEID".
    std::string_view before = trim(s.substr(0, at));
    std::string_view after = trim(s.substr(at + kNodeId.size()));
    std::string_view number;
    bool shape = false;
    if (before.empty() && after.empty()) {
      number = "0";
      shape = true;
    } else if (before.empty() && after.size() > 1 && after.front() == '+') {
      number = trim(after.substr(1));
      shape = true;
    } else if (after.empty() && before.size() > 1 && before.back() == '+') {
      number = trim(before.substr(0, before.size() - 1));
      shape = true;
    }
    std::uint64_t n = 0;
    if (shape && parse_unsigned(number, n)) {
      v.kind = FileValue::Kind::kInteger;
      v.integer = n;
      v.plus_node_id = true;
    } else {
      v.kind = FileValue::Kind::kText;
    }
    return v;
  }
  if (parse_integer(s, v.integer, v.negative)) {
    v.kind = FileValue::Kind::kInteger;
  } else if (parse_real(s, v.real)) {
    v.kind = FileValue::Kind::kReal;
  } else {
    v.kind = FileValue::Kind::kText;
  }
  return v;
}

bool string_type(std::uint16_t code) {
  return code == static_cast<std::uint16_t>(DataType::kVisibleString) ||
         code == static_cast<std::uint16_t>(DataType::kOctetString) ||
         code == static_cast<std::uint16_t>(DataType::kUnicodeString) ||
         code == static_cast<std::uint16_t>(DataType::kDomain);
}

bool signed_type(DataType t) {
  ValueType v;
  return value_type_of(t, v) && v.kind == ValueType::Kind::kSigned;
}

// --- The text as sections of keys.

struct KeyValue {
  std::string_view value;  // blanks taken off
  unsigned line = 0;
};

struct Section {
  std::string name;  // as written, as problems show it
  std::string lower_name;
  unsigned line = 0;
  std::vector<std::pair<std::string, KeyValue>> keys;  // lower-case key, in file order

  // The key in any case; null when absent.
  const KeyValue* get(std::string_view key) const {
    std::size_t i = position(key);
    return i < keys.size() ? &keys[i].second : nullptr;
  }
  // Adds a key given in lower case; the key already there when it was given before.
  std::pair<KeyValue*, bool> add(std::string lower_key) {
    std::size_t i = position(lower_key);
    if (i < keys.size()) return {&keys[i].second, false};
    keys.emplace_back(std::move(lower_key), KeyValue{});
    if (!index_.empty()) {
      index_.emplace(keys.back().first, keys.size() - 1);
    } else if (keys.size() > kSearchedKeys) {
      for (std::size_t k = 0; k < keys.size(); ++k) index_.emplace(keys[k].first, k);
    }
    return {&keys.back().second, true};
  }

 private:
  static constexpr std::size_t kSearchedKeys = 16;
  // Where the key (in any case) stands in keys; keys.size() when absent. A section has a handful
  // of keys: they are searched in turn, and through a hash index once there are many.
  std::size_t position(std::string_view key) const {
    if (index_.empty()) {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (iequal(keys[i].first, key)) return i;
      }
      return keys.size();
    }
    auto it = index_.find(to_lower(key));
    return it == index_.end() ? keys.size() : it->second;
  }

  std::unordered_map<std::string, std::size_t> index_;
};

// What a section's name says it is.
struct SectionName {
  enum class Kind { kOther, kObject, kSub, kCompactNames, kCompactValues };
  Kind kind = Kind::kOther;
  std::uint16_t index = 0;
  std::uint8_t sub = 0;
};

SectionName classify(std::string_view lower_name) {
  SectionName n;
  if (lower_name.size() < 4) return n;
  unsigned index = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    int d = hex_digit(lower_name[i]);
    if (d < 0) return n;
    index = index << 4 | static_cast<unsigned>(d);
  }
  std::string_view rest = lower_name.substr(4);
  n.index = static_cast<std::uint16_t>(index);
  if (rest.empty()) {
    n.kind = SectionName::Kind::kObject;
  } else if (rest == "name") {
    n.kind = SectionName::Kind::kCompactNames;
  } else if (rest == "value") {
    n.kind = SectionName::Kind::kCompactValues;
  } else if (rest.size() > 3 && rest.size() <= 5 && rest.substr(0, 3) == "sub") {
    unsigned sub = 0;
    for (char c : rest.substr(3)) {
      int d = hex_digit(c);
      if (d < 0) return SectionName{};
      sub = sub << 4 | static_cast<unsigned>(d);
    }
    n.kind = SectionName::Kind::kSub;
    n.sub = static_cast<std::uint8_t>(sub);
  }
  return n;
}

const char* const kGeneralSections[] = {
    "fileinfo",           "deviceinfo",
    "dummyusage",         "mandatoryobjects",
    "optionalobjects",    "manufacturerobjects",
    "devicecomissioning", "devicecommissioning",
    "comments",           "tools",
};
// Each CompactSubObj line makes up to 255 entries of a few hundred bytes each: a bound on them
// in all keeps a small hostile file from taking gigabytes. Real devices have a few such arrays.
constexpr std::uint64_t kMaxCompactSubObjects = 65535;

const char* const kListSections[] = {"mandatoryobjects", "optionalobjects", "manufacturerobjects"};

bool general_section(const std::string& lower_name) {
  for (const char* s : kGeneralSections) {
    if (lower_name == s) return true;
  }
  return false;
}

// Text of the file as a problem quotes it: control characters out, at most 60 bytes.
std::string shown(std::string_view s) {
  constexpr std::size_t kMax = 60;
  std::string out;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    if (out.size() == kMax) return out + "...";
    out += c;
  }
  return out;
}

// The name an operator types for a ParameterName.
std::string make_key(const std::string& name) {
  std::string key;
  key.reserve(name.size());
  bool gap = false;
  for (char c : name) {
    if (alpha(c) || digit(c)) {
      if (gap && !key.empty()) key += '_';
      gap = false;
      key += upper(c);
    } else {
      gap = true;
    }
  }
  return key;
}

// The ParameterName with control characters taken out.
std::string clean_name(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) out += c;
  }
  return out;
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& file) : text_(text), file_(file) {}

  void run();

  // The results, taken over by DeviceDescription::parse.
  std::vector<Problem> problems_;
  DeviceInfo info_;
  Commissioning commissioning_;
  std::vector<ObjectEntry> objects_;
  std::unordered_map<std::uint32_t, std::size_t> by_number_;
  std::unordered_map<std::string, std::size_t> by_key_;

 private:
  void problem(unsigned line, std::string text, bool warning = false) {
    problems_.push_back(Problem{file_, line, std::move(text), warning});
  }
  void read_sections();
  const Section* section(const char* lower_name) const {
    auto it = sections_.find(lower_name);
    return it == sections_.end() ? nullptr : &it->second;
  }
  bool number_key(const Section& s, const char* key, std::uint64_t max, std::uint64_t& out,
                  bool required);
  void read_device_info();
  void read_commissioning();
  void read_lists();
  void read_dummy_usage();
  void read_objects();
  bool read_entry(const Section& s, ObjectEntry& e, const ObjectEntry* parent);
  void check_value(const ObjectEntry& e, const FileValue& v, const char* key);
  void add_compact(const Section& s, ObjectEntry parent, std::uint64_t n);
  void make_keys();
  void check_pdos();

  std::string_view text_;
  std::string file_;
  std::unordered_map<std::string, Section> sections_;   // lower-case name
  std::vector<std::string> order_;                      // lower-case names in file order
  std::unordered_map<std::uint16_t, unsigned> listed_;  // index -> line of its list entry
  bool any_list_ = false;
  bool dummy_allowed_[kDummyLast + 1] = {};
  std::uint64_t compact_entries_ = 0;
};

void Parser::read_sections() {
  Section* current = nullptr;
  bool skipping = false;  // the keys of a repeated section: the first section holds
  unsigned line = 0;
  std::size_t pos = 0;
  while (pos < text_.size()) {
    std::size_t end = text_.find('\n', pos);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view l = text_.substr(pos, end - pos);
    pos = end + 1;
    ++line;
    std::size_t semi = l.find(';');
    if (semi != std::string_view::npos) l = l.substr(0, semi);
    l = trim(l);
    if (l.empty()) continue;
    if (l.front() == '[') {
      std::size_t close = l.find(']');
      if (close == std::string_view::npos || !trim(l.substr(close + 1)).empty()) {
        problem(line, "a section line that is not \"[name]\"");
        current = nullptr;
        skipping = true;
        continue;
      }
      std::string_view name = trim(l.substr(1, close - 1));
      std::string key = to_lower(name);
      auto [it, inserted] = sections_.try_emplace(key);
      if (!inserted) {
        problem(line, "section [" + shown(name) + "] given again (first at line " +
                          std::to_string(it->second.line) + ")");
        current = nullptr;
        skipping = true;
        continue;
      }
      it->second.name = shown(name);
      it->second.lower_name = key;
      it->second.line = line;
      order_.push_back(key);
      current = &it->second;
      skipping = false;
      continue;
    }
    std::size_t eq = l.find('=');
    if (eq == std::string_view::npos) {
      problem(line, "a line that is neither a section, a key=value nor a comment");
      continue;
    }
    std::string_view key = trim(l.substr(0, eq));
    if (key.empty()) {
      problem(line, "a key=value line without a key");
      continue;
    }
    if (skipping) continue;
    if (!current) {
      problem(line, "key " + shown(key) + " outside of any section");
      continue;
    }
    auto [kv, inserted] = current->add(to_lower(key));
    if (!inserted) {
      problem(line, "key " + shown(key) + " given again in [" + current->name +
                        "] (first at line " + std::to_string(kv->line) + ")");
      continue;
    }
    kv->value = trim(l.substr(eq + 1));
    kv->line = line;
  }
}

bool Parser::number_key(const Section& s, const char* key, std::uint64_t max, std::uint64_t& out,
                        bool required) {
  const KeyValue* kv = s.get(key);
  if (!kv || kv->value.empty()) {
    if (required) problem(s.line, "[" + s.name + "] has no " + key);
    return false;
  }
  std::uint64_t v = 0;
  if (!parse_unsigned(kv->value, v)) {
    problem(kv->line, std::string(key) + " \"" + shown(kv->value) + "\" is no number");
    return false;
  }
  if (v > max) {
    problem(kv->line, std::string(key) + " " + shown(kv->value) + " is out of range (at most " +
                          std::to_string(max) + ")");
    return false;
  }
  out = v;
  return true;
}

void Parser::read_device_info() {
  const Section* s = section("deviceinfo");
  if (!s) {
    problem(1, "no [DeviceInfo] section", true);
    return;
  }
  if (const KeyValue* kv = s->get("vendorname")) info_.vendor_name = clean_name(kv->value);
  if (const KeyValue* kv = s->get("productname")) info_.product_name = clean_name(kv->value);
  std::uint64_t v = 0;
  const std::uint64_t u32 = 0xFFFFFFFFu;
  if (number_key(*s, "VendorNumber", u32, v, false))
    info_.vendor_number = static_cast<std::uint32_t>(v);
  if (number_key(*s, "ProductNumber", u32, v, false)) {
    info_.product_number = static_cast<std::uint32_t>(v);
  }
  if (number_key(*s, "RevisionNumber", u32, v, false)) {
    info_.revision_number = static_cast<std::uint32_t>(v);
  }
  if (number_key(*s, "NrOfRXPDO", 512, v, false)) info_.nr_of_rxpdo = static_cast<unsigned>(v);
  if (number_key(*s, "NrOfTXPDO", 512, v, false)) info_.nr_of_txpdo = static_cast<unsigned>(v);
  for (const auto& [key, kv] : s->keys) {
    if (key.size() <= 9 || key.compare(0, 9, "baudrate_") != 0) continue;
    std::uint64_t rate = 0;
    if (!parse_unsigned(key.substr(9), rate) || rate == 0 || rate > 1000) {
      problem(kv.line, "key " + shown(key) + " names no baud rate", true);
      continue;
    }
    std::uint64_t on = 0;
    if (number_key(*s, key.c_str(), 1, on, false) && on == 1) {
      info_.baud_rates_kbit.push_back(static_cast<unsigned>(rate));
    }
  }
  std::sort(info_.baud_rates_kbit.begin(), info_.baud_rates_kbit.end());
}

void Parser::read_commissioning() {
  // Spelt with one 'm' in CiA 306; the English spelling is taken too.
  const Section* s = section("devicecomissioning");
  if (!s) s = section("devicecommissioning");
  if (!s) return;
  commissioning_.given = true;
  std::uint64_t v = 0;
  if (number_key(*s, "NodeID", 127, v, false)) {
    if (v == 0) {
      problem(s->get("nodeid")->line, "NodeID 0 is out of range (1 to 127)");
    } else {
      commissioning_.node_id = static_cast<std::uint8_t>(v);
    }
  }
  if (number_key(*s, "Baudrate", 1000, v, false))
    commissioning_.baudrate_kbit = static_cast<unsigned>(v);
  if (number_key(*s, "NetNumber", 0xFFFFFFFFu, v, false)) {
    commissioning_.net_number = static_cast<unsigned>(v);
  }
  if (const KeyValue* kv = s->get("nodename")) commissioning_.node_name = clean_name(kv->value);
  if (const KeyValue* kv = s->get("networkname")) {
    commissioning_.network_name = clean_name(kv->value);
  }
}

void Parser::read_lists() {
  for (const char* name : kListSections) {
    const Section* s = section(name);
    if (!s) continue;
    any_list_ = true;
    std::uint64_t n = 0;
    if (!number_key(*s, "SupportedObjects", 0xFFFF, n, true)) continue;
    std::uint64_t missing = 0;
    for (std::uint64_t i = 1; i <= n; ++i) {
      std::string key = std::to_string(i);
      const KeyValue* kv = s->get(key);
      if (!kv) {
        ++missing;
        continue;
      }
      std::uint64_t index = 0;
      if (!number_key(*s, key.c_str(), 0xFFFF, index, false)) continue;
      listed_.emplace(static_cast<std::uint16_t>(index), kv->line);
    }
    if (missing) {
      problem(s->line, "[" + s->name + "] lacks " + std::to_string(missing) + " of its " +
                           std::to_string(n) + " entries");
    }
  }
}

void Parser::read_dummy_usage() {
  const Section* s = section("dummyusage");
  if (!s) {
    // Without the section a file says nothing against dummy entries: they are allowed.
    for (bool& a : dummy_allowed_) a = true;
    return;
  }
  for (unsigned i = 1; i <= kDummyLast; ++i) {
    std::string key = "Dummy" + hex4(i);
    std::uint64_t v = 0;
    if (number_key(*s, key.c_str(), 1, v, false)) dummy_allowed_[i] = v == 1;
  }
}

void Parser::check_value(const ObjectEntry& e, const FileValue& v, const char* key) {
  if (!v.given() || !known_data_type(e.data_type) || string_type(e.data_type)) return;
  std::uint64_t raw = 0;
  std::uint8_t node = commissioning_.node_id ? commissioning_.node_id : 1;
  if (value_bits(v, static_cast<DataType>(e.data_type), node, raw)) return;
  bool number = v.kind == FileValue::Kind::kInteger || v.kind == FileValue::Kind::kReal;
  problem(v.line, std::string(key) + " \"" + shown(v.text) + "\" of " +
                      object_ref(e.index, e.subindex) +
                      (number ? " is out of the range of " : " is no number of type ") +
                      data_type_name(e.data_type));
}

// Reads the keys of an object or subobject section into e; parent: the object a subobject
// belongs to. False when the section is too broken to make an entry of.
bool Parser::read_entry(const Section& s, ObjectEntry& e, const ObjectEntry* parent) {
  e.line = s.line;
  const KeyValue* kv = s.get("parametername");
  if (!kv || kv->value.empty()) {
    problem(s.line, "[" + s.name + "] has no ParameterName");
  } else {
    e.name = clean_name(kv->value);
  }
  std::uint64_t v = 0;
  e.kind = ObjectKind::kVar;
  if (number_key(s, "ObjectType", 0xFF, v, false)) {
    switch (v) {
      case 0x0:
      case 0x2:
      case 0x5:
      case 0x6:
      case 0x7:
      case 0x8:
      case 0x9:
        e.kind = static_cast<ObjectKind>(v);
        break;
      default:
        problem(s.get("objecttype")->line, "ObjectType " + shown(s.get("objecttype")->value) +
                                               " is none of 0x0, 0x2, 0x5 to 0x9");
    }
  }
  if (parent && e.is_parent()) {
    problem(s.line, "subobject [" + s.name + "] is itself an ARRAY or RECORD");
    e.kind = ObjectKind::kVar;
  }
  bool needs_type = e.kind == ObjectKind::kVar || e.kind == ObjectKind::kDomain;
  if (number_key(s, "DataType", 0xFFFF, v, needs_type)) {
    e.data_type = static_cast<std::uint16_t>(v);
    if (e.kind == ObjectKind::kVar && !known_data_type(e.data_type)) {
      problem(s.get("datatype")->line, "DataType " + shown(s.get("datatype")->value) + " of [" +
                                           s.name + "] is no basic data type");
    }
  } else if (e.kind == ObjectKind::kDomain) {
    e.data_type = static_cast<std::uint16_t>(DataType::kDomain);
  }
  e.access = Access::kRo;
  kv = s.get("accesstype");
  if (kv) {
    static const std::pair<const char*, Access> kAccess[] = {
        {"ro", Access::kRo},   {"wo", Access::kWo},   {"rw", Access::kRw},
        {"rwr", Access::kRwr}, {"rww", Access::kRww}, {"const", Access::kConst}};
    bool found = false;
    for (const auto& [text, access] : kAccess) {
      if (iequal(kv->value, text)) {
        e.access = access;
        found = true;
      }
    }
    if (!found) {
      problem(kv->line,
              "AccessType \"" + shown(kv->value) + "\" is none of ro, wo, rw, rwr, rww, const");
    }
  } else if (needs_type) {
    problem(s.line, "[" + s.name + "] has no AccessType");
  }
  if (number_key(s, "PDOMapping", 1, v, false)) e.pdo_mapping = v == 1;
  if (number_key(s, "SubNumber", 0xFF, v, false)) e.sub_number = static_cast<std::uint8_t>(v);
  auto value_of = [&](const char* key, FileValue& out) {
    const KeyValue* k = s.get(key);
    if (!k) return;
    out = parse_value(k->value, k->line);
    if (string_type(e.data_type) && out.given()) {
      out.kind = FileValue::Kind::kText;
      out.integer = 0;
      out.negative = false;
      out.plus_node_id = false;
    }
  };
  value_of("defaultvalue", e.default_value);
  value_of("parametervalue", e.parameter_value);
  value_of("lowlimit", e.low_limit);
  value_of("highlimit", e.high_limit);
  check_value(e, e.default_value, "DefaultValue");
  check_value(e, e.parameter_value, "ParameterValue");
  check_value(e, e.low_limit, "LowLimit");
  check_value(e, e.high_limit, "HighLimit");
  return true;
}

// Adds the entries of an ARRAY with CompactSubObj=n: the parent (a copy, as objects_ grows),
// sub 0 and subs 1..n.
void Parser::add_compact(const Section& s, ObjectEntry parent, std::uint64_t n) {
  parent.sub_number = static_cast<std::uint8_t>(n);
  if (!known_data_type(parent.data_type)) {
    problem(s.line, "[" + s.name + "] has CompactSubObj but no DataType of a basic type");
  }
  if (!s.get("accesstype")) problem(s.line, "[" + s.name + "] has CompactSubObj but no AccessType");
  ObjectEntry sub0;
  sub0.index = parent.index;
  sub0.subindex = 0;
  sub0.name = "Highest sub-index supported";
  sub0.kind = ObjectKind::kVar;
  sub0.data_type = static_cast<std::uint16_t>(DataType::kUnsigned8);
  sub0.access = Access::kRo;
  sub0.default_value.kind = FileValue::Kind::kInteger;
  sub0.default_value.integer = n;
  sub0.default_value.text = std::to_string(n);
  sub0.default_value.line = s.line;
  sub0.line = s.line;
  std::string hex = to_lower(hex4(parent.index));
  const Section* names = section((hex + "name").c_str());
  const Section* values = section((hex + "value").c_str());
  if (names) {
    std::uint64_t count = 0;
    number_key(*names, "NrOfEntries", 0xFF, count, false);
  }
  if (values) {
    std::uint64_t count = 0;
    number_key(*values, "NrOfEntries", 0xFF, count, false);
  }
  objects_.push_back(parent);
  objects_.push_back(sub0);
  for (std::uint64_t i = 1; i <= n; ++i) {
    ObjectEntry e;
    e.index = parent.index;
    e.subindex = static_cast<std::uint8_t>(i);
    e.kind = ObjectKind::kVar;
    e.data_type = parent.data_type;
    e.access = parent.access;
    e.pdo_mapping = parent.pdo_mapping;
    e.default_value = parent.default_value;
    e.low_limit = parent.low_limit;
    e.high_limit = parent.high_limit;
    e.line = s.line;
    std::string key = std::to_string(i);
    const KeyValue* name = names ? names->get(key.c_str()) : nullptr;
    e.name = name && !name->value.empty() ? clean_name(name->value) : parent.name + " " + key;
    if (const KeyValue* kv = values ? values->get(key.c_str()) : nullptr) {
      e.parameter_value = parse_value(kv->value, kv->line);
      if (string_type(e.data_type) && e.parameter_value.given()) {
        e.parameter_value.kind = FileValue::Kind::kText;
      }
      check_value(e, e.parameter_value, "value");
    }
    objects_.push_back(std::move(e));
  }
}

void Parser::read_objects() {
  // Objects first, so that every subobject finds its parent whatever the order of sections.
  std::unordered_map<std::uint16_t, std::size_t> parents;  // index -> position in objects_
  std::vector<const Section*> subs;
  std::unordered_set<std::uint16_t> compact;
  objects_.reserve(order_.size());
  by_number_.reserve(order_.size());
  for (const std::string& key : order_) {
    const Section& s = sections_.at(key);
    SectionName n = classify(key);
    if (n.kind == SectionName::Kind::kSub) {
      subs.push_back(&s);
      continue;
    }
    if (n.kind != SectionName::Kind::kObject) continue;
    ObjectEntry e;
    e.index = n.index;
    read_entry(s, e, nullptr);
    if (any_list_ && listed_.find(e.index) == listed_.end()) {
      problem(s.line, "object [" + s.name + "] is in no object list", true);
    }
    std::uint64_t count = 0;
    const KeyValue* compact_kv = s.get("compactsubobj");
    if (compact_kv && number_key(s, "CompactSubObj", 0xFF, count, false) && count > 0) {
      if (e.kind != ObjectKind::kArray) {
        problem(compact_kv->line, "CompactSubObj on [" + s.name + "], which is no ARRAY");
      } else if (compact_entries_ + count > kMaxCompactSubObjects) {
        problem(compact_kv->line, "CompactSubObj of [" + s.name + "] makes more than " +
                                      std::to_string(kMaxCompactSubObjects) +
                                      " compact subobjects in the file");
      } else {
        compact_entries_ += count;
        compact.insert(e.index);
        parents[e.index] = objects_.size();
        add_compact(s, std::move(e), count);
        continue;
      }
    }
    parents[e.index] = objects_.size();
    objects_.push_back(std::move(e));
  }
  for (const Section* s : subs) {
    SectionName n = classify(s->lower_name);
    auto p = parents.find(n.index);
    if (p == parents.end()) {
      problem(s->line, "subobject [" + s->name + "] of an object without a section");
      continue;
    }
    // The members of a DEFSTRUCT define a type; they are no objects of the device.
    if (objects_[p->second].kind == ObjectKind::kDefStruct) continue;
    if (!objects_[p->second].is_parent()) {
      problem(s->line, "subobject [" + s->name + "] of an object that is no ARRAY or RECORD");
      continue;
    }
    if (compact.count(n.index)) {
      problem(s->line, "subobject [" + s->name + "] of an object with CompactSubObj", true);
      continue;
    }
    ObjectEntry e;
    e.index = n.index;
    e.subindex = n.sub;
    const ObjectEntry& parent = objects_[p->second];
    read_entry(*s, e, &parent);
    objects_.push_back(std::move(e));
  }
  // Listed objects without a section.
  std::vector<std::pair<unsigned, std::uint16_t>> missing;
  for (const auto& [index, line] : listed_) {
    if (parents.find(index) == parents.end()) missing.emplace_back(line, index);
  }
  std::sort(missing.begin(), missing.end());
  for (const auto& [line, index] : missing) {
    problem(line,
            "object 0x" + hex4(index) + " is listed but has no section [" + hex4(index) + "]");
  }
  if (!any_list_ && !parents.empty()) {
    problem(1, "no object list ([MandatoryObjects], [OptionalObjects], [ManufacturerObjects])",
            true);
  }
  // Compact name and value sections of no compact object.
  for (const std::string& key : order_) {
    SectionName n = classify(key);
    if ((n.kind == SectionName::Kind::kCompactNames ||
         n.kind == SectionName::Kind::kCompactValues) &&
        !compact.count(n.index)) {
      problem(sections_.at(key).line,
              "[" + sections_.at(key).name + "] belongs to no object with CompactSubObj", true);
    } else if (n.kind == SectionName::Kind::kOther && !general_section(key)) {
      problem(sections_.at(key).line, "unknown section [" + sections_.at(key).name + "]", true);
    }
  }
  // By index, the entry of a whole ARRAY or RECORD before its subobjects; the order of the
  // file among equals. Positions are sorted, and each entry moved once.
  std::vector<std::size_t> order(objects_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [this](std::size_t x, std::size_t y) {
    const ObjectEntry& a = objects_[x];
    const ObjectEntry& b = objects_[y];
    if (a.index != b.index) return a.index < b.index;
    if (a.is_parent() != b.is_parent()) return a.is_parent();
    if (a.subindex != b.subindex) return a.subindex < b.subindex;
    return x < y;
  });
  // A subobject given twice ("[1018sub1]" and "[1018sub01]"): the first holds.
  std::vector<ObjectEntry> kept;
  kept.reserve(objects_.size());
  for (std::size_t i : order) {
    ObjectEntry& e = objects_[i];
    if (!e.is_parent()) {
      auto [it, inserted] =
          by_number_.emplace(std::uint32_t{e.index} << 8 | e.subindex, kept.size());
      if (!inserted) {
        problem(e.line, object_ref(e.index, e.subindex) + " given twice (first at line " +
                            std::to_string(kept[it->second].line) + ")");
        continue;
      }
    }
    kept.push_back(std::move(e));
  }
  objects_ = std::move(kept);
}

void Parser::make_keys() {
  std::vector<std::string> own(objects_.size());
  std::unordered_map<std::string, unsigned> count;
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    own[i] = make_key(objects_[i].name);
    if (own[i].empty()) own[i] = "OBJECT_" + hex4(objects_[i].index);
    ++count[own[i]];
  }
  // A subobject is an entry of an ARRAY or RECORD: the nearest parent entry before it.
  std::unordered_set<std::string> taken;
  auto take = [&](std::size_t i, std::string key) {
    const ObjectEntry& e = objects_[i];
    if (taken.count(key)) key += "_" + hex4(e.index) + "SUB" + hex_sub(e.subindex);
    std::string unique = key;
    for (unsigned n = 2; taken.count(unique); ++n) unique = key + "_" + std::to_string(n);
    taken.insert(unique);
    objects_[i].key = unique;
    by_key_.emplace(unique, i);
  };
  std::vector<std::size_t> parent_of(objects_.size(), objects_.size());
  std::size_t parent = objects_.size();
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (objects_[i].is_parent()) {
      parent = i;
    } else if (parent < objects_.size() && objects_[parent].index == objects_[i].index) {
      parent_of[i] = parent;
    }
  }
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (parent_of[i] == objects_.size()) take(i, own[i]);
  }
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (parent_of[i] == objects_.size()) continue;
    std::string key = own[i];
    if (count[key] > 1) key = objects_[parent_of[i]].key + "_" + key;
    take(i, key);
  }
}

void Parser::check_pdos() {
  auto find = [&](std::uint16_t index, std::uint8_t sub) -> const ObjectEntry* {
    auto it = by_number_.find(std::uint32_t{index} << 8 | sub);
    return it == by_number_.end() ? nullptr : &objects_[it->second];
  };
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    const ObjectEntry& m = objects_[i];
    if (m.is_parent() || m.subindex != 0) continue;
    PdoDirection dir;
    unsigned number = 0;
    if (m.index >= kRpdoMappingBase && m.index < kRpdoMappingBase + 0x200) {
      dir = PdoDirection::kReceive;
      number = m.index - kRpdoMappingBase + 1u;
    } else if (m.index >= kTpdoMappingBase && m.index < kTpdoMappingBase + 0x200) {
      dir = PdoDirection::kTransmit;
      number = m.index - kTpdoMappingBase + 1u;
    } else {
      continue;
    }
    std::string pdo = pdo_name(dir, number);
    const FileValue& count_value = m.value();
    std::uint64_t n = 0;
    if (!value_bits(count_value, DataType::kUnsigned8, 0, n)) continue;  // reported already
    unsigned count_line = count_value.line ? count_value.line : m.line;
    if (n > kMaxMappedObjects) {
      problem(count_line, "mapping of " + pdo + " has " + std::to_string(n) +
                              " entries, more than " + std::to_string(kMaxMappedObjects));
      continue;
    }
    unsigned bits = 0;
    for (unsigned s = 1; s <= n; ++s) {
      const ObjectEntry* entry = find(m.index, static_cast<std::uint8_t>(s));
      if (!entry) {
        problem(count_line, "mapping of " + pdo + " has " + std::to_string(n) + " entries but no " +
                                object_ref(m.index, static_cast<std::uint8_t>(s)));
        continue;
      }
      std::uint64_t raw = 0;
      if (!value_bits(entry->value(), DataType::kUnsigned32, 0, raw)) continue;
      MapEntry me = decode_map_entry(static_cast<std::uint32_t>(raw));
      unsigned line = entry->value().line ? entry->value().line : entry->line;
      std::string what = pdo + " entry " + std::to_string(s) + " (" +
                         object_ref(me.index, me.subindex) + ", " + std::to_string(me.bits) +
                         " bits)";
      bits += me.bits;
      if (me.bits == 0) {
        problem(line, what + " has length 0");
        continue;
      }
      if (me.index == 0) {
        problem(line, what + " names index 0");
        continue;
      }
      if (me.dummy()) {
        if (!dummy_allowed_[me.index]) {
          problem(line, what + " is a dummy entry [DummyUsage] does not allow");
        } else if (me.bits != bits_of(static_cast<DataType>(me.index))) {
          problem(line, what + " is not as long as " + data_type_name(me.index) + " (" +
                            std::to_string(bits_of(static_cast<DataType>(me.index))) + " bits)");
        }
        continue;
      }
      const ObjectEntry* target = find(me.index, me.subindex);
      if (!target) {
        problem(line, what + " names an object the file does not have");
        continue;
      }
      if (!target->pdo_mapping) {
        problem(line, what + ": " + target->name + " may not be mapped (PDOMapping is not 1)");
      }
      unsigned size = known_data_type(target->data_type)
                          ? bits_of(static_cast<DataType>(target->data_type))
                          : 0;
      if (size != me.bits) {
        problem(line,
                what + " does not match the size of " + target->name + ", " +
                    data_type_name(target->data_type) +
                    (size ? " of " + std::to_string(size) + " bits" : " without a fixed size"));
      }
      if (dir == PdoDirection::kReceive && !writable(target->access)) {
        problem(line, what + ": a receive PDO cannot write " + target->name + " (" +
                          access_name(target->access) + ")");
      }
      if (dir == PdoDirection::kTransmit && !readable(target->access)) {
        problem(line, what + ": a transmit PDO cannot read " + target->name + " (" +
                          access_name(target->access) + ")");
      }
    }
    if (bits > kMaxPdoBits) {
      problem(count_line, "mapping of " + pdo + " is " + std::to_string(bits) +
                              " bits long, more than " + std::to_string(kMaxPdoBits));
    }
  }
}

}  // namespace

const char* object_kind_name(ObjectKind k) {
  switch (k) {
    case ObjectKind::kNull:
      return "NULL";
    case ObjectKind::kDomain:
      return "DOMAIN";
    case ObjectKind::kDefType:
      return "DEFTYPE";
    case ObjectKind::kDefStruct:
      return "DEFSTRUCT";
    case ObjectKind::kVar:
      return "VAR";
    case ObjectKind::kArray:
      return "ARRAY";
    case ObjectKind::kRecord:
      return "RECORD";
  }
  return "UNKNOWN";
}

const char* access_name(Access a) {
  switch (a) {
    case Access::kRo:
      return "ro";
    case Access::kWo:
      return "wo";
    case Access::kRw:
      return "rw";
    case Access::kRwr:
      return "rwr";
    case Access::kRww:
      return "rww";
    case Access::kConst:
      return "const";
  }
  return "?";
}

bool readable(Access a) { return a != Access::kWo; }
bool writable(Access a) {
  return a == Access::kWo || a == Access::kRw || a == Access::kRwr || a == Access::kRww;
}

bool value_bits(const FileValue& v, DataType type, std::uint8_t node_id, std::uint64_t& raw) {
  const bool real32 = type == DataType::kReal32;
  const bool real64 = type == DataType::kReal64;
  if (v.kind == FileValue::Kind::kReal) {
    if (real32) {
      if (!(std::abs(v.real) <= std::numeric_limits<float>::max())) return false;
      float f = static_cast<float>(v.real);
      std::uint32_t bits = 0;
      std::memcpy(&bits, &f, sizeof bits);
      raw = bits;
      return true;
    }
    if (real64) {
      std::memcpy(&raw, &v.real, sizeof raw);
      return true;
    }
    return false;
  }
  if (v.kind != FileValue::Kind::kInteger) return false;
  // The number as a sign and a magnitude, node-ID added.
  bool negative = v.negative;
  std::uint64_t magnitude = negative ? ~v.integer + 1 : v.integer;
  if (v.plus_node_id) {
    if (negative) {
      if (magnitude <= node_id) {
        magnitude = node_id - magnitude;
        negative = false;
      } else {
        magnitude -= node_id;
      }
    } else {
      if (magnitude > std::numeric_limits<std::uint64_t>::max() - node_id) return false;
      magnitude += node_id;
    }
  }
  if (real32 || real64) {
    double d = static_cast<double>(magnitude);
    if (negative) d = -d;
    if (real32) {
      float f = static_cast<float>(d);
      std::uint32_t bits = 0;
      std::memcpy(&bits, &f, sizeof bits);
      raw = bits;
    } else {
      std::memcpy(&raw, &d, sizeof raw);
    }
    return true;
  }
  if (type == DataType::kBoolean) {
    if (negative || magnitude > 1) return false;
    raw = magnitude;
    return true;
  }
  unsigned bits = bits_of(type);
  if (bits == 0 || bits > 64 || string_type(static_cast<std::uint16_t>(type))) return false;
  const std::uint64_t all = bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  if (signed_type(type)) {
    const std::uint64_t max_positive = all >> 1;  // 2^(bits-1) - 1
    if (negative) {
      if (magnitude > max_positive + 1) return false;
      raw = (~magnitude + 1) & all;
      return true;
    }
    // A hexadecimal number may give the bit pattern of a negative value ("0xFFFF" for -1).
    bool hex = v.text.size() > 2 && v.text[0] == '0' && (v.text[1] == 'x' || v.text[1] == 'X');
    if (magnitude > (hex ? all : max_positive)) return false;
    raw = magnitude;
    return true;
  }
  if (negative || magnitude > all) return false;
  raw = magnitude;
  return true;
}

std::string to_string(const Problem& p) {
  std::string s = p.file;
  if (p.line) s += ":" + std::to_string(p.line);
  s += ": ";
  if (p.warning) s += "warning: ";
  s += p.text;
  return s;
}

DeviceDescription DeviceDescription::parse(std::string_view text, const std::string& file) {
  Parser p(text, file);
  p.run();
  DeviceDescription d;
  d.file_ = file;
  d.problems_ = std::move(p.problems_);
  d.device_info_ = std::move(p.info_);
  d.commissioning_ = std::move(p.commissioning_);
  d.dcf_ = d.commissioning_.given;
  for (const ObjectEntry& e : p.objects_) {
    if (e.parameter_value.given()) d.dcf_ = true;
  }
  d.objects_ = std::move(p.objects_);
  d.by_number_ = std::move(p.by_number_);
  d.by_key_ = std::move(p.by_key_);
  return d;
}

namespace {

void Parser::run() {
  read_sections();
  read_commissioning();
  read_device_info();
  read_lists();
  read_dummy_usage();
  read_objects();
  make_keys();
  check_pdos();
  std::stable_sort(problems_.begin(), problems_.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
}

}  // namespace

DeviceDescription DeviceDescription::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    DeviceDescription d;
    d.file_ = path;
    d.problems_.push_back(
        Problem{path, 0, std::string("cannot be read: ") + std::strerror(errno), false});
    return d;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    DeviceDescription d;
    d.file_ = path;
    d.problems_.push_back(Problem{path, 0, "cannot be read", false});
    return d;
  }
  return parse(text, path);
}

bool DeviceDescription::ok() const {
  for (const Problem& p : problems_) {
    if (!p.warning) return false;
  }
  return true;
}

const ObjectEntry* DeviceDescription::find(std::uint16_t index, std::uint8_t subindex) const {
  auto it = by_number_.find(std::uint32_t{index} << 8 | subindex);
  return it == by_number_.end() ? nullptr : &objects_[it->second];
}

const ObjectEntry* DeviceDescription::find(std::string_view key) const {
  std::string k(key);
  for (char& c : k) c = upper(c);
  auto it = by_key_.find(k);
  return it == by_key_.end() ? nullptr : &objects_[it->second];
}

std::vector<PdoSetting> DeviceDescription::pdo_settings(std::uint8_t node_id) const {
  if (node_id == 0) node_id = commissioning_.node_id;
  std::vector<PdoSetting> out;
  // PDO numbers in order, receive first: objects_ is ordered by index, and the ranges of
  // receive PDOs (0x1400, 0x1600) lie below those of transmit PDOs (0x1800, 0x1A00).
  struct Found {
    const ObjectEntry* comm = nullptr;
    const ObjectEntry* map = nullptr;
  };
  std::vector<std::pair<std::uint32_t, Found>> pdos;  // (direction << 16 | number) sorted
  std::unordered_map<std::uint32_t, std::size_t> at;
  for (const ObjectEntry& e : objects_) {
    if (!e.is_parent() && e.subindex != 0) continue;
    if (e.index < kRpdoCommunicationBase || e.index >= kTpdoMappingBase + 0x200) continue;
    unsigned offset = e.index - kRpdoCommunicationBase;
    bool transmit = offset >= 0x400;
    bool mapping = (offset & 0x200) != 0;
    unsigned number = (offset & 0x1FF) + 1;
    std::uint32_t key = (transmit ? 1u << 16 : 0u) | number;
    auto [it, inserted] = at.emplace(key, pdos.size());
    if (inserted) pdos.push_back({key, Found{}});
    Found& f = pdos[it->second].second;
    const ObjectEntry*& slot = mapping ? f.map : f.comm;
    if (!slot || e.is_parent()) slot = &e;
  }
  std::sort(pdos.begin(), pdos.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [key, f] : pdos) {
    PdoSetting s;
    s.direction = key >> 16 ? PdoDirection::kTransmit : PdoDirection::kReceive;
    s.number = key & 0xFFFF;
    s.line = f.comm ? f.comm->line : f.map->line;
    std::uint16_t comm = static_cast<std::uint16_t>(
        (s.direction == PdoDirection::kTransmit ? kTpdoCommunicationBase : kRpdoCommunicationBase) +
        s.number - 1);
    std::uint16_t map = static_cast<std::uint16_t>(comm + 0x200);
    auto get = [&](std::uint16_t index, std::uint8_t sub, DataType type, std::uint64_t& raw) {
      const ObjectEntry* e = find(index, sub);
      if (!e) return false;
      if (e->parameter_value.given()) s.configured = true;
      return value_bits(e->value(), type, node_id, raw);
    };
    std::uint64_t raw = 0;
    if (get(comm, kPdoCobIdSub, DataType::kUnsigned32, raw)) {
      s.communication.cob_id_entry = static_cast<std::uint32_t>(raw);
    }
    if (get(comm, kPdoTransmissionTypeSub, DataType::kUnsigned8, raw)) {
      s.communication.transmission_type = static_cast<std::uint8_t>(raw);
    }
    if (get(comm, kPdoInhibitTimeSub, DataType::kUnsigned16, raw)) {
      s.communication.inhibit_time = static_cast<std::uint16_t>(raw);
    }
    if (get(comm, kPdoEventTimerSub, DataType::kUnsigned16, raw)) {
      s.communication.event_timer = static_cast<std::uint16_t>(raw);
    }
    if (get(comm, kPdoSyncStartSub, DataType::kUnsigned8, raw)) {
      s.communication.sync_start = static_cast<std::uint8_t>(raw);
    }
    std::uint64_t n = 0;
    if (get(map, 0, DataType::kUnsigned8, n)) {
      for (unsigned i = 1; i <= n; ++i) {
        if (get(map, static_cast<std::uint8_t>(i), DataType::kUnsigned32, raw)) {
          s.entries.push_back(decode_map_entry(static_cast<std::uint32_t>(raw)));
        }
      }
    }
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace canopen
}  // namespace korvel
