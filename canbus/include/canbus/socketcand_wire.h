// socketcand_wire.h - the socketcand protocol as text: splitting a byte stream into messages, and
// the messages of raw mode in both directions.
//
// Every message is "< word word ... >". A receiver takes each message from '<' to the next
// '>' and ignores whatever lies between messages. Raw mode, as used here:
//
//   server -> client   < hi >   < ok >   < echo >   < error TEXT >
//                      < frame ID SECONDS.MICROSECONDS HEXDATA >   (no data: "HEX" empty)
//                      < rtr ID SECONDS.MICROSECONDS DLC >         (remote frame)
//   client -> server   < open BUS >   < rawmode >   < echo >
//                      < send ID DLC B0 B1 ... >                  (no reply)
//                      < sendrtr ID DLC >                         (remote frame, no reply)
//
// An identifier of exactly eight hex digits is extended (29 bits), any other standard.
// Nothing here does I/O: bytes in, messages and frames out.
#ifndef CANBUS_SOCKETCAND_WIRE_H
#define CANBUS_SOCKETCAND_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ntcan.h"

namespace canbus {
namespace socketcand {

constexpr int kDefaultPort = 29536;
// Longest message body kept; a longer one is dropped whole. The longest real message, a
// frame with eight bytes and an extended identifier, has about 50 characters.
constexpr std::size_t kMaxMessage = 256;
// Room write_frame() needs at most: "< frame ", an extended identifier, a time stamp of two
// 64-bit numbers (41 characters), sixteen hex digits and " >".
constexpr std::size_t kMaxFrameText = 80;

// Cuts a byte stream into message bodies (the text between '<' and '>', spaces trimmed).
// Bytes outside messages are skipped; a '<' inside a message starts the message anew (the
// one before it was cut off); a message longer than kMaxMessage is dropped and reading goes
// on at the next '<'. Cutting allocates nothing: a body that arrived whole in one piece of
// the stream is handed out where it lies, one split across pieces is kept in the reader.
class MessageReader {
 public:
  // The next body completed by the bytes from `at` to `end`: true with body set and `at` just
  // past its '>'; false once the bytes are used up (`at` == end; a body they began is kept
  // for the next call). body points into those bytes or into the reader and stays valid
  // until the reader is next called.
  bool next(const char*& at, const char* end, std::string_view& body);
  // Calls on_body(std::string_view) for each body these bytes complete, in order; the view is
  // valid during the call only.
  template <typename OnBody>
  void feed(const char* data, std::size_t size, OnBody&& on_body) {
    const char* at = data;
    std::string_view body;
    while (next(at, data + size, body)) on_body(body);
  }
  // Appends the bodies completed by these bytes to out.
  void feed(const char* data, std::size_t size, std::vector<std::string>& out);
  // Bytes skipped between messages, and messages dropped as cut off or too long.
  std::uint64_t skipped_bytes() const { return skipped_; }
  std::uint64_t dropped_messages() const { return dropped_; }

 private:
  enum class State { kOutside, kInside, kTooLong };
  State state_ = State::kOutside;
  std::size_t length_ = 0;       // characters of body_ taken from earlier pieces of the stream
  char body_[kMaxMessage] = {};  // a body begun in an earlier piece
  std::uint64_t skipped_ = 0;
  std::uint64_t dropped_ = 0;
};

// The words of a message body.
std::vector<std::string> words(const std::string& body);

// Messages sent by a client.
std::string encode_open(const std::string& bus);
std::string encode_rawmode();
std::string encode_echo();
// "< send ... >" for a data frame, "< sendrtr ID DLC >" for a remote frame.
std::string encode_send(const CMSG& m);
// The same, appended to out (no allocation once out has room).
void append_send(std::string& out, const CMSG& m);

// Messages sent by a server.
std::string encode_hi();
std::string encode_ok();
std::string encode_error(const std::string& text);
// "< frame ... >" or "< rtr ... >" with the given wall-clock time stamp (microseconds padded
// to six digits).
std::string encode_frame(const CMSG& m, std::int64_t seconds, std::int64_t microseconds);
// The same written to out, which has room for kMaxFrameText characters (no terminating
// zero); returns how many were written. No allocation.
std::size_t write_frame(char* out, const CMSG& m, std::int64_t seconds, std::int64_t microseconds);
// The same appended to out (no allocation once out has room).
void append_frame(std::string& out, const CMSG& m, std::int64_t seconds, std::int64_t microseconds);

// What a message body is, and the frame it carries.
enum class Kind {
  kHi,
  kOk,
  kEcho,
  kError,
  kFrame,  // server -> client: frame or rtr
  kSend,   // client -> server: send or sendrtr
  kOpen,
  kRawmode,
  kMalformed,  // a frame or send whose fields do not parse
  kOther,
};

struct Message {
  Kind kind = Kind::kOther;
  CMSG frame{};      // kFrame, kSend
  std::string text;  // kError: the reason; kOpen: the bus; kOther: the first word
};

// Parses a body as MessageReader returns it. Identifiers, lengths and bytes are checked:
// a frame that could not be on a CAN bus is kMalformed (its frame all zero).
Message parse(std::string_view body);
// The same into out, whose text keeps its storage: frames, sends and the control messages
// allocate nothing, only the text of an error, an open or an unknown message is copied.
// Returns out.kind.
Kind parse(std::string_view body, Message& out);

// Hex identifier as in the protocol: exactly eight digits make an extended one. False for
// anything that is not a valid identifier.
bool parse_id(std::string_view text, std::int32_t& id);

// Text a gateway sent, made fit for one log line: a backslash, control characters and bytes
// outside printable ASCII come out escaped ("\\", "\n", "\r", "\t", else "\xHH"), so a
// gateway can neither forge log lines nor send escape codes to a terminal. At most max_chars
// characters of the result are kept; a cut is marked with "...".
std::string printable(const std::string& text, std::size_t max_chars = 120);

}  // namespace socketcand
}  // namespace canbus

#endif  // CANBUS_SOCKETCAND_WIRE_H
