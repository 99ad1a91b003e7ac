// frame_text.cc - the can-utils frame notation: "605#4008100000000000", "705#R", "1ABCDEF0#11".
#include "canbus/frame_text.h"

#include <cstdio>
#include <stdexcept>

#include "canbus/can_frame.h"

namespace canbus {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void bad(const std::string& text, const char* why) {
  throw std::invalid_argument("bad frame '" + text + "': " + why);
}

std::uint32_t parse_id(const std::string& text, const std::string& digits) {
  std::uint32_t id = 0;
  for (char c : digits) {
    int d = hex_digit(c);
    if (d < 0) bad(text, "identifier is not hex");
    id = id << 4 | static_cast<std::uint32_t>(d);
  }
  return id;
}

}  // namespace

CMSG frame(const std::string& text) {
  CMSG m{};
  auto hash = text.find('#');
  if (hash == std::string::npos) bad(text, "no '#'");
  std::string id_text = text.substr(0, hash);
  std::string data = text.substr(hash + 1);

  std::uint32_t id = parse_id(text, id_text);
  if (id_text.size() == 3) {
    if (id > static_cast<std::uint32_t>(kStandardIdMax)) bad(text, "11-bit identifier above 7FF");
    m.id = static_cast<std::int32_t>(id);
  } else if (id_text.size() == 8) {
    if (id > static_cast<std::uint32_t>(kExtendedIdMax))
      bad(text, "29-bit identifier above 1FFFFFFF");
    m.id = static_cast<std::int32_t>(id) | NTCAN_20B_BASE;
  } else {
    bad(text, "identifier needs 3 or 8 hex digits");
  }

  if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
    if (data.size() == 1) {
      m.len = NTCAN_RTR;
    } else if (data.size() == 2 && data[1] >= '0' && data[1] <= '8') {
      m.len = static_cast<std::uint8_t>(NTCAN_RTR | (data[1] - '0'));
    } else {
      bad(text, "remote request length must be one digit 0..8");
    }
    return m;
  }
  if (data.size() % 2 != 0) bad(text, "odd number of data digits");
  if (data.size() > 2u * kMaxDataLength) bad(text, "more than 8 data bytes");
  for (std::size_t i = 0; i < data.size(); i += 2) {
    int hi = hex_digit(data[i]);
    int lo = hex_digit(data[i + 1]);
    if (hi < 0 || lo < 0) bad(text, "data is not hex");
    m.data[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  m.len = static_cast<std::uint8_t>(data.size() / 2);
  return m;
}

std::vector<CMSG> frames(std::initializer_list<const char*> texts) {
  std::vector<CMSG> out;
  out.reserve(texts.size());
  for (const char* t : texts) out.push_back(frame(t));
  return out;
}

std::string to_string(const CMSG& m) {
  char buf[40];
  int n;
  if (is_extended(m.id)) {
    n = std::snprintf(buf, sizeof buf, "%08X#", static_cast<unsigned>(m.id & kExtendedIdMax));
  } else {
    n = std::snprintf(buf, sizeof buf, "%03X#", static_cast<unsigned>(m.id));
  }
  std::string s(buf, static_cast<std::size_t>(n));
  unsigned dlc = NTCAN_DLC(m.len);
  if (is_remote(m)) {
    s += 'R';
    if (dlc > 0) s += std::to_string(dlc);
    return s;
  }
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned i = 0; i < dlc && i < kMaxDataLength; ++i) {
    s += kHex[m.data[i] >> 4];
    s += kHex[m.data[i] & 0x0F];
  }
  return s;
}

std::string to_string(const std::vector<CMSG>& ms) {
  std::string s;
  for (const CMSG& m : ms) {
    s += to_string(m);
    s += '\n';
  }
  return s;
}

}  // namespace canbus
