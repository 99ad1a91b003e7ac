// wire_reference.h - the stream splitter written the plain way, one byte at a time, with the
// same rules as socketcand::MessageReader (which skips ahead and hands out views): the tests
// and the fuzz target check that both cut every stream alike.
#ifndef SOCKETCAND_WIRE_REFERENCE_H
#define SOCKETCAND_WIRE_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "socketcand/wire.h"

struct ReferenceReader {
  enum class State { kOutside, kInside, kTooLong } state = State::kOutside;
  std::string body;
  std::uint64_t skipped = 0;
  std::uint64_t dropped = 0;

  void feed(const char* data, std::size_t size, std::vector<std::string>& out) {
    for (std::size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == '<') {
        if (state != State::kOutside) ++dropped;
        state = State::kInside;
        body.clear();
      } else if (state == State::kOutside) {
        ++skipped;
      } else if (state == State::kTooLong) {
        if (c == '>') state = State::kOutside;
      } else if (c == '>') {
        const std::size_t b = body.find_first_not_of(" \t\r\n");
        out.push_back(b == std::string::npos
                          ? std::string()
                          : body.substr(b, body.find_last_not_of(" \t\r\n") - b + 1));
        state = State::kOutside;
      } else if (body.size() >= socketcand::kMaxMessage) {
        ++dropped;
        state = State::kTooLong;
      } else {
        body += c;
      }
    }
  }
};

#endif  // SOCKETCAND_WIRE_REFERENCE_H
