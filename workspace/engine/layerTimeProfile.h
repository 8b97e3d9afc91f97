#pragma once

#include <QtGlobal>

#include <array>

namespace engine {

// How the time of one tile spreads over the network's layers. The last layers of an enlarging
// network work at the output's size and take far longer each than the first ones, so the share of
// layers done runs well ahead of the share of time. Learnt from the last tile measured whole, the
// profile turns one into the other; until then a layer's share is its time's share.
// Not thread-safe: one per network thread. Times in nanoseconds from any one clock.
class LayerTimeProfile {
public:
    void tileStarted(qint64 nowNs);
    // The share of the tile's time that `layerShare` (0 to 1) of its layers stands for.
    double layersDone(double layerShare, qint64 nowNs);
    // The tile is through; it is learnt when the network reported enough of its way.
    void tileFinished(qint64 nowNs);

    // Percents of the layers a tile must have reported to be learnt.
    static constexpr int kReportedToLearn = 10;

private:
    static constexpr int kSteps = 100;
    qint64 startNs = -1;
    // Since the tile started, when each percent of the layers was first reached; -1 not yet.
    std::array<qint64, kSteps + 1> reachedNs{};
    // The share of the time at each percent of the layers; empty until a tile was learnt.
    std::array<double, kSteps + 1> timeShare{};
    bool learnt = false;
};

} // namespace engine
