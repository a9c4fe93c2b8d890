#include "comport/gui/v24_dialog_glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vestrel::comport {
namespace {

constexpr int kGlyphSize = 16;

QPainterPath GlyphShape(ButtonGlyph Glyph) {
  QPainterPath path;
  if (Glyph == ButtonGlyph::Okay) {  // a check mark
    path.moveTo(2.5, 8.5);
    path.lineTo(6.5, 12.5);
    path.lineTo(13.5, 3.5);
  } else {  // a cross
    path.moveTo(3.5, 3.5);
    path.lineTo(12.5, 12.5);
    path.moveTo(12.5, 3.5);
    path.lineTo(3.5, 12.5);
  }
  return path;
}

QColor GlyphColour(ButtonGlyph Glyph) {
  return Glyph == ButtonGlyph::Okay ? QColor(0, 128, 0) : QColor(192, 0, 0);
}

void Stroke(QPainter& painter, const QPainterPath& shape, const QColor& colour) {
  painter.setPen(QPen(colour, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPath(shape);
}

QPixmap BlankGlyph() {
  QPixmap pixmap(kGlyphSize, kGlyphSize);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

QPixmap NormalGlyph(ButtonGlyph Glyph) {
  QPixmap pixmap = BlankGlyph();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  Stroke(painter, GlyphShape(Glyph), GlyphColour(Glyph));
  return pixmap;
}

// The classic disabled look: a grey shape over a white one shifted by one pixel.
QPixmap DisabledGlyph(ButtonGlyph Glyph) {
  QPixmap pixmap = BlankGlyph();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPainterPath shape = GlyphShape(Glyph);
  Stroke(painter, shape.translated(1, 1), Qt::white);
  Stroke(painter, shape, QColor(128, 128, 128));
  return pixmap;
}

}  // namespace

QIcon TwoGlyphIcon(ButtonGlyph Glyph) {
  QIcon icon;
  icon.addPixmap(NormalGlyph(Glyph), QIcon::Normal);
  icon.addPixmap(DisabledGlyph(Glyph), QIcon::Disabled);
  return icon;
}

}  // namespace vestrel::comport
