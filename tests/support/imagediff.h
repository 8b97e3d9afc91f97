#pragma once

#include <QImage>
#include <algorithm>
#include <cstdlib>

// The largest difference of one channel between two RGB888 pictures of the same size.
inline int maxDifference(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            worst = std::max(worst, std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]));
    return worst;
}

// The mean difference of one channel between two RGB888 pictures of the same size.
inline double meanDifference(const QImage &a, const QImage &b)
{
    qint64 sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            sum += std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]);
    return a.isNull() ? 0.0 : double(sum) / (double(a.width()) * a.height() * 3);
}

// Whether two pictures show the same: the same size, and premultiplied channels that differ by at
// most one level. Qt's conversions through premultiplied formats round differently on different
// processors (its vector paths), so an icon drawn from an image need not equal it bit for bit.
inline bool looksTheSame(const QImage &a, const QImage &b)
{
    if (a.isNull() || a.size() != b.size())
        return false;
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width() * 4; ++x)
            if (std::abs(pa.constScanLine(y)[x] - pb.constScanLine(y)[x]) > 1)
                return false;
    return true;
}
