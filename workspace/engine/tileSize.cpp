#include "workspace/engine/tileSize.h"

#include <cmath>

namespace engine {

int tileSizeForBudget(std::uint32_t budgetMb, int bytesPerValue)
{
    // Unsigned 32-bit on purpose: budgets above about 4 TiB wrap exactly as the product did before.
    const std::uint32_t perPixel = bytesPerValue == 2 ? 125u : 250u;
    const std::uint32_t x = (budgetMb * 1024u) / perPixel;
    const int root = static_cast<int>(std::sqrt(static_cast<double>(x)));
    const int tile = root / 32 * 32;
    return tile < kMinimumTileSize ? kMinimumTileSize : tile;
}

int gpuTileSize(bool hasDevice, int deviceType, std::uint32_t heapBudgetMb, int bytesPerValue)
{
    if (!hasDevice)
        return kNoDeviceTileSize;
    if (deviceType == 1)
        return kIntegratedGpuTileSize;
    return tileSizeForBudget(heapBudgetMb, bytesPerValue);
}

int reducedTileSize(int tileSize)
{
    if (tileSize <= kMinimumTileSize)
        return 0;
    const int half = tileSize / 2 / 32 * 32;
    return half < kMinimumTileSize ? kMinimumTileSize : half;
}

} // namespace engine
