// The mapping reader: the uploads it asks for, and the description or the problems that result.
#include "canopen/pdo_mapping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "canopen/sdo_abort.h"

namespace {

using namespace korvel::canopen;
using Bytes = std::vector<std::uint8_t>;

// One answer: data bytes, or an abort code.
struct Answer {
  Bytes data;
  std::uint32_t abort = 0;
};

Bytes u32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// Feeds the answers in order; the objects asked for land in *asked as "1A00sub2".
PdoMappingReader run(PdoDirection d, unsigned n, const std::vector<Answer>& answers,
                     std::vector<std::string>* asked = nullptr) {
  PdoMappingReader reader(d, n);
  PdoMappingReader::Request r;
  std::size_t i = 0;
  while (reader.next(r) && i < answers.size()) {
    char text[16];
    std::snprintf(text, sizeof text, "%04Xsub%u", r.index, r.subindex);
    if (asked) asked->push_back(text);
    const Answer& a = answers[i++];
    if (a.abort) {
      reader.take_abort(a.abort);
    } else {
      reader.take(a.data.data(), a.data.size());
    }
  }
  EXPECT_TRUE(reader.done());
  return reader;
}

TEST(PdoMappingReader, ReadsATransmitPdoInOrderIntoItsLayout) {
  std::vector<std::string> asked;
  const auto r = run(PdoDirection::kTransmit, 2,
                     {{u32(0x40000285)},
                      {{0xFF}},
                      {{0x64, 0x00}},
                      {{3}},
                      {u32(0x60000110)},
                      {u32(0x60000201)},
                      {u32(0x6001000C)}},
                     &asked);
  EXPECT_EQ(asked, (std::vector<std::string>{"1801sub1", "1801sub2", "1801sub5", "1A01sub0",
                                             "1A01sub1", "1A01sub2", "1A01sub3"}));
  EXPECT_TRUE(r.problems().empty());
  const PdoDescription& d = r.description();
  ASSERT_TRUE(d.usable);
  EXPECT_EQ(d.communication.id(), 0x285u);
  EXPECT_EQ(d.communication.event_timer, 100);
  EXPECT_EQ(d.layout.bits(), 29u);  // a 12-bit field is fine
  ASSERT_EQ(d.layout.slots().size(), 3u);
  EXPECT_EQ(d.layout.slots()[1].type.kind, ValueType::Kind::kBoolean);
  EXPECT_EQ(d.layout.slots()[2].offset, 17u);
}

TEST(PdoMappingReader, ReceivePdoSkipsTheEventTimerAndAnInvalidPdoEndsAtItsCobId) {
  std::vector<std::string> asked;
  auto r =
      run(PdoDirection::kReceive, 1, {{u32(0x205)}, {{0x01}}, {{1}}, {u32(0x62000108)}}, &asked);
  EXPECT_EQ(asked, (std::vector<std::string>{"1400sub1", "1400sub2", "1600sub0", "1600sub1"}));
  EXPECT_TRUE(r.description().usable);

  asked.clear();
  r = run(PdoDirection::kTransmit, 4, {{u32(0x80000480)}}, &asked);
  EXPECT_EQ(asked, std::vector<std::string>{"1803sub1"});
  EXPECT_FALSE(r.description().usable);
  EXPECT_TRUE(r.problems().empty());
}

TEST(PdoMappingReader, EachBadMappingGivesOneProblemAndNoUsablePdo) {
  const Answer cob{u32(0x185)}, type{{0xFE}}, timer{{0, 0}};
  struct Case {
    std::vector<Answer> answers;
    std::string problem;
  } cases[] = {
      {{cob, type, timer, {{65}}}, "TPDO1 0x1A00 sub 0: 65 mapped objects, more than 64"},
      {{cob, type, timer, {{2}}, {u32(0x60000140)}, {u32(0x60000208)}},
       "TPDO1 mapping: more than 64 bits in all"},
      {{cob, type, timer, {{1}}, {u32(0x60000300)}},
       "TPDO1 0x1A00 sub 1: an entry of length 0 (0x6000 sub 3)"},
      {{cob, type, timer, {{1}}, {u32(0x00000008)}}, "TPDO1 0x1A00 sub 1: an entry naming index 0"},
      {{cob, type, timer, {{1}}, {{0x08, 0x01}}},
       "TPDO1 0x1A00 sub 1: the device gave 2 bytes, 4 expected"},
      {{{{0x85, 0x01}}}, "TPDO1 0x1800 sub 1: the device gave 2 bytes, 4 expected"},
      {{cob, {{245}}}, "TPDO1 0x1800 sub 2: reserved transmission type 245"},
      {{{u32(0x20000185)}},
       "TPDO1 0x1800 sub 1: a 29-bit identifier, which this master does not receive or send"},
      {{cob, type, timer, {{}, code_of(SdoAbort::kNoObject)}},
       "TPDO1 0x1A00 sub 0: aborted, 0x06020000 " +
           std::string(sdo_abort_meaning(code_of(SdoAbort::kNoObject)))},
  };
  for (const Case& c : cases) {
    const auto r = run(PdoDirection::kTransmit, 1, c.answers);
    EXPECT_FALSE(r.description().usable) << c.problem;
    EXPECT_EQ(r.problems(), std::vector<std::string>{c.problem});
  }
}

TEST(PdoMappingReader, MissingEventTimerAndEmptyMappingAreNoProblems) {
  auto r =
      run(PdoDirection::kTransmit, 1,
          {{u32(0x185)}, {{1}}, {{}, code_of(SdoAbort::kNoSubindex)}, {{1}}, {u32(0x60000108)}});
  EXPECT_TRUE(r.description().usable);
  EXPECT_EQ(r.description().communication.event_timer, 0);
  EXPECT_TRUE(r.problems().empty());

  r = run(PdoDirection::kTransmit, 1, {{u32(0x185)}, {{1}}, {{0, 0}}, {{0}}});
  EXPECT_FALSE(r.description().usable);
  EXPECT_TRUE(r.problems().empty());
}

}  // namespace
