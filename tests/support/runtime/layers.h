#pragma once

// Single layers of the runtime's core, made and run as the executor does.

#include "layer.h"

#include <ncnn/mat.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace rtest {

inline ncnn::Mat fromVector(const std::vector<float> &v)
{
    ncnn::Mat m(static_cast<int>(v.size()));
    for (size_t i = 0; i < v.size(); i++)
        m[i] = v[i];
    return m;
}

inline float valueAt(const ncnn::Mat &m, int q, int y, int x)
{
    return static_cast<const float *>(m.data)[m.cstep * q + static_cast<size_t>(y) * m.w + x];
}

// A layer from its type and key=value tokens; fails the test when the parameters are refused.
inline std::unique_ptr<ncnn::Layer> makeLayer(const std::string &type, const std::vector<std::string> &params)
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

inline ncnn::Option singleThread()
{
    ncnn::Option opt;
    opt.num_threads = 1;
    return opt;
}

// Runs a layer the way the executor does: one-blob layers through forward(Mat), others through vectors.
inline int runLayer(const ncnn::Layer &layer, const std::vector<ncnn::Mat> &in, std::vector<ncnn::Mat> &out,
                    const ncnn::Option &opt)
{
    if (layer.one_blob_only) {
        out.resize(1);
        return layer.forward(in[0], out[0], opt);
    }
    return layer.forward(in, out, opt);
}

inline ncnn::Mat run1(const ncnn::Layer &layer, const std::vector<ncnn::Mat> &in,
                      const ncnn::Option &opt = singleThread())
{
    std::vector<ncnn::Mat> out(1);
    const int ret = runLayer(layer, in, out, opt);
    EXPECT_EQ(ret, 0) << layer.type;
    return out[0];
}

// ../shared/models, or empty when it is absent (tests then skip).
inline std::string sharedModelsDir()
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

} // namespace rtest
