// wire_fuzz - libFuzzer target for what a net's reader thread does with the bytes a gateway
// sends: the input, cut into pieces whose sizes its first byte sets, goes through the stream
// splitter and every body through the parser. Checked: the splitter cuts as the byte-by-byte
// reference does, no body exceeds kMaxMessage, both parse calls agree, every frame that
// parses could be on a bus, and it comes back the same through the encoders.
//
// Built with -DKORVEL_FUZZ=ON by clang; e.g. build/tests/socketcand/wire_fuzz -runs=1000000
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "can_frame.h"
#include "socketcand/wire.h"
#include "wire_reference.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool same_frame(const CMSG& a, const CMSG& b) {
  return a.id == b.id && a.len == b.len &&
         (ntcan_frame::is_remote(a) || std::memcmp(a.data, b.data, NTCAN_DLC(a.len)) == 0);
}

// The frame parsed again from what the encoders make of it.
void check_round_trip(const socketcand::Message& m) {
  socketcand::Message again;
  if (m.kind == socketcand::Kind::kFrame) {
    char text[socketcand::kMaxFrameText];
    const std::size_t size = socketcand::write_frame(text, m.frame, 1700000000, 123456);
    check(size <= socketcand::kMaxFrameText && text[0] == '<' && text[size - 1] == '>');
    check(socketcand::parse(std::string_view(text + 1, size - 2), again) ==
          socketcand::Kind::kFrame);
  } else {
    const std::string text = socketcand::encode_send(m.frame);
    check(socketcand::parse(std::string_view(text).substr(1, text.size() - 2), again) ==
          socketcand::Kind::kSend);
  }
  check(same_frame(m.frame, again.frame));
}

void check_body(std::string_view body, socketcand::Message& m) {
  check(body.size() <= socketcand::kMaxMessage);
  const socketcand::Kind kind = socketcand::parse(body, m);
  const socketcand::Message fresh = socketcand::parse(std::string(body));
  check(kind == fresh.kind && m.text == fresh.text);
  if (kind == socketcand::Kind::kFrame || kind == socketcand::Kind::kSend) {
    check(ntcan_frame::valid_frame(m.frame) && same_frame(m.frame, fresh.frame));
    check_round_trip(m);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  socketcand::MessageReader reader;
  ReferenceReader reference;
  socketcand::Message m;
  std::vector<std::string> got, expected;
  for (std::size_t at = 0; at < length; at += piece) {
    const std::size_t n = length - at < piece ? length - at : piece;
    reader.feed(bytes + at, n, [&](std::string_view body) {
      got.emplace_back(body);
      check_body(body, m);
    });
    reference.feed(bytes + at, n, expected);
  }
  check(got == expected);
  check(reader.skipped_bytes() == reference.skipped);
  check(reader.dropped_messages() == reference.dropped);
  return 0;
}
