// Anchoring of controls placed at fixed positions: when their container is resized, a control
// anchored to the right edge moves with it, one anchored left and right stretches with it, and
// likewise for top and bottom. Pure arithmetic, so it can be tested without widgets.
#pragma once

#include <QRect>
#include <QSize>
#include <vector>

#include "app/anchoring.h"

class QWidget;

namespace vestrel::gui {

using app::Anchor;
using enum app::Anchor;
using app::kAnchorBottomStretch;
using app::kAnchorStretch;
using app::kAnchorTopLeft;
using app::kAnchorTopRight;

// Where a control designed at `design` inside a container of `designContainer` lies when the
// container has `container`. An axis anchored on both sides stretches (never below 0); anchored
// on the far side only, it moves; otherwise it keeps its design place.
QRect AnchoredRect(const QRect& design, const QSize& designContainer, const QSize& container,
                   unsigned anchors);

// The panels of a status bar `bar` wide, side by side from the left edge with the given widths;
// the last panel reaches the right edge (or is as wide as given if the bar is too narrow).
std::vector<QRect> PanelRects(const QSize& bar, const std::vector<int>& widths);

// The anchored controls of one window, each with its design place and its container's design
// size. Apply() places them all; containers must be registered before their children.
class AnchorLayout {
 public:
  void Add(QWidget* widget, unsigned anchors);
  void Apply() const;

 private:
  struct Entry {
    QWidget* widget;
    QRect design;
    QSize designContainer;
    unsigned anchors;
  };
  std::vector<Entry> entries_;
};

}  // namespace vestrel::gui
