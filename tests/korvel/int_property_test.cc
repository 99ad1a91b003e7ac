// The integer property D_int: change log, client access, configuration, archiving.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "d_value.h"
#include "vexil/vexil_host.h"

namespace {

class IntProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    loc_.set_username("op");
    loc_.set_hostname("console");
    vexil::set_arch_mode(1);
    vexil::set_global_timestamp(0);
  }
  EqFct loc_{"PUMPS"};
  vexil::LogCapture log_;
};

// A subclass whose set_value override must be reached by client writes.
class Counting : public D_int {
 public:
  using D_int::D_int;
  using D_int::set_value;
  void set_value(int v) override {
    ++calls;
    D_int::set_value(v);
  }
  int calls = 0;
};

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

}  // namespace

TEST_F(IntProperty, ChangeIsLoggedOnEveryCallWithLocationAndUser) {
  D_int p("P1.SPEED motor speed", &loc_);
  p.set_chlog(1, true);
  p.set_value(7);
  p.set_value(7);
  auto lines = log_.with_heading("PUMPS");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "D_value: P1.SPEED changed from 0 to 7 by op@console");
  EXPECT_EQ(lines[1].text, "D_value: P1.SPEED changed from 7 to 7 by op@console");
  EXPECT_EQ(lines[0].flags, 0x80000000u);
  EXPECT_EQ(p.value(), 7);
}

TEST_F(IntProperty, ChangeWithoutLocationHasNoUserPart) {
  D_int p("LOOSE", nullptr);
  p.set_chlog(1, true);
  p.set_value(-3);
  auto lines = log_.with_heading("D_value");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "D_value: LOOSE changed from 0 to -3");
}

TEST_F(IntProperty, NoLogWhenChangeLogIsOff) {
  D_int p("QUIET", &loc_);
  p.set_chlog(1, false);
  p.set_value(1);
  p.set_chlog(0, true);
  p.set_value(2);
  EXPECT_FALSE(log_.contains("D_value:"));
  EXPECT_EQ(p.value(), 2);
  EXPECT_EQ(p.stamp_count(), 2);
}

TEST_F(IntProperty, GetWithoutBufferAnswersTheValueWhateverTheSelector) {
  D_int p("P", &loc_);
  p.set_value(42);
  EqData in, out;
  in.set_long_array({5, 6, 7, 8});
  EXPECT_EQ(p.get(nullptr, &in, &out, &loc_), 0);
  EXPECT_EQ(out.type(), DATA_INT);
  EXPECT_EQ(out.get_int(0), 42);
}

TEST_F(IntProperty, GetSelectsBufferedValuesByEventOrTime) {
  D_int p("P", &loc_);
  p.set_nbuf(8);
  p.set_value(10, 100, 1000, 5);
  p.set_value(20, 200, 2000, 6);
  p.set_value(30);  // not buffered

  EqData out;
  EqData by_int;
  by_int.set(100);
  EXPECT_EQ(p.get(nullptr, &by_int, &out, &loc_), 0);
  EXPECT_EQ(out.get_int(0), 10);

  EqData by_long;
  by_long.set_long(200);
  EXPECT_EQ(p.get(nullptr, &by_long, &out, &loc_), 0);
  EXPECT_EQ(out.get_int(0), 20);

  EqData by_array;
  by_array.set_long_array({100});
  EXPECT_EQ(p.get(nullptr, &by_array, &out, &loc_), 0);
  EXPECT_EQ(out.get_int(0), 10);

  // Four elements select no event in particular: the latest buffered value.
  EqData latest;
  latest.set_long_array({1, 2, 3, 4});
  EXPECT_EQ(p.get(nullptr, &latest, &out, &loc_), 0);
  EXPECT_EQ(out.get_int(0), 20);

  EqData missing;
  missing.set(999);
  EqData err;
  EXPECT_NE(p.get(nullptr, &missing, &err, &loc_), 0);
  EXPECT_NE(err.error(), 0);
  EXPECT_EQ(err.error_text(), get_error_string(err.error()));
  EXPECT_EQ(p.value(), 30);
  EXPECT_EQ(p.value(100, 0, 0), 10);
  EXPECT_EQ(p.value(999, 0, 0), 30);  // unknown event: the current value
}

TEST_F(IntProperty, GetMultiWritesValueRowOrErrorRow) {
  D_int p("P", &loc_);
  p.set_value(12);
  EqData out;
  int index = 2;
  std::time_t stamp = 1234;
  p.get_multi(nullptr, nullptr, &out, &index, "P", &stamp);
  const EqData::Row* row = out.get_row(2);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->i, 12);
  EXPECT_EQ(row->f1, 12.0f);
  EXPECT_EQ(row->tm, 1234);
  EXPECT_EQ(row->name, "P");

  p.d_error(5);
  p.get_multi(nullptr, nullptr, &out, &index, nullptr, &stamp);  // a null name answers ""
  row = out.get_row(2);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->i, 2147483647);
  EXPECT_TRUE(std::isnan(row->f1));
  EXPECT_EQ(bits(row->f1), 0x7fc00000u);
  EXPECT_EQ(bits(row->f2), 0x7fc00000u);
  EXPECT_EQ(row->name, "");
}

TEST_F(IntProperty, GetMultiWithArraySelectorReadsTheBuffer) {
  D_int p("P", &loc_);
  p.set_nbuf(4);
  p.set_value(8, 77, 0, 0);
  EqData in, out;
  int index = 0;
  std::time_t stamp = 0;
  in.set_long_array({77});
  p.get_multi(nullptr, &in, &out, &index, "P", &stamp);
  EXPECT_EQ(out.get_row(0)->i, 8);
  in.set_long_array({78});
  p.get_multi(nullptr, &in, &out, &index, "P", &stamp);
  EXPECT_EQ(out.get_row(0)->i, 2147483647);
}

