// The socketcand wire format: cutting a stream into messages, and frames in both directions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "canbus/frame_text.h"
#include "canbus/socketcand_wire.h"
#include "support/allocation_count.h"
#include "wire_reference.h"

namespace {

using canbus::socketcand::Kind;
using canbus::socketcand::MessageReader;

std::vector<std::string> feed_all(MessageReader& r, const std::string& bytes) {
  std::vector<std::string> out;
  r.feed(bytes.data(), bytes.size(), out);
  return out;
}

// Frames the stream carries, in can-utils notation; anything else as "?kind".
std::vector<std::string> frames_in(const std::string& stream) {
  MessageReader r;
  std::vector<std::string> out;
  for (const auto& body : feed_all(r, stream)) {
    const auto m = canbus::socketcand::parse(body);
    out.push_back(m.kind == Kind::kFrame || m.kind == Kind::kSend
                      ? canbus::to_string(m.frame)
                      : "?" + std::to_string(static_cast<int>(m.kind)));
  }
  return out;
}

std::string pushed(const char* text) {
  return canbus::socketcand::encode_frame(canbus::frame(text), 1700000000, 42);
}

}  // namespace

TEST(MessageReader, FindsMessagesAcrossAnySplitOfTheStream) {
  const std::string stream = "< hi >< ok > < frame 123 1.000001 1122 >\n<frame 7FF 2.5 >";
  const std::vector<std::string> whole = {"hi", "ok", "frame 123 1.000001 1122", "frame 7FF 2.5"};
  for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
    for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
      MessageReader r;
      std::vector<std::string> got;
      r.feed(stream.data(), cut1, got);
      r.feed(stream.data() + cut1, cut2 - cut1, got);
      r.feed(stream.data() + cut2, stream.size() - cut2, got);
      ASSERT_EQ(got, whole) << "cut at " << cut1 << " and " << cut2;
    }
  }
}

TEST(MessageReader, SkipsGarbageAndResynchronisesOnTheNextOpeningBracket) {
  MessageReader r;
  EXPECT_EQ(feed_all(r, "junk> more\r\n< echo >trailing< ok >"),
            (std::vector<std::string>{"echo", "ok"}));
  EXPECT_EQ(r.skipped_bytes(), std::string("junk> more\r\ntrailing").size());
  // A message cut off by the start of the next one is dropped; the next one counts.
  EXPECT_EQ(feed_all(r, "< frame 123 1.0 11< frame 124 1.0 22 >"),
            (std::vector<std::string>{"frame 124 1.0 22"}));
  EXPECT_EQ(r.dropped_messages(), 1u);
}

TEST(MessageReader, DropsAnOverLongMessageAndKeepsTheFramesAroundIt) {
  MessageReader r;
  const std::string huge =
      "< frame 123 1.0 " + std::string(canbus::socketcand::kMaxMessage * 4, 'A') + " >";
  const std::string stream = pushed("101#01") + huge + pushed("102#02");
  EXPECT_EQ(frames_in(stream), (std::vector<std::string>{"101#01", "102#02"}));
  // Exactly at the bound is still a message; one more character is not.
  const std::string at_bound(canbus::socketcand::kMaxMessage, 'x');
  EXPECT_EQ(feed_all(r, "<" + at_bound + ">"), (std::vector<std::string>{at_bound}));
  EXPECT_TRUE(feed_all(r, "<" + at_bound + "y>").empty());
  EXPECT_EQ(feed_all(r, "< ok >"), (std::vector<std::string>{"ok"}));
}

TEST(MessageReader, RandomChunksOfAStreamWithNoiseLoseNoFrame) {
  std::mt19937 rng(7);
  std::string stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%03X#%02X%02X", i % 0x800, i & 0xFF, (i * 7) & 0xFF);
    expected.push_back(text);
    stream += pushed(text);
    if (rng() % 5 == 0) stream += " noise\n";
    if (rng() % 50 == 0) stream += "<" + std::string(300, 'z') + ">";
  }
  MessageReader r;
  std::vector<std::string> bodies;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(1 + rng() % 1024, stream.size() - at);
    r.feed(stream.data() + at, n, bodies);
    at += n;
  }
  std::vector<std::string> got;
  for (const auto& b : bodies) {
    const auto m = canbus::socketcand::parse(b);
    if (m.kind == Kind::kFrame) got.push_back(canbus::to_string(m.frame));
  }
  EXPECT_EQ(got, expected);
}

TEST(Wire, PushedFramesRoundTrip) {
  for (const char* text : {"123#1122334455667788", "000#", "7FF#00", "1ABCDEF0#11", "00000001#",
                           "705#R", "705#R8", "1FFFFFFF#R1"}) {
    EXPECT_EQ(frames_in(pushed(text)), (std::vector<std::string>{text}));
    EXPECT_EQ(frames_in(canbus::socketcand::encode_send(canbus::frame(text))),
              (std::vector<std::string>{text}));
  }
}

