#include "service/dmn.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// Restarts older than the window no longer count against the limit.
TEST(RestartPlanTest, AtMostCountRestartsWithinTheWindow) {
  struct Case {
    std::vector<long long> history;
    long long now;
    bool allowed;
    std::vector<long long> kept;
  } cases[] = {
      {{}, 5000, true, {5000}},
      {{1000, 2000}, 9000, false, {1000, 2000}},
      {{1000, 2000}, 11500, true, {2000, 11500}},
      {{1000, 2000}, 12000, true, {12000}},
      // Saturated by a hostile JLAUNCHER_RESTARTS: the far past is gone, the
      // far future still counts.
      {{LLONG_MIN, LLONG_MAX}, 5000, true, {LLONG_MAX, 5000}},
  };
  for (const Case& c : cases) {
    RestartPlan plan = dmnPlanRestart(c.history, c.now, 2, 10);
    EXPECT_EQ(plan.allowed, c.allowed) << c.now;
    EXPECT_EQ(plan.history, c.kept) << c.now;
  }
}

}  // namespace