TEST_F(IntProperty, ClientSetReachesTheSubclassOverride) {
  Counting p("C", &loc_);
  EqData in;
  in.set_long(9);
  p.set(nullptr, &in, nullptr, &loc_);
  EXPECT_EQ(p.calls, 1);
  EXPECT_EQ(p.value(), 9);
  EXPECT_FALSE(p.archiving());
}

TEST_F(IntProperty, WriteAppendsTabValueAndLineEnd) {
  D_int p("P7.LIMIT upper limit", &loc_);
  p.set_value(-5);
  std::ostringstream out;
  p.write(out);
  const std::string text = out.str();
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), "\t-5\n");
  EXPECT_EQ(p.dumped(), "\t-5\n");
}

TEST_F(IntProperty, ReadTakesFoundEntriesOnlyAndSurvivesLookupFailure) {
  D_int a("A", &loc_);
  D_int b("B", &loc_);
  std::istringstream conf("A:\t125\n");
  a.conf(loc_.config());
  b.conf(loc_.config());
  loc_.parse_config(conf, "test.conf");
  b.set_value(3);
  a.read();
  b.read();
  EXPECT_EQ(a.value(), 125);
  EXPECT_EQ(b.value(), 3);  // no entry: unchanged

  loc_.config()->fail_lookups("configuration unreadable");
  a.set_value(1);
  a.read();
  EXPECT_EQ(a.value(), 1);
  auto lines = log_.with_heading("read");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "configuration unreadable");
}

TEST_F(IntProperty, SendHandsTheFourValueBytes) {
  D_int p("P", &loc_);
  p.set_value(0x01020304);
  dmsg_info info;
  EXPECT_EQ(p.send(&info), 0);
  ASSERT_EQ(info.data.size(), 4u);
  int32_t v;
  std::memcpy(&v, info.data.data(), 4);
  EXPECT_EQ(v, 0x01020304);
}

TEST_F(IntProperty, FirstArchivingSetsUpTheHistoryOnce) {
  Counting p("P3.FLOW water flow", &loc_);
  EXPECT_EQ(p.set_and_archive(4, sts_ok, 1500000000LL, 0), 0);  // 1.5 s after the epoch
  EXPECT_EQ(p.set_and_archive(5, sts_err, 2000000000LL, 0), 0);
  auto warnings = log_.with_heading("set_and_archive");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text,
            "WARNING - postponed archiver setup - use correct constructor for <PUMPS> <P3.FLOW>");
  D_hist* h = p.history();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->name(), "P3.FLOW.HIST history");
  EXPECT_EQ(h->capacity(), 200000);
  EXPECT_EQ(h->loghist(), 0);
  EXPECT_EQ(h->mode(), 1001);
  EXPECT_EQ(h->started(), 1);
  auto entries = h->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].value, 4);
  EXPECT_EQ(entries[0].seconds, 1u);
  EXPECT_EQ(entries[0].milliseconds, 500);
  EXPECT_EQ(entries[1].status, sts_err);
  EXPECT_EQ(p.calls, 0);  // the archiving set is the class's own, never the override

  // From now on client writes are archived as well.
  EqData in;
  in.set(6);
  in.set_timestamp(3000000000LL);
  p.set(nullptr, &in, nullptr, &loc_);
  EXPECT_EQ(p.calls, 1);
  EXPECT_EQ(h->entries().size(), 3u);
}

TEST_F(IntProperty, ArchiveTimeComesFromGlobalStampThenSystemClock) {
  D_int p("P", &loc_);
  vexil::set_global_timestamp(7250000000LL);
  p.set_and_archive(1, sts_ok, 0, 0);
  EXPECT_EQ(p.value_time(), 7250000000LL);
  EXPECT_EQ(p.history()->entries().back().milliseconds, 250);

  vexil::set_global_timestamp(0);
  const auto before = std::chrono::system_clock::now().time_since_epoch().count();
  p.set_and_archive(2, sts_ok, 0, 0);
  const auto after = std::chrono::system_clock::now().time_since_epoch().count();
  EXPECT_GE(p.value_time(), before);
  EXPECT_LE(p.value_time(), after);
}

TEST_F(IntProperty, ArchiveOffMeansNoHistoryAndNoArchivingOnSet) {
  D_int p("P", &loc_);
  p.set_arch_off(true);
  EXPECT_EQ(p.set_and_archive(3, sts_ok, 0, 0), -1);
  EXPECT_EQ(p.value(), 3);
  EXPECT_FALSE(p.archiving());
  EXPECT_EQ(p.history(), nullptr);

  D_int q("Q", &loc_);
  vexil::set_arch_mode(0);
  EXPECT_EQ(q.set_and_archive(3, sts_ok, 0, 0), -1);
  EXPECT_EQ(q.history(), nullptr);
}

TEST_F(IntProperty, ArchivingWithoutLocationDoesNotCrash) {
  D_int p("NOWHERE", nullptr);
  EXPECT_EQ(p.set_and_archive(1, sts_ok, 1000000000LL, 0), 0);
  auto warnings = log_.with_heading("set_and_archive");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text,
            "WARNING - postponed archiver setup - use correct constructor for <> <NOWHERE>");
}

TEST_F(IntProperty, ConfProcessPassesDynamicSettingToHistory) {
  D_int p("P", &loc_);
  p.set_and_archive(1, sts_ok, 1000000000LL, 0);
  p.dynamic(3);
  p.conf_process(&loc_, 0);
  EXPECT_EQ(p.history()->dynamic(), 3);
  p.auto_init();
  EXPECT_EQ(p.history()->started(), 2);
}
