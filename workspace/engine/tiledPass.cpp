#include "workspace/engine/tiledPass.h"

#include "workspace/engine/tileSize.h"

#include <QDebug>
#include <QPainter>

#include <cstring>

namespace engine {

QImage extendForTiling(const QImage &source, const TilePlan &plan)
{
    QImage extended(plan.extendedSize(), QImage::Format_ARGB32_Premultiplied);
    if (extended.isNull())
        return {};
    extended.fill(Qt::blue);
    QPainter painter(&extended);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, source);
    painter.end();
    for (int y = source.height(); y < extended.height(); ++y)
        std::memcpy(extended.scanLine(y), extended.constScanLine(source.height() - 1),
                    size_t(extended.bytesPerLine()));
    return extended;
}

namespace {

TiledPassResult failure(TiledPassResult::Status status, int tileSize, QString message)
{
    TiledPassResult result;
    result.status = status;
    result.tileSize = tileSize;
    result.message = std::move(message);
    return result;
}

// The same pixels an opaque QPainter::drawImage between two RGB888 images would give, without the
// painter's per-call set-up on every tile.
void copyPixels(const QImage &from, const QRect &rect, QImage &to, QPoint at)
{
    const qsizetype bytes = qsizetype(rect.width()) * 3;
    for (int row = 0; row < rect.height(); ++row)
        std::memcpy(to.scanLine(at.y() + row) + qsizetype(at.x()) * 3,
                    from.constScanLine(rect.y() + row) + qsizetype(rect.x()) * 3, size_t(bytes));
}

// One attempt at one edge. OutOfMemory tells the caller to try again smaller.
TiledPassResult runAtTileSize(const QImage &source, int tileSize, int scale,
                              const std::function<TileInference(const QImage &)> &infer,
                              const TiledPassObserver &observer, int heightMultiple)
{
    qDebug() << "tile_size:" << tileSize;
    const TilePlan plan = planTiles(source.size(), tileSize, scale, heightMultiple);
    if (!plan.isValid())
        return failure(TiledPassResult::Status::InvalidTileSize, tileSize,
                       QStringLiteral("cannot tile a %1x%2 image with edge %3 at scale %4")
                           .arg(source.width())
                           .arg(source.height())
                           .arg(tileSize)
                           .arg(scale));

    const QImage extended = extendForTiling(source, plan);
    QImage canvas(plan.canvasSize(), QImage::Format_RGB888);
    if (extended.isNull() || canvas.isNull())
        return failure(TiledPassResult::Status::ImageTooLarge, tileSize,
                       QStringLiteral("no memory for the %1x%2 canvas")
                           .arg(plan.canvasSize().width())
                           .arg(plan.canvasSize().height()));
    canvas.fill(Qt::black);

    if (observer.planStarted)
        observer.planStarted(plan);

    for (int index = 0; index < plan.tileCount(); ++index) {
        const Tile tile = plan.tile(index);
        if (observer.tileStarted)
            observer.tileStarted(plan, tile);
        const QImage input = extended.copy(tile.copyRect).convertToFormat(QImage::Format_RGB888);
        const TileInference out = infer(input);
        if (out.status == TileInference::Status::OutOfMemory)
            return failure(TiledPassResult::Status::OutOfMemory, tileSize, out.message);
        const QSize expected = tile.copyRect.size() * scale;
        if (out.status != TileInference::Status::Ok || out.image.size() != expected)
            return failure(TiledPassResult::Status::TileFailed, tileSize,
                           QStringLiteral("tile (%1, %2) gave no %3x%4 output: %5")
                               .arg(tile.x)
                               .arg(tile.y)
                               .arg(expected.width())
                               .arg(expected.height())
                               .arg(out.message));
        const QImage pixels = out.image.format() == QImage::Format_RGB888
                                  ? out.image
                                  : out.image.convertToFormat(QImage::Format_RGB888);
        copyPixels(pixels, tile.cropRect, canvas, tile.target);
    }

    TiledPassResult result;
    result.status = TiledPassResult::Status::Ok;
    result.tileSize = tileSize;
    result.image = canvas.copy(QRect(QPoint(0, 0), plan.resultSize()));
    return result;
}

} // namespace

TiledPassResult runTiledPass(const QImage &source, int tileSize, int scale,
                             const std::function<TileInference(const QImage &)> &infer,
                             const TiledPassObserver &observer, int heightMultiple)
{
    if (source.isNull())
        return failure(TiledPassResult::Status::NullSource, tileSize, QStringLiteral("null source"));

    for (int edge = tileSize;;) {
        TiledPassResult result = runAtTileSize(source, edge, scale, infer, observer, heightMultiple);
        if (result.status != TiledPassResult::Status::OutOfMemory)
            return result;
        const int smaller = reducedTileSize(edge);
        if (smaller == 0) {
            qDebug() << "out of memory at the smallest tile_size:" << edge << result.message;
            return result;
        }
        qDebug() << "out of memory at tile_size" << edge << "- starting the image again with" << smaller
                 << ":" << result.message;
        edge = smaller;
    }
}

} // namespace engine
