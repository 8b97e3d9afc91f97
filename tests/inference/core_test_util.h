#pragma once

#include "layer.h"

#include <ncnn/allocator.h>
#include <ncnn/mat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace coretest {

// Reproducible values in [-1, 1).
class Rng {
public:
    explicit Rng(uint32_t seed) : state(seed ? seed : 1) {}
    float next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state >> 8) / 8388608.f - 1.f;
    }

private:
    uint32_t state;
};

inline ncnn::Mat random_mat(int w, int h, int c, uint32_t seed)
{
    ncnn::Mat m(w, h, c);
    Rng rng(seed);
    for (int q = 0; q < c; q++) {
        float *p = m.channel(q);
        for (int i = 0; i < w * h; i++)
            p[i] = rng.next();
    }
    return m;
}

inline std::vector<float> random_vec(size_t n, uint32_t seed)
{
    Rng rng(seed);
    std::vector<float> v(n);
    for (float &x : v)
        x = rng.next();
    return v;
}

inline ncnn::Mat from_vec(const std::vector<float> &v)
{
    ncnn::Mat m(static_cast<int>(v.size()));
    for (size_t i = 0; i < v.size(); i++)
        m[i] = v[i];
    return m;
}

inline float value(const ncnn::Mat &m, int q, int y, int x)
{
    return static_cast<const float *>(m.data)[m.cstep * q + static_cast<size_t>(y) * m.w + x];
}

// Compares shape and every element with a tolerance relative to the magnitude.
inline ::testing::AssertionResult mats_near(const ncnn::Mat &a, const ncnn::Mat &b, float tol = 1e-4f)
{
    if (a.dims != b.dims || a.w != b.w || a.h != b.h || a.c != b.c)
        return ::testing::AssertionFailure() << "shape " << a.dims << "d " << a.w << "x" << a.h << "x" << a.c
                                             << " vs " << b.dims << "d " << b.w << "x" << b.h << "x" << b.c;
    for (int q = 0; q < a.c; q++)
        for (int y = 0; y < a.h; y++)
            for (int x = 0; x < a.w; x++) {
                const float va = value(a, q, y, x), vb = value(b, q, y, x);
                if (!(std::fabs(va - vb) <= tol * std::max(1.f, std::fabs(vb))))
                    return ::testing::AssertionFailure()
                           << "at c=" << q << " y=" << y << " x=" << x << ": " << va << " vs " << vb;
            }
    return ::testing::AssertionSuccess();
}

// A layer from its type and key=value tokens; fails the test when the parameters are refused.
inline std::unique_ptr<ncnn::Layer> make_layer(const std::string &type,
                                               const std::vector<std::string> &params)
{
    auto layer = ncnn::create_layer(type);
    EXPECT_TRUE(layer) << type;
    if (!layer)
        return layer;
    ncnn::ParamDict pd;
    std::string err;
    EXPECT_EQ(pd.parse(params, err), 0) << err;
    EXPECT_EQ(layer->load_param(pd, err), 0) << err;
    return layer;
}

inline ncnn::Option single_thread()
{
    ncnn::Option opt;
    opt.num_threads = 1;
    return opt;
}

// Runs a layer the way the executor does: one-blob layers through forward(Mat), others through vectors.
inline int run_layer(const ncnn::Layer &layer, const std::vector<ncnn::Mat> &in, std::vector<ncnn::Mat> &out,
                     const ncnn::Option &opt)
{
    if (layer.one_blob_only) {
        out.resize(1);
        return layer.forward(in[0], out[0], opt);
    }
    return layer.forward(in, out, opt);
}

inline ncnn::Mat run1(const ncnn::Layer &layer, const std::vector<ncnn::Mat> &in,
                      const ncnn::Option &opt = single_thread())
{
    std::vector<ncnn::Mat> out(1);
    const int ret = run_layer(layer, in, out, opt);
    EXPECT_EQ(ret, 0) << layer.type;
    return out[0];
}

// Fails the n-th allocation (1-based) or any allocation that would exceed a cap of bytes in use.
class FailingAllocator : public ncnn::Allocator {
public:
    FailingAllocator(int fail_at, size_t cap = SIZE_MAX) : fail_at(fail_at), cap(cap) {}
    ~FailingAllocator() override { EXPECT_EQ(in_use, 0u) << "blocks leaked"; }
    void *fastMalloc(size_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls++;
        if (calls == fail_at || size > cap - in_use)
            return nullptr;
        void *p = ncnn::fastMalloc(size);
        sizes[p] = size;
        in_use += size;
        peak = std::max(peak, in_use);
        return p;
    }
    void fastFree(void *ptr) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        in_use -= sizes.at(ptr);
        sizes.erase(ptr);
        ncnn::fastFree(ptr);
    }
    int calls = 0;
    size_t peak = 0;

private:
    std::mutex mutex;
    int fail_at;
    size_t cap;
    size_t in_use = 0;
    std::unordered_map<void *, size_t> sizes;
};

// ../shared/models, or empty when it is absent (tests then skip).
inline std::string shared_models_dir()
{
    const char *dir = std::getenv("BRIVELLE_SHARED_DIR");
    std::string path = dir ? std::string(dir) + "/models" : std::string();
    if (path.empty())
        return path;
    if (std::FILE *f = std::fopen((path + "/realesrgan-x4fast.param").c_str(), "rb")) {
        std::fclose(f);
        return path;
    }
    return std::string();
}

} // namespace coretest
