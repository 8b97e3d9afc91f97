#include "workspace/engine/layerTimeProfile.h"

#include <algorithm>
#include <cmath>

namespace engine {

void LayerTimeProfile::tileStarted(qint64 nowNs)
{
    startNs = nowNs;
    reachedNs.fill(-1);
    reachedNs[0] = 0;
}

double LayerTimeProfile::layersDone(double layerShare, qint64 nowNs)
{
    const double share = std::clamp(layerShare, 0.0, 1.0);
    if (startNs >= 0) {
        const int percent = int(share * kSteps);
        if (reachedNs[size_t(percent)] < 0)
            reachedNs[size_t(percent)] = std::max<qint64>(nowNs - startNs, 0);
    }
    if (!learnt)
        return share;
    const double at = share * kSteps;
    const int below = std::min(int(at), kSteps - 1);
    return timeShare[size_t(below)] +
           (timeShare[size_t(below + 1)] - timeShare[size_t(below)]) * (at - below);
}

void LayerTimeProfile::tileFinished(qint64 nowNs)
{
    if (startNs < 0)
        return;
    const qint64 totalNs = nowNs - startNs;
    startNs = -1;
    const auto reported =
        std::count_if(reachedNs.begin() + 1, reachedNs.end(), [](qint64 ns) { return ns >= 0; });
    if (reported < kReportedToLearn || totalNs <= 0)
        return;
    reachedNs[kSteps] = totalNs;
    // Percents the network skipped over lie on the line between their neighbours.
    int known = 0;
    for (int p = 1; p <= kSteps; ++p) {
        if (reachedNs[size_t(p)] < 0)
            continue;
        const qint64 from = reachedNs[size_t(known)];
        const qint64 to = std::max(reachedNs[size_t(p)], from);
        for (int q = known + 1; q <= p; ++q)
            timeShare[size_t(q)] = double(from + (to - from) * (q - known) / (p - known)) / double(totalNs);
        known = p;
    }
    timeShare[0] = 0;
    learnt = true;
}

} // namespace engine
