#include "ui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tarnwick::ui {
namespace {

QPixmap canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void drawPage(QPainter& p, int size) {
  const qreal s = size / 32.0;
  QPainterPath page;
  page.moveTo(5 * s, 2 * s);
  page.lineTo(21 * s, 2 * s);
  page.lineTo(27 * s, 8 * s);
  page.lineTo(27 * s, 30 * s);
  page.lineTo(5 * s, 30 * s);
  page.closeSubpath();
  p.setPen(QPen(QColor(0, 0, 160), 1.5 * s));
  p.setBrush(Qt::white);
  p.drawPath(page);
  p.setBrush(QColor(196, 255, 225));
  p.drawPolygon(
      QPolygonF({QPointF(21 * s, 2 * s), QPointF(21 * s, 8 * s), QPointF(27 * s, 8 * s)}));
  p.setPen(QPen(Qt::black, 1.5 * s));
  for (int row = 0; row < 5; ++row) {
    const qreal y = (12 + 4 * row) * s;
    p.drawLine(QPointF(9 * s, y), QPointF((row % 2 ? 19 : 23) * s, y));
  }
}

}  // namespace

QIcon programIcon() {
  QIcon icon;
  for (const int size : {16, 32, 64}) {
    QPixmap pixmap = canvas(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    drawPage(p, size);
    icon.addPixmap(pixmap);
  }
  return icon;
}

QIcon tabIcon(int tab) {
  QPixmap pixmap = canvas(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0, 0, 200), 1.5));
  if (tab == 0) {  // a fax page
    drawPage(p, 16);
  } else if (tab == 1) {  // check marks
    p.drawRect(QRectF(2, 2, 5, 5));
    p.drawRect(QRectF(2, 9, 5, 5));
    p.drawLine(QPointF(9, 4.5), QPointF(14, 4.5));
    p.drawLine(QPointF(9, 11.5), QPointF(14, 11.5));
    p.setPen(QPen(QColor(0, 140, 0), 1.5));
    p.drawLine(QPointF(3, 4.5), QPointF(4.5, 6));
    p.drawLine(QPointF(4.5, 6), QPointF(7.5, 1.5));
  } else {  // sliders
    for (int i = 0; i < 3; ++i) {
      const qreal y = 3.5 + 4.5 * i;
      p.drawLine(QPointF(2, y), QPointF(14, y));
      p.setBrush(QColor(0, 0, 200));
      p.drawEllipse(QPointF(i == 1 ? 10 : 5, y), 1.8, 1.8);
    }
  }
  return QIcon(pixmap);
}

}  // namespace tarnwick::ui
