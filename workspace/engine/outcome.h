#pragma once

#include "workspace/engine/tilePlan.h"

#include <QImage>
#include <QRect>

#include <functional>

namespace engine {

// What became of a piece of the work, said alike from one tile's inference through the tiled pass and
// the upscale to one picture's report.
enum class Outcome {
    Done,        // made; of a picture: written
    Failed,      // the reason says why
    OutOfMemory, // of a tile: a smaller one may fit; of a picture: not even the smallest tile did
    DeviceLost,  // the GPU stopped answering (the reason says more); a later try may find it again
    Cancelled,   // stopped by the stop request; nothing of it is kept
    NotStarted,  // of a picture: the batch stopped before it
};

// Failed, OutOfMemory and DeviceLost.
constexpr bool isFailure(Outcome outcome)
{
    return outcome == Outcome::Failed || outcome == Outcome::OutOfMemory || outcome == Outcome::DeviceLost;
}

// Progress of one picture, from the tiled pass to the batch's signals. Called on the thread that
// upscales; must be cheap (post, don't paint).
struct ProgressObserver {
    // Once per attempt: again, with a smaller edge, after memory ran out.
    std::function<void(const TilePlan &plan)> planStarted;
    std::function<void(const TilePlan &plan, const Tile &tile)> tileStarted;
    // After the tile's part was joined into the result: `part` is that part and `where` its place in
    // output pixels; both are empty for a tile of the extension beyond the picture's right edge, which
    // still counts as done.
    std::function<void(const TilePlan &plan, const Tile &tile, const QImage &part, const QRect &where)>
        tileFinished;
    // Within the tile under way, the share of the network's layers done (0 to 1), after every layer
    // of a loaded network; a stand-in reports nothing.
    std::function<void(double share)> tileAdvanced;
};

} // namespace engine
