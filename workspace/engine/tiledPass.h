#pragma once

#include "workspace/engine/outcome.h"
#include "workspace/engine/picture.h"
#include "workspace/engine/tilePlan.h"

#include <QImage>
#include <QString>

#include <functional>

namespace engine {

// What one inference of one tile came to. Running out of memory is told apart from other failures
// because a smaller tile may still fit.
struct TileInference {
    using Status = Outcome;
    QImage image;
    Status status = Status::Failed;
    QString reason;

    static TileInference ok(QImage image) { return {std::move(image), Status::Done, {}}; }
};

struct TiledPassResult {
    using Status = Outcome;
    QImage image; // S*W x S*H in networkPicture's format, null unless Done
    // OutOfMemory at the smallest edge, or when the enlarged canvas itself could not be allocated.
    Status status = Status::Failed;
    int tileSize = 0; // the edge that produced the image (smaller than asked after memory retries)
    QString reason;

    bool isOk() const { return status == Status::Done; }
};

// Enlarges the source tile by tile. Each tile is fed to the network with a margin of context that is
// cut away again, so tiles meet without seams. A tile that runs out of memory starts the whole image
// again with a smaller edge, down to the minimum; any other failed tile fails the image, because a
// picture with black holes must never pass for a result.
// inputMultiple: see planTiles. `cancelled` is asked before every tile; true ends the pass with
// Cancelled, as does an inference that reports it stopped.
TiledPassResult runTiledPass(const Picture &source, int tileSize, int scale,
                             const std::function<TileInference(const QImage &)> &infer,
                             const ProgressObserver &observer = {}, int inputMultiple = 1,
                             const std::function<bool()> &cancelled = {});
// An image of the caller's making, described as its format stores it (Picture::asStored).
TiledPassResult runTiledPass(const QImage &source, int tileSize, int scale,
                             const std::function<TileInference(const QImage &)> &infer,
                             const ProgressObserver &observer = {}, int inputMultiple = 1,
                             const std::function<bool()> &cancelled = {});

// The picture as the network sees it: Format_RGB888, or Format_RGBX64 for a deep picture (the tiles,
// the network's output and the canvas then stay at 16 bits); alpha dropped (a clear pixel is black
// whatever colour it stores).
QImage networkPicture(const Picture &picture);

// The image widened and heightened to `size` by repeating its last column and row; same format.
QImage padByRepeating(const QImage &image, QSize size);

} // namespace engine
