#include "app/gui/anchors.h"

#include <QWidget>
#include <algorithm>

namespace vestrel::gui {

using app::AnchoredSpan;

QRect AnchoredRect(const QRect& design, const QSize& designContainer, const QSize& container,
                   unsigned anchors) {
  const auto [x, width] =
      AnchoredSpan(design.x(), design.width(), container.width() - designContainer.width(),
                   (anchors & AnchorLeft) != 0, (anchors & AnchorRight) != 0);
  const auto [y, height] =
      AnchoredSpan(design.y(), design.height(), container.height() - designContainer.height(),
                   (anchors & AnchorTop) != 0, (anchors & AnchorBottom) != 0);
  return {x, y, width, height};
}

std::vector<QRect> PanelRects(const QSize& bar, const std::vector<int>& widths) {
  std::vector<QRect> rects;
  int x = 0;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    const bool last = i + 1 == widths.size();
    const int width = last ? std::max(widths[i], bar.width() - x) : widths[i];
    rects.emplace_back(x, 0, width, bar.height());
    x += width;
  }
  return rects;
}

void AnchorLayout::Add(QWidget* widget, unsigned anchors) {
  entries_.push_back({widget, widget->geometry(), widget->parentWidget()->size(), anchors});
}

void AnchorLayout::Apply() const {
  for (const Entry& e : entries_) {
    e.widget->setGeometry(
        AnchoredRect(e.design, e.designContainer, e.widget->parentWidget()->size(), e.anchors));
  }
}

}  // namespace vestrel::gui
