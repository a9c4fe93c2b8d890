#include "app/gui/svg_icon_engine.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <cmath>
#include <memory>

namespace vestrel::gui {
namespace {

class SvgIconEngine final : public QIconEngine {
 public:
  explicit SvgIconEngine(const QString& path)
      : path_(path), renderer_(std::make_shared<QSvgRenderer>(path)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->drawImage(rect, Render(rect.size(), mode, ratio));
  }

  // `size` is in device pixels here; the icon sets the pixel ratio of the result itself.
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    return QPixmap::fromImage(Render(size, mode, 1.0));
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new SvgIconEngine(path_); }
  QString key() const override { return QStringLiteral("vestrel-svg"); }
  bool isNull() override { return !renderer_->isValid(); }

 private:
  // Renders at device pixels, so the picture stays sharp on a high-DPI screen.
  QImage Render(const QSize& size, QIcon::Mode mode, qreal ratio) const {
    const QSize pixels(static_cast<int>(std::lround(size.width() * ratio)),
                       static_cast<int>(std::lround(size.height() * ratio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      renderer_->render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    }
    return mode == QIcon::Disabled ? DisabledLook(image) : image;
  }

  QString path_;
  std::shared_ptr<QSvgRenderer> renderer_;
};

}  // namespace

QImage DisabledLook(const QImage& normal) {
  QImage image = normal.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = line[x];
      const int grey = 128 + qGray(pixel) / 2;  // lightened so that dark strokes turn mid grey
      line[x] = qRgba(grey, grey, grey, qAlpha(pixel) / 2);
    }
  }
  return image;
}

QIcon SvgIcon(const QString& resourcePath) {
  return QIcon(new SvgIconEngine(resourcePath));
}

}  // namespace vestrel::gui
