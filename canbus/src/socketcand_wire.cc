// socketcand_wire.cc - socketcand messages: the stream splitter, encoders and the body parser, none
// of which allocates per message on the paths frames take.
#include "canbus/socketcand_wire.h"

#include <cstdio>
#include <cstring>

#include "canbus/can_frame.h"

namespace canbus {
namespace socketcand {

namespace {

constexpr int kExtendedDigits = 8;
// "send ID DLC" and eight bytes: the most words a message that parses can have.
constexpr std::size_t kMaxWords = 11;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The first '<' or '>' in [at, end), or null.
const char* find_bracket(const char* at, const char* end) {
  for (; at < end; ++at) {
    if (*at == '<' || *at == '>') return at;
  }
  return nullptr;
}

// The words of a body: all of them counted, the first kMaxWords kept (a message with more
// parses as nothing but kOther or kMalformed, which the count alone decides).
struct Words {
  std::string_view word[kMaxWords];
  std::size_t count = 0;
};

void split(std::string_view body, Words& w) {
  std::size_t i = 0;
  while (i < body.size()) {
    while (i < body.size() && is_space(body[i])) ++i;
    std::size_t j = i;
    while (j < body.size() && !is_space(body[j])) ++j;
    if (j > i) {
      if (w.count < kMaxWords) w.word[w.count] = body.substr(i, j - i);
      ++w.count;
    }
    i = j;
  }
}

// A byte written as one or two hex digits.
bool parse_byte(std::string_view text, std::uint8_t& out) {
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
bool parse_dlc(std::string_view text, std::uint8_t& out) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '8') return false;
  out = static_cast<std::uint8_t>(text[0] - '0');
  return true;
}

// SECONDS.MICROSECONDS; only its shape is checked, the value is of no use to the driver.
bool is_timestamp(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != dot && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// Data packed as hex digits, two per byte.
bool parse_packed(std::string_view text, CMSG& m) {
  if (text.size() % 2 != 0 || text.size() > 2 * canbus::kMaxDataLength) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = hex_value(text[i]);
    const int lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    m.data[i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  m.len = static_cast<std::uint8_t>(text.size() / 2);
  return true;
}

// frame ID TS [HEX]  |  rtr ID TS DLC
bool parse_frame(const Words& w, CMSG& m) {
  if (w.count < 3 || !parse_id(w.word[1], m.id) || !is_timestamp(w.word[2])) return false;
  if (w.word[0] == "rtr") {
    std::uint8_t dlc = 0;
    if (w.count != 4 || !parse_dlc(w.word[3], dlc)) return false;
    m.len = static_cast<std::uint8_t>(NTCAN_RTR | dlc);
    return true;
  }
  if (w.count > 4) return false;
  return w.count == 3 || parse_packed(w.word[3], m);
}

// send ID DLC B0 ...  |  sendrtr ID DLC
bool parse_send(const Words& w, CMSG& m) {
  std::uint8_t dlc = 0;
  if (w.count < 3 || !parse_id(w.word[1], m.id) || !parse_dlc(w.word[2], dlc)) return false;
  if (w.word[0] == "sendrtr") {
    if (w.count != 3) return false;
    m.len = static_cast<std::uint8_t>(NTCAN_RTR | dlc);
    return true;
  }
  if (w.count != 3u + dlc) return false;
  for (std::uint8_t i = 0; i < dlc; ++i) {
    if (!parse_byte(w.word[3u + i], m.data[i])) return false;
  }
  m.len = dlc;
  return true;
}

// Writers for the encoders: each puts its text at p and returns the position after it.
char* put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

char* put_hex_byte(char* p, std::uint8_t b) {
  *p++ = kHexDigits[b >> 4];
  *p++ = kHexDigits[b & 0x0F];
  return p;
}

// Hex digits of v, at least min_digits of them.
char* put_hex(char* p, std::uint32_t v, int min_digits) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[v & 0x0F];
    v >>= 4;
  } while (v != 0);
  while (n < min_digits) digits[n++] = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// Decimal, at least min_width characters with the sign, zeros after the sign as printf's
// "%0*lld" pads.
char* put_decimal(char* p, std::int64_t v, int min_width) {
  std::uint64_t magnitude =
      v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (v < 0) {
    *p++ = '-';
    --min_width;
  }
  while (n < min_width) digits[n++] = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// The identifier as the protocol writes it: eight digits for an extended one, else at
// least three.
char* put_id(char* p, std::int32_t id) {
  if (canbus::is_extended(id))
    return put_hex(p, static_cast<std::uint32_t>(id & canbus::kExtendedIdMax), kExtendedDigits);
  return put_hex(p, static_cast<std::uint32_t>(id), 3);
}

}  // namespace

bool MessageReader::next(const char*& at, const char* end, std::string_view& body) {
  while (at < end) {
    switch (state_) {
      case State::kOutside: {
        const auto* open =
            static_cast<const char*>(std::memchr(at, '<', static_cast<std::size_t>(end - at)));
        const char* stop = open ? open : end;
        skipped_ += static_cast<std::uint64_t>(stop - at);
        at = stop;
        if (open) {
          ++at;
          state_ = State::kInside;
          length_ = 0;
        }
        break;
      }
      case State::kTooLong: {
        const char* bracket = find_bracket(at, end);
        if (!bracket) {
          at = end;
          break;
        }
        at = bracket + 1;
        if (*bracket == '<') {
          ++dropped_;  // cut off by the next message
          state_ = State::kInside;
          length_ = 0;
        } else {
          state_ = State::kOutside;
        }
        break;
      }
      case State::kInside: {
        const char* start = at;
        const char* bracket = find_bracket(at, end);
        const char* stop = bracket ? bracket : end;
        const auto n = static_cast<std::size_t>(stop - start);
        if (length_ + n > kMaxMessage) {
          ++dropped_;
          state_ = State::kTooLong;
          length_ = 0;
          at = stop;  // the rest up to the bracket is skipped in kTooLong
          break;
        }
        if (!bracket) {
          std::memcpy(body_ + length_, start, n);
          length_ += n;
          at = end;
          break;
        }
        at = bracket + 1;
        if (*bracket == '<') {
          ++dropped_;  // cut off by the next message
          length_ = 0;
          break;
        }
        const char* b = start;
        const char* e = bracket;
        if (length_ > 0) {  // begun in an earlier piece: completed in the reader
          std::memcpy(body_ + length_, start, n);
          b = body_;
          e = body_ + length_ + n;
        }
        state_ = State::kOutside;
        length_ = 0;
        while (b < e && is_space(*b)) ++b;
        while (e > b && is_space(e[-1])) --e;
        body = std::string_view(b, static_cast<std::size_t>(e - b));
        return true;
      }
    }
  }
  return false;
}

void MessageReader::feed(const char* data, std::size_t size, std::vector<std::string>& out) {
  feed(data, size, [&out](std::string_view body) { out.emplace_back(body); });
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

bool parse_id(std::string_view text, std::int32_t& id) {
  if (text.empty() || text.size() > static_cast<std::size_t>(kExtendedDigits)) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    const int d = hex_value(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  if (text.size() == static_cast<std::size_t>(kExtendedDigits)) {
    if (v > static_cast<std::uint32_t>(canbus::kExtendedIdMax)) return false;
    id = static_cast<std::int32_t>(v) | NTCAN_20B_BASE;
    return true;
  }
  if (v > static_cast<std::uint32_t>(canbus::kStandardIdMax)) return false;
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
  // The longest, eight bytes with an extended identifier, takes 44 characters.
  char text[64];
  const unsigned dlc = NTCAN_DLC(m.len);
  const bool remote = canbus::is_remote(m);
  char* p = put(text, remote ? "< sendrtr " : "< send ");
  p = put_id(p, m.id);
  *p++ = ' ';
  p = put_decimal(p, dlc, 1);
  for (unsigned i = 0; !remote && i < dlc && i < canbus::kMaxDataLength; ++i) {
    *p++ = ' ';
    p = put_hex_byte(p, m.data[i]);
  }
  p = put(p, " >");
  out.append(text, static_cast<std::size_t>(p - text));
}

std::string encode_send(const CMSG& m) {
  std::string s;
  append_send(s, m);
  return s;
}

std::size_t write_frame(char* out, const CMSG& m, std::int64_t seconds, std::int64_t microseconds) {
  const unsigned dlc = NTCAN_DLC(m.len);
  const bool remote = canbus::is_remote(m);
  char* p = put(out, remote ? "< rtr " : "< frame ");
  p = put_id(p, m.id);
  *p++ = ' ';
  p = put_decimal(p, seconds, 1);
  *p++ = '.';
  p = put_decimal(p, microseconds, 6);
  *p++ = ' ';
  if (remote) {
    p = put_decimal(p, dlc, 1);
  } else {
    for (unsigned i = 0; i < dlc && i < canbus::kMaxDataLength; ++i) p = put_hex_byte(p, m.data[i]);
  }
  p = put(p, " >");
  return static_cast<std::size_t>(p - out);
}

void append_frame(std::string& out, const CMSG& m, std::int64_t seconds,
                  std::int64_t microseconds) {
  char text[kMaxFrameText];
  out.append(text, write_frame(text, m, seconds, microseconds));
}

std::string encode_frame(const CMSG& m, std::int64_t seconds, std::int64_t microseconds) {
  std::string s;
  append_frame(s, m, seconds, microseconds);
  return s;
}

Message parse(std::string_view body) {
  Message out;
  parse(body, out);
  return out;
}

Kind parse(std::string_view body, Message& out) {
  out.kind = Kind::kOther;
  out.frame = CMSG{};
  out.text.clear();
  Words w;
  split(body, w);
  if (w.count == 0) return out.kind;
  const std::string_view verb = w.word[0];
  if (verb == "frame" || verb == "rtr" || verb == "send" || verb == "sendrtr") {
    const bool frame = verb == "frame" || verb == "rtr";
    if (frame ? parse_frame(w, out.frame) : parse_send(w, out.frame)) {
      out.kind = frame ? Kind::kFrame : Kind::kSend;
    } else {
      out.kind = Kind::kMalformed;
      out.frame = CMSG{};
    }
  } else if (w.count == 1 && verb == "hi") {
    out.kind = Kind::kHi;
  } else if (w.count == 1 && verb == "ok") {
    out.kind = Kind::kOk;
  } else if (w.count == 1 && verb == "echo") {
    out.kind = Kind::kEcho;
  } else if (w.count == 1 && verb == "rawmode") {
    out.kind = Kind::kRawmode;
  } else if (verb == "error") {
    out.kind = Kind::kError;
    std::size_t b = static_cast<std::size_t>(verb.data() + verb.size() - body.data());
    while (b < body.size() && is_space(body[b])) ++b;
    out.text.assign(body.substr(b));
  } else if (w.count == 2 && verb == "open") {
    out.kind = Kind::kOpen;
    out.text.assign(w.word[1]);
  } else {
    out.text.assign(verb);
  }
  return out.kind;
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
}  // namespace canbus
