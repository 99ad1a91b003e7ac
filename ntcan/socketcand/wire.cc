// wire.cc - socketcand messages: the stream splitter, encoders and the body parser.
#include "socketcand/wire.h"

#include <cstdio>
#include <cstring>

#include "can_frame.h"

namespace socketcand {

namespace {

constexpr int kExtendedDigits = 8;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A byte written as one or two hex digits.
bool parse_byte(const std::string& text, std::uint8_t& out) {
  if (text.empty() || text.size() > 2) return false;
  int v = 0;
  for (char c : text) {
    const int d = hex_value(c);
    if (d < 0) return false;
    v = v * 16 + d;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

// A data length 0..8 in decimal.
bool parse_dlc(const std::string& text, std::uint8_t& out) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '8') return false;
  out = static_cast<std::uint8_t>(text[0] - '0');
  return true;
}

// SECONDS.MICROSECONDS; only its shape is checked, the value is of no use to the driver.
bool is_timestamp(const std::string& text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != dot && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// Data packed as hex digits, two per byte.
bool parse_packed(const std::string& text, CMSG& m) {
  if (text.size() % 2 != 0 || text.size() > 2 * ntcan_driver::kMaxDataLength) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = hex_value(text[i]);
    const int lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    m.data[i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  m.len = static_cast<std::uint8_t>(text.size() / 2);
  return true;
}

std::string id_text(std::int32_t id) {
  char buf[16];
  if (ntcan_driver::is_extended(id)) {
    std::snprintf(buf, sizeof buf, "%08X",
                  static_cast<unsigned>(id & ntcan_driver::kExtendedIdMax));
  } else {
    std::snprintf(buf, sizeof buf, "%03X", static_cast<unsigned>(id));
  }
  return buf;
}

Message malformed() {
  Message m;
  m.kind = Kind::kMalformed;
  return m;
}

// frame ID TS [HEX]  |  rtr ID TS DLC
Message parse_frame(const std::vector<std::string>& w) {
  Message out;
  out.kind = Kind::kFrame;
  CMSG& m = out.frame;
  if (w.size() < 3 || !parse_id(w[1], m.id) || !is_timestamp(w[2])) return malformed();
  if (w[0] == "rtr") {
    std::uint8_t dlc = 0;
    if (w.size() != 4 || !parse_dlc(w[3], dlc)) return malformed();
    m.len = static_cast<std::uint8_t>(NTCAN_RTR | dlc);
    return out;
  }
  if (w.size() > 4) return malformed();
  if (w.size() == 4 && !parse_packed(w[3], m)) return malformed();
  return out;
}

// send ID DLC B0 ...  |  sendrtr ID DLC
Message parse_send(const std::vector<std::string>& w) {
  Message out;
  out.kind = Kind::kSend;
  CMSG& m = out.frame;
  std::uint8_t dlc = 0;
  if (w.size() < 3 || !parse_id(w[1], m.id) || !parse_dlc(w[2], dlc)) return malformed();
  if (w[0] == "sendrtr") {
    if (w.size() != 3) return malformed();
    m.len = static_cast<std::uint8_t>(NTCAN_RTR | dlc);
    return out;
  }
  if (w.size() != 3u + dlc) return malformed();
  for (std::uint8_t i = 0; i < dlc; ++i) {
    if (!parse_byte(w[3u + i], m.data[i])) return malformed();
  }
  m.len = dlc;
  return out;
}

}  // namespace

void MessageReader::feed(const char* data, std::size_t size, std::vector<std::string>& out) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '<') {
      if (state_ != State::kOutside) ++dropped_;  // cut off by the next message
      state_ = State::kInside;
      body_.clear();
      continue;
    }
    switch (state_) {
      case State::kOutside:
        ++skipped_;
        break;
      case State::kTooLong:
        if (c == '>') state_ = State::kOutside;
        break;
      case State::kInside:
        if (c == '>') {
          std::size_t b = 0, e = body_.size();
          while (b < e && is_space(body_[b])) ++b;
          while (e > b && is_space(body_[e - 1])) --e;
          out.emplace_back(body_, b, e - b);
          state_ = State::kOutside;
        } else if (body_.size() >= kMaxMessage) {
          ++dropped_;
          state_ = State::kTooLong;
          body_.clear();
        } else {
          body_.push_back(c);
        }
        break;
    }
  }
}

std::vector<std::string> words(const std::string& body) {
  std::vector<std::string> w;
  std::size_t i = 0;
  while (i < body.size()) {
    while (i < body.size() && is_space(body[i])) ++i;
    std::size_t j = i;
    while (j < body.size() && !is_space(body[j])) ++j;
    if (j > i) w.emplace_back(body, i, j - i);
    i = j;
  }
  return w;
}

