// The board's reset wiring as the simulator plays it: one modem line resets the board, and
// optionally another (the bootloader entry pin) must be held while the reset is released for
// the bootloader to start; otherwise the application starts. Free of any I/O.
#pragma once

#include <array>
#include <optional>

namespace vestrel::sim {

enum class Line { Dtr, Rts };

const char* LineName(Line line);  // "dtr", "rts"

enum class BoardState {
  Application,  // the application runs: the line is not the bootloader's
  HeldInReset,  // the reset line is asserted
  Bootloader,   // started by a reset: the bootloader serves the line
};

const char* BoardStateName(BoardState state);  // "application", "reset", "bootloader"

struct ResetWiring {
  Line reset = Line::Dtr;
  std::optional<Line> entry;  // none: every reset starts the bootloader
};

class ResetCircuit {
 public:
  // The board starts running its application, as a board that was powered up does.
  explicit ResetCircuit(ResetWiring wiring) : wiring_(wiring) {}

  // A line was asserted (on) or released. True when the board left reset by it.
  bool SetLine(Line line, bool on);
  BoardState State() const { return state_; }

 private:
  bool& Asserted(Line line) { return lines_[line == Line::Dtr ? 0 : 1]; }

  ResetWiring wiring_;
  std::array<bool, 2> lines_{};
  BoardState state_ = BoardState::Application;
};

}  // namespace vestrel::sim
