#include "widgets/ProgressPicture.h"

#include <QPainter>
#include <QPalette>

namespace {
// Longest side of the kept copy: enough for a large window on a dense screen.
constexpr int maxCanvasEdge = 1600;
} // namespace

ProgressPicture::ProgressPicture(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMinimumSize(64, 64);
}

void ProgressPicture::start(const QSize &outputSize)
{
    output = outputSize;
    picture = QImage();
    if (outputSize.isEmpty()) {
        update();
        return;
    }
    const QSize canvasSize = outputSize.width() > maxCanvasEdge || outputSize.height() > maxCanvasEdge
                                 ? outputSize.scaled(maxCanvasEdge, maxCanvasEdge, Qt::KeepAspectRatio)
                                 : outputSize;
    picture = QImage(canvasSize.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    update();
}

void ProgressPicture::addTile(const QImage &tile, const QRect &where)
{
    if (picture.isNull() || tile.isNull() || output.isEmpty())
        return;
    const double sx = double(picture.width()) / output.width();
    const double sy = double(picture.height()) / output.height();
    const QRectF target(where.x() * sx, where.y() * sy, where.width() * sx, where.height() * sy);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, tile);
    painter.end();
    update();
}

void ProgressPicture::clear()
{
    start(QSize());
}

void ProgressPicture::paintEvent(QPaintEvent *)
{
    if (picture.isNull())
        return;
    QPainter painter(this);
    const QSize shown = picture.size().scaled(size(), Qt::KeepAspectRatio).boundedTo(picture.size() * 2);
    const QRect target(QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
    // The part still to come shows as a frame of the picture's size, so the filling can be followed.
    painter.fillRect(target, palette().color(QPalette::AlternateBase));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(target.adjusted(0, 0, -1, -1));
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture);
}
