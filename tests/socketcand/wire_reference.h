// wire_reference.h - the stream splitter written the plain way, one byte at a time, to the
// rules of canbus::socketcand::MessageReader (which skips ahead and hands out views): the tests and
// the fuzz target check that both cut every stream alike.
#ifndef SOCKETCAND_WIRE_REFERENCE_H
#define SOCKETCAND_WIRE_REFERENCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "canbus/socketcand_wire.h"

struct ReferenceReader {
  enum class State { kOutside, kInside, kTooLong } state = State::kOutside;
  std::string body;
  std::uint64_t skipped = 0, dropped = 0;

  void feed(const char* data, std::size_t size, std::vector<std::string>& out) {
    for (const char c : std::string(data, size)) {
      if (c == '<') {
        dropped += state != State::kOutside;
        state = State::kInside;
        body.clear();
      } else if (state == State::kOutside) {
        ++skipped;
      } else if (c == '>') {
        const std::size_t b = body.find_first_not_of(" \t\r\n");
        if (state == State::kInside)
          out.push_back(b == std::string::npos
                            ? ""
                            : body.substr(b, body.find_last_not_of(" \t\r\n") + 1 - b));
        state = State::kOutside;
      } else if (state == State::kInside && body.size() >= canbus::socketcand::kMaxMessage) {
        ++dropped;
        state = State::kTooLong;
      } else if (state == State::kInside) {
        body += c;
      }
    }
  }
};

#endif  // SOCKETCAND_WIRE_REFERENCE_H
