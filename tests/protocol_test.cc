// The exchange of stops between the library and a debugger.
#include <gtest/gtest.h>

#include "support/debugger.h"

using namespace vexa_test;

TEST(Protocol, LoadStopIsTheFirstStop) {
  ASSERT_GE(recorded(), 1u);
  EXPECT_EQ(stop(0).reason, VEXA_EVENT_LOADED);
  EXPECT_EQ(stop(0).config[VEXA_CONFIG_VERSION], 1u);
}

TEST(Protocol, PingIsAnsweredWithFour) {
  forget();
  post(VEXA_PENDING_PING);
  _VEXA_suspendTask();
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_EVENT_ALIVE});
  EXPECT_EQ(__vexa_config[VEXA_CONFIG_PENDING], 0u);
}
