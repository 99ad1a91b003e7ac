// wire_fuzz - libFuzzer target for what a net's reader thread does with a gateway's bytes:
// the input's first byte sets the size of the pieces the rest arrives in. Checked: the
// splitter cuts as the byte-by-byte reference does, every frame or send that parses could be
// on a bus, and it parses back the same from what the encoders make of it.
// Built by clang with -DKORVEL_FUZZ=ON; e.g. build/tests/socketcand/wire_fuzz -runs=1000000
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "canbus/can_frame.h"
#include "canbus/socketcand_wire.h"
#include "wire_reference.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_round_trip(const canbus::socketcand::Message& m) {
  char text[canbus::socketcand::kMaxFrameText];
  std::string send;
  std::string_view body;
  if (m.kind == canbus::socketcand::Kind::kFrame) {
    body =
        std::string_view(text, canbus::socketcand::write_frame(text, m.frame, 1700000000, 123456));
  } else {
    body = send = canbus::socketcand::encode_send(m.frame);
  }
  canbus::socketcand::Message again;
  check(canbus::socketcand::parse(body.substr(1, body.size() - 2), again) == m.kind);
  const CMSG a = canbus::on_wire(m.frame), b = canbus::on_wire(again.frame);
  check(std::memcmp(&a, &b, sizeof a) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  canbus::socketcand::MessageReader reader;
  ReferenceReader reference;
  canbus::socketcand::Message m;
  std::vector<std::string> got, expected;
  for (std::size_t at = 0; at < size - 1; at += piece) {
    const std::size_t n = std::min(piece, size - 1 - at);
    reader.feed(bytes + at, n, [&](std::string_view body) {
      got.emplace_back(body);
      const canbus::socketcand::Kind kind = canbus::socketcand::parse(body, m);
      if (kind == canbus::socketcand::Kind::kFrame || kind == canbus::socketcand::Kind::kSend) {
        check(canbus::valid_frame(m.frame));
        check_round_trip(m);
      }
    });
    reference.feed(bytes + at, n, expected);
  }
  check(got == expected && reader.skipped_bytes() == reference.skipped &&
        reader.dropped_messages() == reference.dropped);
  return 0;
}
