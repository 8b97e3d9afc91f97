#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// The preview picture of a file: decoded whole, turned by the orientation stored in the file (as the
// thumbnail and the upscaled result are) and scaled smoothly, keeping its proportions, to the
// largest size that fits the area, so that a wide scan is seen whole as well as a tall portrait.
// Null when the file cannot be decoded or the area is empty. Thread-safe; runs on the pool.
QImage renderPreview(const QString &path, QSize area);

// A source and its result at one size for the before and after view.
struct PreviewPair {
    QImage source;
    QImage result; // null: no comparison (the result did not decode), source is the plain preview

    bool isComparison() const { return !result.isNull() && !source.isNull(); }
};

// Both pictures at the size the result takes in the area, the source enlarged to the result's size
// first, so that the two line up pixel for pixel whatever rounding the result's size had; the
// shown size is reached in one smooth scaling, which looks the same as enlarging then reducing.
// When the result cannot be decoded: the source's plain preview alone. Thread-safe; runs on the pool.
PreviewPair renderComparison(const QString &sourcePath, const QString &resultPath, QSize area);

// What the view shows: both, split at the divider, or one of them whole.
enum class ComparisonSide { Split, Source, Result };

// The pair as shown: the source left of the divider (a fraction of the width, 0 to 1), the result
// right of it, and a light line with a dark edge at the divider; one picture whole for the other
// sides. The result's size and Format_ARGB32_Premultiplied; null for a pair that is no comparison.
QImage composeComparison(const PreviewPair &pair, double divider, ComparisonSide side);
