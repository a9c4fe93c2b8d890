// The one read rule of every device: when a read ends under the Win32 time-outs.
#include <gtest/gtest.h>

#include "platform/serial_device.h"

namespace vestrel::platform {
namespace {

using std::chrono::milliseconds;

TEST(ReadPlan, EachTimeoutCombinationGivesItsRule) {
  struct Case {
    const char* name;
    COMMTIMEOUTS timeouts;
    std::size_t size;
    ReadPlan plan;
  };
  const Case cases[] = {
      {"what has arrived, at once", {MAXDWORD, 0, 0, 0, 0}, 10, {milliseconds(0), {}, true}},
      {"the loader's link: any byte, or 100 ms",
       {MAXDWORD, MAXDWORD, 100, 0, 0},
       10,
       {milliseconds(100), {}, true}},
      {"a total per byte and a constant", {0, 2, 50, 0, 0}, 10, {milliseconds(70), {}, false}},
      {"a gap between bytes alone", {20, 0, 0, 0, 0}, 10, {{}, milliseconds(20), false}},
      {"a gap and a total", {20, 0, 500, 0, 0}, 10, {milliseconds(500), milliseconds(20), false}},
      {"no limit at all", {0, 0, 0, 0, 0}, 10, {{}, {}, false}},
      // MAXDWORD in the interval alone, or with a constant of MAXDWORD, is no special case.
      {"MAXDWORD interval with a constant",
       {MAXDWORD, 0, 40, 0, 0},
       10,
       {milliseconds(40), milliseconds(MAXDWORD), false}},
      {"MAXDWORD constant",
       {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0},
       1,
       {milliseconds(std::uint64_t{MAXDWORD} * 2), milliseconds(MAXDWORD), false}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanRead(c.timeouts, c.size), c.plan) << c.name;
}

}  // namespace
}  // namespace vestrel::platform