bool parse_id(const std::string& text, std::int32_t& id) {
  if (text.empty() || text.size() > static_cast<std::size_t>(kExtendedDigits)) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    const int d = hex_value(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  if (text.size() == static_cast<std::size_t>(kExtendedDigits)) {
    if (v > static_cast<std::uint32_t>(ntcan_driver::kExtendedIdMax)) return false;
    id = static_cast<std::int32_t>(v) | NTCAN_20B_BASE;
    return true;
  }
  if (v > static_cast<std::uint32_t>(ntcan_driver::kStandardIdMax)) return false;
  id = static_cast<std::int32_t>(v);
  return true;
}

std::string encode_open(const std::string& bus) { return "< open " + bus + " >"; }
std::string encode_rawmode() { return "< rawmode >"; }
std::string encode_echo() { return "< echo >"; }
std::string encode_hi() { return "< hi >"; }
std::string encode_ok() { return "< ok >"; }
std::string encode_error(const std::string& text) { return "< error " + text + " >"; }

void append_send(std::string& out, const CMSG& m) {
  const unsigned dlc = NTCAN_DLC(m.len);
  char text[64];  // the longest, eight bytes with an extended identifier, takes 44
  const std::string id = id_text(m.id);  // at most eight characters: no allocation
  int n = std::snprintf(text, sizeof text,
                        ntcan_driver::is_remote(m) ? "< sendrtr %s %u" : "< send %s %u", id.c_str(),
                        dlc);
  for (unsigned i = 0; !ntcan_driver::is_remote(m) && i < dlc && i < ntcan_driver::kMaxDataLength;
       ++i) {
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " %02X", m.data[i]);
  }
  std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " >");
  out += text;
}

std::string encode_send(const CMSG& m) {
  std::string s;
  append_send(s, m);
  return s;
}

std::string encode_frame(const CMSG& m, std::int64_t seconds, std::int64_t microseconds) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%lld.%06lld", static_cast<long long>(seconds),
                static_cast<long long>(microseconds));
  const unsigned dlc = NTCAN_DLC(m.len);
  if (ntcan_driver::is_remote(m)) {
    return "< rtr " + id_text(m.id) + " " + stamp + " " + std::to_string(dlc) + " >";
  }
  std::string data;
  char byte[4];
  for (unsigned i = 0; i < dlc && i < ntcan_driver::kMaxDataLength; ++i) {
    std::snprintf(byte, sizeof byte, "%02X", m.data[i]);
    data += byte;
  }
  return "< frame " + id_text(m.id) + " " + stamp + " " + data + " >";
}

Message parse(const std::string& body) {
  const std::vector<std::string> w = words(body);
  Message out;
  if (w.empty()) return out;
  const std::string& verb = w[0];
  if (verb == "frame" || verb == "rtr") return parse_frame(w);
  if (verb == "send" || verb == "sendrtr") return parse_send(w);
  if (w.size() == 1 && verb == "hi") {
    out.kind = Kind::kHi;
  } else if (w.size() == 1 && verb == "ok") {
    out.kind = Kind::kOk;
  } else if (w.size() == 1 && verb == "echo") {
    out.kind = Kind::kEcho;
  } else if (w.size() == 1 && verb == "rawmode") {
    out.kind = Kind::kRawmode;
  } else if (verb == "error") {
    out.kind = Kind::kError;
    const std::size_t at = body.find("error") + 5;
    std::size_t b = at;
    while (b < body.size() && is_space(body[b])) ++b;
    out.text = body.substr(b);
  } else if (w.size() == 2 && verb == "open") {
    out.kind = Kind::kOpen;
    out.text = w[1];
  } else {
    out.text = verb;
  }
  return out;
}

std::string printable(const std::string& text, std::size_t max_chars) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    char piece[8];
    switch (c) {
      case '\\':
        std::snprintf(piece, sizeof piece, "\\\\");
        break;
      case '\n':
        std::snprintf(piece, sizeof piece, "\\n");
        break;
      case '\r':
        std::snprintf(piece, sizeof piece, "\\r");
        break;
      case '\t':
        std::snprintf(piece, sizeof piece, "\\t");
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          piece[0] = static_cast<char>(c);
          piece[1] = '\0';
        } else {
          std::snprintf(piece, sizeof piece, "\\x%02x", c);
        }
    }
    const std::size_t len = std::strlen(piece);
    if (out.size() + len > max_chars) {
      out += "...";
      break;
    }
    out += piece;
  }
  return out;
}

}  // namespace socketcand
