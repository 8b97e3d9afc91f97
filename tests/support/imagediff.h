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
