// Anchoring of controls placed at fixed positions, shared by the windows: when their container
// is resized, a control anchored to the far edge moves with it, one anchored on both sides
// stretches with it. Pure arithmetic; each window applies it to its own rectangles.
#pragma once

#include <algorithm>
#include <utility>

namespace vestrel::app {

enum Anchor : unsigned {
  AnchorLeft = 1u << 0,
  AnchorTop = 1u << 1,
  AnchorRight = 1u << 2,
  AnchorBottom = 1u << 3,
};
inline constexpr unsigned kAnchorTopLeft = AnchorLeft | AnchorTop;
inline constexpr unsigned kAnchorStretch = AnchorLeft | AnchorTop | AnchorRight;
inline constexpr unsigned kAnchorTopRight = AnchorTop | AnchorRight;
inline constexpr unsigned kAnchorBottomStretch = AnchorLeft | AnchorRight | AnchorBottom;

// One axis of a control at `start` with `length`, after its container grew by `growth`: the new
// start and length. Anchored on both sides it stretches (never below 0); on the far side only it
// moves; otherwise it keeps its place.
inline std::pair<int, int> AnchoredSpan(int start, int length, int growth, bool nearSide,
                                        bool farSide) {
  if (nearSide && farSide) return {start, std::max(0, length + growth)};
  if (farSide) return {start + growth, length};
  return {start, length};
}

}  // namespace vestrel::app
