// The operator's read and write commands: SDO transfers of any object through the node.
#include "sdo_commands.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "canopen/endian.h"
#include "eq_fct.h"

namespace {

constexpr int kMaxObject = 256;  // bytes the console reads of one object

std::string hex(unsigned long v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*lX", digits, v);
  return buf;
}

// "PUMP1 0x1017/0"
std::string object_name(const std::string& node, int index, int sub) {
  return node + " " + hex(static_cast<unsigned long>(index), 4) + "/" + std::to_string(sub);
}

// A number as the operator writes it: decimal, or hexadecimal with 0x; within [min, max].
bool to_number(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

std::string shown(const unsigned char* bytes, int size) {
  std::string hexes;
  bool printable = size > 0;
  for (int i = 0; i < size; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", bytes[i]);
    hexes += b;
    printable = printable && bytes[i] >= 0x20 && bytes[i] <= 0x7E;
  }
  const std::string text =
      printable ? "\"" + std::string(bytes, bytes + size) + "\"" : std::string();
  const std::string count = std::to_string(size) + (size == 1 ? " byte" : " bytes");
  if (size >= 1 && size <= 4) {
    const auto v = korvel::canopen::get_le(bytes, static_cast<std::size_t>(size));
    return std::to_string(v) + " (" + count + ": " + hexes + (printable ? ", text " + text : "") +
           ")";
  }
  if (printable) return text + " (" + count + ")";
  return size == 0 ? "(no bytes)" : hexes + " (" + count + ")";
}

struct Target {
  D_can* node = nullptr;
  int index = 0;
  int sub = 0;
  std::string name;       // how replies name the object: "PUMP1 0x1017/0", "PUMP1 SPEED"
  std::size_t value = 0;  // the word of the value to write
  std::string error;      // set when the words do not name an object of a node
};

// An index starts with a digit ("0x1017", "4119"); anything else names the object.
bool by_name(const std::vector<std::string>& w) {
  return w.size() > 2 && !w[2].empty() && !std::isdigit(static_cast<unsigned char>(w[2][0]));
}

Target target(EqFct& loc, const std::vector<std::string>& w) {
  Target t;
  D_fct* prop = loc.find_property(w[1]);
  t.node = dynamic_cast<D_can*>(prop);
  if (!t.node) {
    t.error = "no node '" + w[1] + "' at location " + loc.get_location_name() + " (try: list)\n";
    return t;
  }
  if (by_name(w)) {
    if (t.node->find_object(w[2], &t.index, &t.sub) != korvel::kOk) {
      t.error = "no object '" + w[2] + "' in the device file of " + w[1] +
                " (the node's .DEVICE_FILE names its objects)\n";
    }
    t.name =
        w[1] + " " + w[2] + " (" + object_name(w[1], t.index, t.sub).substr(w[1].size() + 1) + ")";
    t.value = 3;
    return t;
  }
  long long index = 0;
  long long sub = 0;
  if (!to_number(w[2], 0, 0xFFFF, &index)) {
    t.error = "'" + w[2] + "' is no object index (0 to 0xFFFF, e.g. 0x1017)\n";
  } else if (w.size() < 4 || !to_number(w[3], 0, 0xFF, &sub)) {
    t.error = "'" + (w.size() < 4 ? std::string() : w[3]) + "' is no subindex (0 to 255)\n";
  }
  t.index = static_cast<int>(index);
  t.sub = static_cast<int>(sub);
  t.name = object_name(w[1], t.index, t.sub);
  t.value = 4;
  return t;
}

// The quoted text after the first four words, without its quotes; false if there is none.
bool quoted_value(const std::string& line, std::string* text) {
  const std::size_t open = line.find('"');
  const std::size_t close = line.rfind('"');
  if (open == std::string::npos || close == open) return false;
  *text = line.substr(open + 1, close - open - 1);
  return true;
}

}  // namespace

std::string sdo_failure_text(int status, unsigned abort_code, bool by_device) {
  if (status == 0) return std::string();
  if (status == korvel::kFailed) {
    return (by_device ? "the device aborted: " : "the server aborted: ") +
           D_can::sdo_abort_text(abort_code);
  }
  if (status == korvel::kNoUsableLine) return "the node has no usable line";
  return can_error_str(static_cast<unsigned long>(static_cast<long>(status)));
}

std::string sdo_command(EqFct& loc, const std::string& line, const std::vector<std::string>& w) {
  const bool write = w[0] == "write";
  // read NODE INDEX SUB | read NODE NAME; write NODE INDEX SUB VALUE | write NODE NAME VALUE
  const std::size_t words = (by_name(w) ? 3 : 4) + (write ? 1 : 0);
  if ((!write && w.size() != words) || (write && w.size() < words)) {
    return write ? "usage: write NODE INDEX SUB VALUE, or write NODE NAME VALUE (e.g. write HEAT4 "
                   "0x1017 0 500, write FAN2 HIGH_SPEED 3000, or a \"text\")\n"
                 : "usage: read NODE INDEX SUB, or read NODE NAME (e.g. read PUMP1 0x1018 1, read "
                   "PUMP1 SPEED)\n";
  }
  const Target t = target(loc, w);
  if (!t.error.empty()) return t.error;
  const std::string& name = t.name;

  unsigned char bytes[kMaxObject];
  int size = 0;
  D_can::sdo_outcome why;
  if (!write) {
    const int r = t.node->sdo_read(t.index, t.sub, bytes, sizeof bytes, &size, &why);
    if (r != 0)
      return "read " + name + " failed: " + sdo_failure_text(r, why.abort_code, why.by_device) +
             "\n";
    return name + " = " + shown(bytes, size) + "\n";
  }

  std::string text;
  if (quoted_value(line, &text)) {
    if (text.empty()) return "write " + name + ": an empty text cannot be written\n";
    const int r =
        t.node->sdo_write(t.index, t.sub, reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()), &why);
    if (r != 0)
      return "write " + name + " failed: " + sdo_failure_text(r, why.abort_code, why.by_device) +
             "\n";
    return name + " = \"" + text + "\" written (" + std::to_string(text.size()) + " bytes)\n";
  }
  long long value = 0;
  const std::string& given = w[t.value];
  if (w.size() != t.value + 1 || !to_number(given, -0x80000000LL, 0xFFFFFFFFLL, &value)) {
    return "'" + given + "' is no value: write takes an integer (e.g. 500, 0x1F4) or a \"text\"\n";
  }
  // The object's length decides how many bytes the number takes.
  int r = t.node->sdo_read(t.index, t.sub, bytes, sizeof bytes, &size, &why);
  if (r != 0) {
    return "write " + name + " failed: cannot read its length first: " +
           sdo_failure_text(r, why.abort_code, why.by_device) + "\n";
  }
  if (size < 1 || size > 4) {
    return "write " + name + ": the object has " + std::to_string(size) +
           " bytes, give a \"text\" for it\n";
  }
  const unsigned long long bits = static_cast<unsigned long long>(value);
  const bool fits =
      size == 4 || (value >= 0 ? bits >> (8 * size) == 0 : value >= -(1LL << (8 * size - 1)));
  if (!fits)
    return given + " does not fit the " + std::to_string(size) + " bytes of " + name + "\n";
  korvel::canopen::put_le(bytes, static_cast<std::size_t>(size), bits);
  r = t.node->sdo_write(t.index, t.sub, bytes, size, &why);
  if (r != 0)
    return "write " + name + " failed: " + sdo_failure_text(r, why.abort_code, why.by_device) +
           "\n";
  return name + " = " + shown(bytes, size) + " written\n";
}
