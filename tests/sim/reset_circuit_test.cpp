#include "tools/sim/reset_circuit.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace vestrel::sim {
namespace {

TEST(ResetCircuit, OnlyAReleasedResetWithTheEntryLineHeldStartsTheBootloader) {
  using Step = std::pair<Line, bool>;
  struct Case {
    const char* name;
    ResetWiring wiring;
    std::vector<Step> steps;
    BoardState state;
    int restarts;
  };
  const ResetWiring dtr{Line::Dtr, std::nullopt};
  const ResetWiring rtsWithEntry{Line::Rts, Line::Dtr};
  const Case cases[] = {
      {"powered up", dtr, {}, BoardState::Application, 0},
      {"held", dtr, {{Line::Dtr, true}}, BoardState::HeldInReset, 0},
      {"pulsed", dtr, {{Line::Dtr, true}, {Line::Dtr, false}}, BoardState::Bootloader, 1},
      {"other line", dtr, {{Line::Rts, true}, {Line::Rts, false}}, BoardState::Application, 0},
      {"released twice",
       dtr,
       {{Line::Dtr, true}, {Line::Dtr, false}, {Line::Dtr, false}},
       BoardState::Bootloader,
       1},
      {"entry held",
       rtsWithEntry,
       {{Line::Dtr, true}, {Line::Rts, true}, {Line::Rts, false}, {Line::Dtr, false}},
       BoardState::Bootloader,
       1},
      {"entry released first",
       rtsWithEntry,
       {{Line::Dtr, true}, {Line::Rts, true}, {Line::Dtr, false}, {Line::Rts, false}},
       BoardState::Application,
       1},
      {"restart into the application",
       rtsWithEntry,
       {{Line::Dtr, true},
        {Line::Rts, true},
        {Line::Rts, false},
        {Line::Dtr, false},
        {Line::Rts, true},
        {Line::Rts, false}},
       BoardState::Application,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetCircuit circuit(c.wiring);
    int restarts = 0;
    for (const auto& [line, on] : c.steps) restarts += circuit.SetLine(line, on) ? 1 : 0;
    EXPECT_EQ(circuit.State(), c.state);
    EXPECT_EQ(restarts, c.restarts);
  }
}

}  // namespace
}  // namespace vestrel::sim
