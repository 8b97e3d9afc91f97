#pragma once

// The one error measure of the runtime's tests: the largest difference from the reference, relative to
// the reference's largest magnitude (at least 1), so that a tolerance reads the same for any scale of
// values. Tolerances follow the precision: kFp32Tolerance where storage and arithmetic are fp32 and the
// differences come from summation order and exp().

#include <ncnn/mat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace rtest {

constexpr double kFp32Tolerance = 1e-4;
// bf16 blobs and weights (8 significant bits) with fp32 sums: each rounding is 2^-9 of a value, and a
// network's input, weights, blobs between layers and result are each rounded, a division amplifying it:
// the largest difference stays within 2^-6 of the output's magnitude (measured up to 2^-7).
constexpr double kBf16Tolerance = 1.0 / 64;

// The elements of every channel, without the channel padding.
inline std::vector<float> flatten(const ncnn::Mat &m)
{
    std::vector<float> v;
    v.reserve(size_t(m.w) * m.h * m.c);
    for (int q = 0; q < m.c; q++) {
        const float *p = m.channel(q);
        v.insert(v.end(), p, p + size_t(m.w) * m.h);
    }
    return v;
}

// Infinity when the sizes differ or a difference is not a number. `worst`, when given, gets the index
// of the largest difference.
inline double relativeError(const std::vector<float> &got, const std::vector<float> &want,
                            size_t *worst = nullptr)
{
    if (got.size() != want.size())
        return std::numeric_limits<double>::infinity();
    double scale = 1.0;
    for (float w : want)
        scale = std::max(scale, double(std::fabs(w)));
    double largest = 0.0;
    if (worst)
        *worst = 0;
    for (size_t i = 0; i < got.size(); i++) {
        const double d = std::fabs(double(got[i]) - double(want[i]));
        if (std::isnan(d)) {
            if (worst)
                *worst = i;
            return std::numeric_limits<double>::infinity();
        }
        if (d > largest) {
            largest = d;
            if (worst)
                *worst = i;
        }
    }
    return largest / scale;
}

inline bool sameShape(const ncnn::Mat &a, const ncnn::Mat &b)
{
    return a.dims == b.dims && a.w == b.w && a.h == b.h && a.c == b.c;
}

// Infinity when the shapes differ.
inline double relativeError(const ncnn::Mat &got, const ncnn::Mat &want)
{
    if (!sameShape(got, want))
        return std::numeric_limits<double>::infinity();
    return relativeError(flatten(got), flatten(want));
}

// The shapes agree and the error is within `tolerance`; a failure names the shapes, or the error and
// the element that differs most.
inline ::testing::AssertionResult matsNear(const ncnn::Mat &got, const ncnn::Mat &want,
                                           double tolerance = kFp32Tolerance)
{
    if (!sameShape(got, want))
        return ::testing::AssertionFailure()
               << "shape " << got.dims << "d " << got.w << "x" << got.h << "x" << got.c << " vs " << want.dims
               << "d " << want.w << "x" << want.h << "x" << want.c;
    const std::vector<float> a = flatten(got), b = flatten(want);
    size_t worst = 0;
    const double error = relativeError(a, b, &worst);
    if (error <= tolerance)
        return ::testing::AssertionSuccess();
    const size_t plane = size_t(got.w) * got.h;
    return ::testing::AssertionFailure()
           << "error " << error << " above " << tolerance << ", worst at c=" << worst / plane
           << " y=" << worst % plane / size_t(got.w) << " x=" << worst % size_t(got.w) << ": " << a[worst]
           << " vs " << b[worst];
}

} // namespace rtest
