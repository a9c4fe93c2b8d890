#include "app/win32/form_layout.h"

#include <algorithm>
#include <utility>

namespace vestrel::win32 {

using app::AnchoredSpan;

int Scaled(int designPixels, int dpi) {
  // Rounded half away from zero, in integers: MulDiv's rounding.
  const long long product = static_cast<long long>(designPixels) * dpi;
  const long long half = kDesignDpi / 2;
  return static_cast<int>(product >= 0 ? (product + half) / kDesignDpi
                                       : (product - half) / kDesignDpi);
}

Rect Scaled(const Rect& design, int dpi) {
  return {Scaled(design.left, dpi), Scaled(design.top, dpi), Scaled(design.width, dpi),
          Scaled(design.height, dpi)};
}

Size Scaled(const Size& design, int dpi) {
  return {Scaled(design.width, dpi), Scaled(design.height, dpi)};
}

Rect AnchoredRect(const Rect& place, const Size& placedIn, const Size& container,
                  unsigned anchors) {
  const auto [left, width] =
      AnchoredSpan(place.left, place.width, container.width - placedIn.width,
                   (anchors & AnchorLeft) != 0, (anchors & AnchorRight) != 0);
  const auto [top, height] =
      AnchoredSpan(place.top, place.height, container.height - placedIn.height,
                   (anchors & AnchorTop) != 0, (anchors & AnchorBottom) != 0);
  return {left, top, width, height};
}

std::vector<int> PanelEdges(const std::vector<int>& widths) {
  std::vector<int> edges;
  int right = 0;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    right += widths[i];
    edges.push_back(i + 1 == widths.size() ? -1 : right);
  }
  return edges;
}

}  // namespace vestrel::win32
