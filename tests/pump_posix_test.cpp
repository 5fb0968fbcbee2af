// A pump hook that always calls back into the library nests only so deep.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/fixtures.h"

namespace qws::test {
namespace {

int depth = 0;
int deepest = 0;

void CallBack(void*) {
  deepest = std::max(deepest, ++depth);
  Take(DataArrivalTCP());
  --depth;
}

TEST(Pump, AHookThatAlwaysCallsBackIsBounded) {
  AttachedPair pair;
  ASSERT_TRUE(pair.server.Send("kept"));
  Delay(50);
  SetMessagePump(CallBack, nullptr);
  const std::u16string outer = Take(DataArrivalTCP());
  SetMessagePump(nullptr, nullptr);
  EXPECT_EQ(kMaxPumpNesting, deepest);
  EXPECT_TRUE(outer == u"kept" || outer.empty());
}

}  // namespace
}  // namespace qws::test
