#pragma once

// The one seeded generator of the runtime's tests. xorshift32 gives the same numbers with every compiler
// and standard library, which std::uniform_real_distribution does not promise.

#include <ncnn/mat.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtest {

class Random {
public:
    explicit Random(uint32_t seed) : state(seed ? seed : 1) {}

    // Uniform in [lo, hi), with 24 bits of the state.
    float uniform(float lo = -1.f, float hi = 1.f)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return lo + (hi - lo) * (static_cast<float>(state >> 8) / 16777216.f);
    }

private:
    uint32_t state;
};

inline std::vector<float> randomVector(size_t n, uint32_t seed, float lo = -1.f, float hi = 1.f)
{
    Random random(seed);
    std::vector<float> v(n);
    for (float &x : v)
        x = random.uniform(lo, hi);
    return v;
}

// A w x h x c blob of values in [-1, 1), channel after channel.
inline ncnn::Mat randomMat(int w, int h, int c, uint32_t seed)
{
    ncnn::Mat m(w, h, c);
    Random random(seed);
    for (int q = 0; q < c; q++) {
        float *p = m.channel(q);
        for (int i = 0; i < w * h; i++)
            p[i] = random.uniform();
    }
    return m;
}

} // namespace rtest