TEST(Wire, EncodingsAreTheProtocolsText) {
  EXPECT_EQ(pushed("0A5#01AB"), "< frame 0A5 1700000000.000042 01AB >");
  EXPECT_EQ(pushed("0A5#"), "< frame 0A5 1700000000.000042  >");
  EXPECT_EQ(pushed("00000123#FF"), "< frame 00000123 1700000000.000042 FF >");
  EXPECT_EQ(pushed("705#R1"), "< rtr 705 1700000000.000042 1 >");
  EXPECT_EQ(canbus::socketcand::encode_send(canbus::frame("605#4008100000000000")),
            "< send 605 8 40 08 10 00 00 00 00 00 >");
  EXPECT_EQ(canbus::socketcand::encode_send(canbus::frame("605#")), "< send 605 0 >");
  EXPECT_EQ(canbus::socketcand::encode_send(canbus::frame("1ABCDEF0#R2")),
            "< sendrtr 1ABCDEF0 2 >");
}

TEST(Wire, SendsAsOtherClientsWriteThem) {
  // Unpadded identifiers, lower-case bytes of one or two digits.
  EXPECT_EQ(frames_in("< send 5 2 a 0b >< send 7ff 1 FF >< send 1abcdef0 0 >"),
            (std::vector<std::string>{"005#0A0B", "7FF#FF", "1ABCDEF0#"}));
}

TEST(Wire, MalformedFramesAndSendsAreRecognised) {
  for (const char* body : {
           "send 800 1 00",                 // standard identifier out of range
           "send 20000000 0",               // extended identifier out of range
           "send 123 9 0 0 0 0 0 0 0 0 0",  // length above 8
           "send 123 2 00",                 // fewer bytes than the length
           "send 123 1 00 11",              // more bytes than the length
           "send 123 1 100",                // a byte of three digits
           "send 123 1 0g",                 // not hex
           "send 12x 0",
           "send 123",
           "sendrtr 123 1 00",
           "frame 123 1.0 112",  // odd number of digits
           "frame 123 1.0 112233445566778899",
           "frame 123 noon 11",  // no time stamp
           "frame 123 1.0 11 22",
           "rtr 123 1.0",
           "rtr 123 1.0 9",
           "frame",
           "send 123 8 0 1 2 3 4 5 6 7 8 9",  // more words than any message has
           "frame 123 1.0 11 22 33 44 55 66 77 88 99",
       }) {
    const auto m = canbus::socketcand::parse(body);
    EXPECT_EQ(m.kind, Kind::kMalformed) << body;
    EXPECT_EQ(canbus::to_string(m.frame), "000#") << body;
  }
}

TEST(Wire, ControlMessages) {
  EXPECT_EQ(canbus::socketcand::parse("hi").kind, Kind::kHi);
  EXPECT_EQ(canbus::socketcand::parse("ok").kind, Kind::kOk);
  EXPECT_EQ(canbus::socketcand::parse("echo").kind, Kind::kEcho);
  EXPECT_EQ(canbus::socketcand::parse("rawmode").kind, Kind::kRawmode);
  const auto open = canbus::socketcand::parse("open can1");
  EXPECT_EQ(open.kind, Kind::kOpen);
  EXPECT_EQ(open.text, "can1");
  const auto error = canbus::socketcand::parse("error could not open bus");
  EXPECT_EQ(error.kind, Kind::kError);
  EXPECT_EQ(error.text, "could not open bus");
  EXPECT_EQ(canbus::socketcand::parse("ok then").kind, Kind::kOther);
  EXPECT_EQ(canbus::socketcand::parse("").kind, Kind::kOther);
}

TEST(MessageReader, RandomBytesNeverYieldAnOverLongBodyOrACrash) {
  std::mt19937 rng(11);
  const std::string alphabet = "<>  0123456789ABCDEFabcdef.#framesndrtxyz\n";
  MessageReader r;
  std::vector<std::string> bodies;
  std::string chunk;
  for (int round = 0; round < 2000; ++round) {
    chunk.clear();
    const std::size_t n = rng() % 600;
    for (std::size_t i = 0; i < n; ++i) {
      chunk += rng() % 4 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
    }
    bodies.clear();
    r.feed(chunk.data(), chunk.size(), bodies);
    for (const auto& b : bodies) {
      ASSERT_LE(b.size(), canbus::socketcand::kMaxMessage);
      const auto m = canbus::socketcand::parse(b);
      if (m.kind == Kind::kFrame || m.kind == Kind::kSend) {
        EXPECT_LE(NTCAN_DLC(m.frame.len), 8);
      }
    }
  }
  // A well-formed frame after all that noise still comes through.
  bodies.clear();
  const std::string tail = ">" + pushed("123#42");
  r.feed(tail.data(), tail.size(), bodies);
  ASSERT_FALSE(bodies.empty());
  EXPECT_EQ(canbus::to_string(canbus::socketcand::parse(bodies.back()).frame), "123#42");
}

