// History of an archived property: bounded ring and sub-properties.
#include <gtest/gtest.h>

#include "d_fct.h"

namespace {

TEST(History, RingKeepsTheNewestEntriesUpToItsLength) {
  D_hist h(nullptr, "X.VALUE", "x_", 1, 5, 0);
  int err = -1;
  for (int k = 0; k < 12; ++k) {
    err = -1;
    h.fill_hist(k, k % 2 ? sts_err : sts_ok, 100u + static_cast<std::uint32_t>(k), k * 10, &err);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(h.entries().size(), static_cast<std::size_t>(std::min(k + 1, 5)));
  }
  h.fill_hist(12, sts_ok, 112, 120, nullptr);  // no error slot: still archived
  const std::vector<D_hist::Entry> e = h.entries();
  ASSERT_EQ(e.size(), 5u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(e[k].value, 8 + k);
    EXPECT_EQ(e[k].seconds, 108u + static_cast<std::uint32_t>(k));
    EXPECT_EQ(e[k].milliseconds, (8 + k) * 10);
  }
  EXPECT_EQ(e[1].status, sts_err);

  // The count sub-property tells how many values were archived in all.
  EqData out;
  ASSERT_NE(h.get_p_prop(1), nullptr);
  h.get_p_prop(1)->get(nullptr, nullptr, &out, nullptr);
  EXPECT_EQ(out.get_int(0), 13);
}

TEST(History, SubPropertiesDependOnTheLogSetting) {
  EqFct loc("LOC");
  {
    D_hist plain(&loc, "X.VALUE value of x", "x_", 2, 200000, 0);
    EXPECT_EQ(plain.capacity(), 200000);
    for (int i : {1, 2, 3}) EXPECT_NE(plain.get_p_prop(i), nullptr) << i;
    for (int i : {0, 4, 5, 6, -1}) EXPECT_EQ(plain.get_p_prop(i), nullptr) << i;
    EXPECT_EQ(plain.get_p_prop(2)->basename().rfind("X.VALUE.", 0), 0u);

    // Sub-properties belong to the location while the history lives, and are read-only.
    D_fct* mode = plain.get_p_prop(3);
    EXPECT_EQ(loc.find_property(mode->basename()), mode);
    EqData in, out;
    in.set(9);
    EXPECT_NE(mode->set(nullptr, &in, &out, nullptr), 0);
    mode->get(nullptr, nullptr, &out, nullptr);
    EXPECT_EQ(out.get_int(0), 2);
    EXPECT_EQ(loc.properties().size(), 4u);
  }
  EXPECT_TRUE(loc.properties().empty());

  D_hist logged(&loc, "Y", "y_", 0, 10, 3);
  EXPECT_NE(logged.get_p_prop(4), nullptr);
  EXPECT_NE(logged.get_p_prop(5), nullptr);
  EXPECT_EQ(logged.get_p_prop(6), nullptr);
  logged.auto_init();
  logged.auto_init();
  EXPECT_EQ(logged.started(), 2);
}

}  // namespace
