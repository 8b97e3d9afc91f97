#include "workspace/engine/tiledPass.h"

#include "workspace/engine/pictureDepth.h"
#include "workspace/engine/tileSize.h"

#include <QDebug>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace engine {

QImage networkPicture(const Picture &picture)
{
    const QImage &source = picture.image;
    const QImage::Format format = colourFormatFor(picture.depth);
    if (source.format() == format)
        return source;
    // Through premultiplied ARGB, as drawing onto the tiling canvas used to do, so that transparent
    // pictures keep the colours they always had.
    if (source.hasAlphaChannel())
        return source
            .convertToFormat(picture.isDeep() ? QImage::Format_RGBA64_Premultiplied
                                              : QImage::Format_ARGB32_Premultiplied)
            .convertToFormat(format);
    return source.convertToFormat(format);
}

QImage padByRepeating(const QImage &image, QSize size)
{
    if (image.size() == size)
        return image;
    QImage padded(size, image.format());
    if (padded.isNull() || image.isNull())
        return {};
    const int width = image.width();
    const size_t pixel = size_t(image.depth() / 8);
    for (int y = 0; y < size.height(); ++y) {
        const uchar *from = image.constScanLine(std::min(y, image.height() - 1));
        uchar *to = padded.scanLine(y);
        std::memcpy(to, from, size_t(width) * pixel);
        for (int x = width; x < size.width(); ++x)
            std::memcpy(to + pixel * size_t(x), from + pixel * size_t(width - 1), pixel);
    }
    return padded;
}

namespace {

TiledPassResult failure(Outcome status, int tileSize, QString message)
{
    TiledPassResult result;
    result.status = status;
    result.tileSize = tileSize;
    result.reason = std::move(message);
    return result;
}

// The same pixels an opaque QPainter::drawImage between two images of one format would give, without
// the painter's per-call set-up on every tile.
void copyPixels(const QImage &from, const QRect &rect, QImage &to, QPoint at)
{
    const qsizetype pixel = to.depth() / 8;
    const qsizetype bytes = qsizetype(rect.width()) * pixel;
    for (int row = 0; row < rect.height(); ++row)
        std::memcpy(to.scanLine(at.y() + row) + qsizetype(at.x()) * pixel,
                    from.constScanLine(rect.y() + row) + qsizetype(rect.x()) * pixel, size_t(bytes));
}

// One attempt at one edge. OutOfMemory with *smallerMayFit tells the caller to try again smaller; without
// it the enlarged canvas itself did not fit, which smaller tiles would not mend.
TiledPassResult runAtTileSize(const Picture &whole, int tileSize, int scale,
                              const std::function<TileInference(const QImage &)> &infer,
                              const ProgressObserver &observer, int inputMultiple,
                              const std::function<bool()> &cancelled, bool *smallerMayFit)
{
    qDebug() << "tile_size:" << tileSize;
    const QImage &source = whole.image;
    const TilePlan plan = planTiles(source.size(), tileSize, scale, inputMultiple);
    if (!plan.isValid())
        return failure(Outcome::Failed, tileSize,
                       QStringLiteral("cannot tile a %1x%2 image with edge %3 at scale %4")
                           .arg(source.width())
                           .arg(source.height())
                           .arg(tileSize)
                           .arg(scale));

    const QImage picture = networkPicture(whole);
    QImage canvas(plan.resultSize(), picture.format());
    if (picture.isNull() || canvas.isNull())
        return failure(Outcome::OutOfMemory, tileSize,
                       QStringLiteral("no memory for the %1x%2 canvas")
                           .arg(plan.resultSize().width())
                           .arg(plan.resultSize().height()));

    if (observer.planStarted)
        observer.planStarted(plan);

    for (int index = 0; index < plan.tileCount(); ++index) {
        if (cancelled && cancelled())
            return failure(Outcome::Cancelled, tileSize, QStringLiteral("cancelled"));
        const Tile tile = plan.tile(index);
        if (observer.tileStarted)
            observer.tileStarted(plan, tile);
        if (!tile.inPicture()) {
            if (observer.tileFinished)
                observer.tileFinished(plan, tile, QImage(), QRect());
            continue;
        }
        const QImage input = padByRepeating(picture.copy(tile.copyRect), tile.inputSize);
        *smallerMayFit = true;
        if (input.isNull())
            return failure(Outcome::OutOfMemory, tileSize,
                           QStringLiteral("no memory for the copy of a tile"));
        const TileInference out = infer(input);
        if (out.status == Outcome::OutOfMemory || out.status == Outcome::DeviceLost)
            return failure(out.status, tileSize, out.reason);
        if (out.status == Outcome::Cancelled)
            return failure(Outcome::Cancelled, tileSize, QStringLiteral("cancelled"));
        const QSize expected = tile.inputSize * scale;
        if (out.status != Outcome::Done || out.image.size() != expected)
            return failure(Outcome::Failed, tileSize,
                           QStringLiteral("tile (%1, %2) gave no %3x%4 output: %5")
                               .arg(tile.x)
                               .arg(tile.y)
                               .arg(expected.width())
                               .arg(expected.height())
                               .arg(out.reason));
        const QImage pixels =
            out.image.format() == canvas.format() ? out.image : out.image.convertToFormat(canvas.format());
        copyPixels(pixels, tile.cropRect, canvas, tile.target);
        if (observer.tileFinished) {
            const QRect where(tile.target, tile.cropRect.size());
            observer.tileFinished(plan, tile, canvas.copy(where), where);
        }
    }

    TiledPassResult result;
    result.status = Outcome::Done;
    result.tileSize = tileSize;
    result.image = std::move(canvas);
    return result;
}

} // namespace

TiledPassResult runTiledPass(const QImage &source, int tileSize, int scale,
                             const std::function<TileInference(const QImage &)> &infer,
                             const ProgressObserver &observer, int inputMultiple,
                             const std::function<bool()> &cancelled)
{
    return runTiledPass(Picture::asStored(source), tileSize, scale, infer, observer, inputMultiple,
                        cancelled);
}

TiledPassResult runTiledPass(const Picture &source, int tileSize, int scale,
                             const std::function<TileInference(const QImage &)> &infer,
                             const ProgressObserver &observer, int inputMultiple,
                             const std::function<bool()> &cancelled)
{
    if (source.image.isNull())
        return failure(Outcome::Failed, tileSize, QStringLiteral("null source"));

    for (int edge = tileSize;;) {
        bool smallerMayFit = false;
        TiledPassResult result =
            runAtTileSize(source, edge, scale, infer, observer, inputMultiple, cancelled, &smallerMayFit);
        if (result.status != Outcome::OutOfMemory || !smallerMayFit)
            return result;
        const int smaller = reducedTileSize(edge);
        if (smaller == 0) {
            qDebug() << "out of memory at the smallest tile_size:" << edge << result.reason;
            return result;
        }
        qDebug() << "out of memory at tile_size" << edge << "- starting the image again with" << smaller
                 << ":" << result.reason;
        edge = smaller;
    }
}

} // namespace engine
