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

// One small network of a form of the Real-ESRGAN family, seeded, as <base>.param and <base>.bin: "rrdb"
// (RRDBNet at 4, 2 or 1; the last two start with a pixel unshuffle), "srvgg" (the compact form: PReLU
// and a pixel shuffle, at 2, 3 or 4), "esrgan" (the older form: nearest interpolation by 2 between
// convolutions, at 2 or 4). Each sees less than the tiles' 48-pixel margin around a pixel.
bool writeFamilyModel(const QString &base, const QString &form, int scale);

// Pads <base>.param with blank lines and <base>.bin with zero bytes to exact sizes, as the published
// files of the window's slots have; the description ignores both, while the weights loader refuses a
// .bin longer than its .param reads.
bool padModel(const QString &base, qint64 paramBytes, qint64 binBytes);