TEST(MessageReader, CutsEveryStreamAsTheByteByByteReaderDoes) {
  // Brackets, blanks and runs about kMaxMessage long, in pieces of 1 to 3 or to 300 bytes.
  std::mt19937 rng(23);
  const std::string alphabet = "<<>>  \t\r\nframe 123 1.0 0A";
  for (int round = 0; round < 300; ++round) {
    std::string stream;
    while (stream.size() < 4000) {
      if (rng() % 16 == 0) stream.append(canbus::socketcand::kMaxMessage - 2 + rng() % 5, 'x');
      stream += alphabet[rng() % alphabet.size()];
    }
    MessageReader fast;
    ReferenceReader slow;
    std::vector<std::string> got, expected;
    for (std::size_t at = 0, n = 0; at < stream.size(); at += n) {
      n = std::min<std::size_t>(1 + rng() % (round % 2 ? 3 : 300), stream.size() - at);
      fast.feed(stream.data() + at, n, [&](std::string_view body) { got.emplace_back(body); });
      slow.feed(stream.data() + at, n, expected);
    }
    ASSERT_EQ(got, expected) << "round " << round;
    ASSERT_EQ(fast.skipped_bytes(), slow.skipped) << "round " << round;
    ASSERT_EQ(fast.dropped_messages(), slow.dropped) << "round " << round;
  }
}

// The path of every frame through a net's reader thread and the gateway: cutting the stream
// (bodies straddling its pieces), parsing into a Message kept, encoding into a buffer.
TEST(WireFramePath, CuttingParsingAndEncodingAllocateNothing) {
  std::string stream, again;
  for (int i = 0; i < 600; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%03X#%02X%02X", i % 0x800, i & 0xFF, (i * 7) & 0xFF);
    if (i % 3 == 0) std::snprintf(text, sizeof text, "%08X#R%d", 0x1ABC000 + i, i % 8 + 1);
    stream += " " + pushed(text);
    again += pushed(text);
  }
  canbus::socketcand::Message m = canbus::socketcand::parse("error make the text's storage grow");
  std::string out;
  out.reserve(stream.size());
  MessageReader r;
  const long before = korvel_test::allocations_by_this_thread();
  for (std::size_t at = 0, piece = 1; at < stream.size(); at += piece, piece = piece % 97 + 13) {
    r.feed(stream.data() + at, std::min(piece, stream.size() - at), [&](std::string_view body) {
      if (canbus::socketcand::parse(body, m) == Kind::kFrame)
        canbus::socketcand::append_frame(out, m.frame, 1700000000, 42);
    });
  }
  EXPECT_EQ(korvel_test::allocations_by_this_thread() - before, 0);
  EXPECT_EQ(out, again);
}

TEST(Wire, AMessageParsedIntoKeepsNothingOfTheOneBefore) {
  canbus::socketcand::Message m;
  EXPECT_EQ(canbus::socketcand::parse("error  a b c d e f g h i j k l ", m), Kind::kError);
  EXPECT_EQ(m.text, "a b c d e f g h i j k l ");
  EXPECT_EQ(canbus::socketcand::parse("send 1 1 2", m), Kind::kSend);
  EXPECT_EQ(m.text + canbus::to_string(m.frame), "001#02");
  EXPECT_EQ(canbus::socketcand::parse("frame 123 1.0 112", m), Kind::kMalformed);
  EXPECT_EQ(canbus::to_string(m.frame), "000#");
  EXPECT_EQ(canbus::socketcand::parse("bogus 1 2 3 4 5 6 7 8 9 10 11 12", m), Kind::kOther);
  EXPECT_EQ(m.text, "bogus");
}

TEST(Wire, FrameTextsTakeTheTimeStampAsPrintfWouldAndFitTheBound) {
  for (const long long v : {42LL, -5LL, LLONG_MIN}) {
    char expected[96];
    std::snprintf(expected, sizeof expected, "< frame 1FFFFFFF %lld.%06lld FFFFFFFFFFFFFFFF >", v,
                  v);
    EXPECT_EQ(canbus::socketcand::encode_frame(canbus::frame("1FFFFFFF#FFFFFFFFFFFFFFFF"), v, v),
              expected);
    EXPECT_LE(std::strlen(expected), canbus::socketcand::kMaxFrameText);
  }
  CMSG m = canbus::frame("7FF#0102030405060708");
  m.len = NTCAN_RTR | 15;  // a length past 8 as a caller may hand it
  EXPECT_EQ(canbus::socketcand::encode_frame(m, 1, 2), "< rtr 7FF 1.000002 15 >");
}

TEST(GatewayTextInTheLog, ControlCharactersComeOutEscapedAndTheLengthIsBounded) {
  using canbus::socketcand::printable;
  EXPECT_EQ(printable("could not open bus"), "could not open bus");
  EXPECT_EQ(printable("a\nb\rc\td\\e"), "a\\nb\\rc\\td\\\\e");
  EXPECT_EQ(printable("\x1b[2J\x7f\xc3\xa9"), "\\x1b[2J\\x7f\\xc3\\xa9");
  EXPECT_EQ(printable(std::string("nul\0end", 7)), "nul\\x00end");
  EXPECT_EQ(printable("abcdef", 4), "abcd...");
  EXPECT_EQ(printable("abcd", 4), "abcd");
  // An escape is never cut in half.
  EXPECT_EQ(printable("ab\ncd", 3), "ab...");
  EXPECT_EQ(printable(std::string(1000, '\x1b')).size(), 120u / 4 * 4 + 3);
}
