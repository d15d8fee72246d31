#include "icons.h"

#include <QtCore/QFile>
#include <QtGui/QIconEngine>
#include <QtGui/QPainter>
#include <QtSvg/QSvgRenderer>
#include <memory>

#include "resource_data.h"
#include "resource_ids.h"

namespace halvern::ui {
namespace {

// Renders the SVG afresh for each size, so the icon is sharp in a 16-pixel
// list cell and in a 128-pixel launcher alike.
class SvgIconEngine final : public QIconEngine {
 public:
  explicit SvgIconEngine(QByteArray svg) : svg_(std::move(svg)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    QSvgRenderer renderer(svg_);
    if (mode == QIcon::Disabled) painter->setOpacity(0.45);
    renderer.render(painter, rect);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap image(size);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return image;
  }

  QIconEngine* clone() const override { return new SvgIconEngine(svg_); }

 private:
  QByteArray svg_;
};

}  // namespace

QIcon LoadResIcon(int id) {
  res::InitResourceData();
  QFile file(QStringLiteral(":/icons/%1.svg").arg(id));
  if (!file.open(QIODevice::ReadOnly)) return QIcon();
  return QIcon(new SvgIconEngine(file.readAll()));
}

std::vector<QIcon> StatusImages() {
  return {LoadResIcon(res::IDI_STATUS_IDLE), LoadResIcon(res::IDI_STATUS_BUSY),
          LoadResIcon(res::IDI_STATUS_PASSED), LoadResIcon(res::IDI_STATUS_FAILED)};
}

std::vector<QString> StatusImageNames() {
  return {QStringLiteral("not checked"), QStringLiteral("checking"), QStringLiteral("passed"),
          QStringLiteral("failed")};
}

}  // namespace halvern::ui
