#include "workspace/engine/tilePlan.h"

#include <algorithm>
#include <limits>

namespace engine {

TilePlan planTiles(QSize source, int tileSize, int scale, int inputMultiple)
{
    TilePlan plan;
    plan.source = source;
    plan.tileSize = tileSize;
    plan.scale = scale;
    plan.inputMultiple = inputMultiple;
    if (source.isEmpty() || tileSize <= 0 || tileSize % 16 != 0 || scale <= 0 || inputMultiple < 1 ||
        inputMultiple > 16 || 16 % inputMultiple != 0)
        return plan;

    const int width = source.width();
    const int height = source.height();
    const qint64 extended = qint64(width) + tileSize - width % tileSize;
    // The result holds scale * width * height RGB pixels; refuse what QImage could never allocate.
    if (extended * scale > std::numeric_limits<int>::max() / 4 ||
        qint64(height) * scale > std::numeric_limits<int>::max() / 4)
        return plan;
    plan.extendedWidth = int(extended);

    // 64-bit so that very large images do not wrap the progress range into a negative number.
    const qint64 maximum = extended * height / (qint64(tileSize) * tileSize) + 10;
    plan.progressMaximum = int(std::min<qint64>(maximum, std::numeric_limits<int>::max()));

    plan.columns = plan.extendedWidth / tileSize;
    plan.rows = (height + tileSize - 1) / tileSize;
    return plan;
}

Tile TilePlan::tile(int index) const
{
    const int width = source.width();
    const int height = source.height();
    Tile t;
    t.number = index + 1;
    t.x = index % columns * tileSize;
    t.y = index / columns * tileSize;
    t.width = std::clamp(width - t.x, 0, tileSize);
    t.height = std::min(tileSize, height - t.y);
    t.target = QPoint(scale * t.x, scale * t.y);
    if (!t.inPicture())
        return t;
    const int x0 = std::max(t.x - kTileMargin, 0);
    const int x1 = std::min(width, t.x + tileSize + kTileMargin);
    const int y0 = std::max(t.y - kTileMargin, 0);
    const int y1 = std::min(height, t.y + t.height + kTileMargin);
    t.copyRect = QRect(x0, y0, x1 - x0, y1 - y0);
    auto roundUp = [this](int n) {
        return (n + inputMultiple - 1) / inputMultiple * inputMultiple;
    };
    t.inputSize = QSize(roundUp(t.copyRect.width()), roundUp(t.copyRect.height()));
    t.cropRect = QRect(scale * (t.x - x0), scale * (t.y - y0), scale * t.width, scale * t.height);
    return t;
}

} // namespace engine
