#pragma once

#include <cstdint>

namespace engine {

// Tile edges that do not come from the budget formula.
constexpr int kNoDeviceTileSize = 64;
constexpr int kIntegratedGpuTileSize = 96;
// The smallest edge the tiled pass accepts; also the floor of the out-of-memory retries.
constexpr int kMinimumTileSize = 32;

// Tile edge for a memory budget in MiB: the square root of (budget * 1024 / 250), truncated and
// rounded down to a multiple of 32. Budgets below 250 MiB would give 0, which the tiled pass cannot
// step by, so they get the smallest edge instead. The 250 counts blobs of 4-byte values; blobs of
// `bytesPerValue` 2 (bf16, fp16) need half of it per pixel, so the edge grows by about the square root of 2.
int tileSizeForBudget(std::uint32_t budgetMb, int bytesPerValue = 4);

// The edge for a GPU run: 64 without a device, 96 for an integrated GPU (type 1) whatever its budget,
// otherwise the budget formula on the device's heap budget.
int gpuTileSize(bool hasDevice, int deviceType, std::uint32_t heapBudgetMb, int bytesPerValue = 4);

// The edge to retry with after a tile ran out of memory: half, rounded down to a multiple of 32, never
// below the minimum. Returns 0 when the edge is already at the minimum and nothing smaller is left.
int reducedTileSize(int tileSize);

} // namespace engine
