#include "tools/sim/reset_circuit.h"

namespace vestrel::sim {

const char* LineName(Line line) {
  return line == Line::Dtr ? "dtr" : "rts";
}

const char* BoardStateName(BoardState state) {
  switch (state) {
    case BoardState::Application:
      return "application";
    case BoardState::HeldInReset:
      return "reset";
    case BoardState::Bootloader:
      return "bootloader";
  }
  return "";
}

bool ResetCircuit::SetLine(Line line, bool on) {
  const bool was = Asserted(line);
  Asserted(line) = on;
  if (line != wiring_.reset || was == on) return false;
  if (on) {
    state_ = BoardState::HeldInReset;
    return false;
  }
  const bool entryHeld = !wiring_.entry || Asserted(*wiring_.entry);
  state_ = entryHeld ? BoardState::Bootloader : BoardState::Application;
  return true;
}

}  // namespace vestrel::sim
