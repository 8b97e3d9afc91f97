#pragma once

#include <QString>

// Writes a small SRVGG-style pair <folder>/<name>.param and .bin: `depth` 3x3 convolutions with
// PReLU, a pixel shuffle by `scale`, and the input enlarged by nearest neighbour added on top. Its
// receptive field reaches `depth` pixels, far inside the tiles' 48-pixel margin. Fixed seed.
bool writeTestModel(const QString &folder, const QString &name, int scale, int depth = 3, int features = 8);

// The two pairs the form loads, realesrgan-x2plus and realesrgan-x4plus, as small test models.
bool writeTestModelPairs(const QString &folder);

// The same two names with the published RRDBNet topology (pixel unshuffle first for x2), one block of
// 8 features: slower than the pairs above, but shaped like the real networks.
bool writeRrdbModelPairs(const QString &folder);
