// Where the window's controls lie: their places in the form description (pixels at 96 DPI), the
// scaling to the screen's DPI, and the anchoring when the window is resized. Pure arithmetic,
// so it can be tested without windows.
#pragma once

#include <vector>

#include "app/anchoring.h"

namespace vestrel::win32 {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Size {
  int width = 0;
  int height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// The DPI that the form description's pixels are meant for.
inline constexpr int kDesignDpi = 96;

// Design pixels at `dpi`, rounded to the nearest pixel.
int Scaled(int designPixels, int dpi);
Rect Scaled(const Rect& design, int dpi);
Size Scaled(const Size& design, int dpi);

using app::Anchor;
using enum app::Anchor;
using app::kAnchorBottomStretch;
using app::kAnchorStretch;
using app::kAnchorTopLeft;
using app::kAnchorTopRight;

// Where a control placed at `place` inside a container of `placedIn` lies when the container has
// `container`: an axis anchored on both sides stretches (never below 0), one anchored on the far
// side only moves, any other keeps its place.
Rect AnchoredRect(const Rect& place, const Size& placedIn, const Size& container, unsigned anchors);

// The right edges of the status bar's panels for SB_SETPARTS: the panels follow one another from
// the left edge with the given widths, and the last one reaches the right edge (-1).
std::vector<int> PanelEdges(const std::vector<int>& widths);

}  // namespace vestrel::win32
