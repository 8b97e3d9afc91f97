#include "../device.h"
#include "../gpu_layers.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <vector>

namespace brivelle::vk {

namespace {

// A block shape of convolution.comp: BM output channels by BN pixels per workgroup, TM x TN per
// thread. The loaders need the thread count to be a multiple of BM, and a multiple or a divisor of BN.
struct Tile {
    int bm, bn, bk, tm, tn;
    uint32_t threads() const { return uint32_t(bm / tm) * uint32_t(bn / tn); }
    size_t sharedBytes() const { return size_t(bk) * (bm + bn) * sizeof(float); }
};

// Block shapes from best to most modest; every device takes the last.
Tile tileCandidate(int outch, int index)
{
    // Wide pixel blocks keep every weight fetched from shared memory busy for many pixels, and 8 x 8
    // register blocks give each shared-memory read 8 multiply-adds; the channel block follows the layer
    // so that the narrow convolutions (32 or 3 outputs) waste little.
    if (index == 0)
        return outch > 32  ? Tile{64, 256, 8, 8, 8}
               : outch > 8 ? Tile{32, 512, 8, 8, 8}
                           : Tile{8, 256, 8, 1, 8};
    if (index == 1)
        return outch > 8 ? Tile{32, 256, 8, 4, 8} : Tile{8, 128, 8, 1, 8};
    return Tile{8, 64, 8, 1, 8};
}
constexpr int kTileCandidates = 3;

Tile chooseTile(const VkPhysicalDeviceLimits &lim, int outch, int forced)
{
    if (forced >= 0 && forced < kTileCandidates)
        return tileCandidate(outch, forced);
    for (int i = 0; i < kTileCandidates; i++) {
        const Tile t = tileCandidate(outch, i);
        if (t.threads() <= lim.maxComputeWorkGroupInvocations &&
            t.threads() <= lim.maxComputeWorkGroupSize[0] &&
            t.sharedBytes() <= lim.maxComputeSharedMemorySize)
            return t;
    }
    return tileCandidate(outch, kTileCandidates - 1);
}

struct ConvPush {
    int32_t inch, inw, inh, outch, outw, outh, padl, padt, nOffset;
    float padValue;
    int32_t outOffset;
};

} // namespace

bool allocate(Stream &s, Tensor &t, int w, int h, int c)
{
    t.w = w;
    t.h = h;
    t.c = c;
    t.buf = s.acquire(t.bytes());
    return t.buf != nullptr;
}

int Convolution::create(const ncnn::VulkanDevice &device, const ConvParams &params, const float *weights,
                        const float *bias)
{
    p_ = params;
    device_ = &device;
    const int taps = p_.kw * p_.kh;
    std::vector<float> packed(size_t(taps) * p_.inch * p_.outch);
    for (int oc = 0; oc < p_.outch; oc++)
        for (int ic = 0; ic < p_.inch; ic++)
            for (int t = 0; t < taps; t++)
                packed[(size_t(t) * p_.inch + ic) * p_.outch + oc] =
                    weights[(size_t(oc) * p_.inch + ic) * taps + t];
    std::vector<float> b(size_t(p_.outch), 0.f);
    if (bias)
        std::copy(bias, bias + p_.outch, b.begin());
    Stream s(device);
    weights_ = device.d->pool->acquire(packed.size() * sizeof(float));
    bias_ = device.d->pool->acquire(b.size() * sizeof(float));
    if (!weights_ || !bias_)
        return -1;
    if (s.upload(packed.data(), packed.size() * sizeof(float), weights_) != 0 ||
        s.upload(b.data(), b.size() * sizeof(float), bias_) != 0)
        return -1;
    return s.finish();
}

bool Convolution::outputShape(int inw, int inh, int &outw, int &outh, int &padl, int &padt) const
{
    const int extentW = p_.dx * (p_.kw - 1) + 1;
    const int extentH = p_.dy * (p_.kh - 1) + 1;
    int pl = p_.padl, pr = p_.padr, pt = p_.padt, pb = p_.padb;
    if (pl == -233 || pl == -234) {
        const int wpad = std::max(0, extentW + (inw - 1) / p_.sx * p_.sx - inw);
        const int hpad = std::max(0, extentH + (inh - 1) / p_.sy * p_.sy - inh);
        const bool upper = pl == -233;
        pl = upper ? wpad / 2 : wpad - wpad / 2;
        pr = wpad - pl;
        pt = upper ? hpad / 2 : hpad - hpad / 2;
        pb = hpad - pt;
    }
    const int w = inw + pl + pr;
    const int h = inh + pt + pb;
    if (w < extentW || h < extentH)
        return false;
    outw = (w - extentW) / p_.sx + 1;
    outh = (h - extentH) / p_.sy + 1;
    padl = pl;
    padt = pt;
    return true;
}

int Convolution::forward(Stream &s, const Tensor &in, Tensor &out, const Tensor *residual, float residualA,
                         float residualB) const
{
    if (in.c != p_.inch)
        return -1;
    int outw, outh, padl, padt;
    if (!outputShape(in.w, in.h, outw, outh, padl, padt))
        return -1;
    if (out.empty() && !allocate(s, out, outw, outh, p_.outch))
        return -100;
    if (out.w != outw || out.h != outh || out.c != p_.outch || in.offset != 0 ||
        out.offset + out.count() > out.buf->size / sizeof(float) || out.offset > size_t(INT32_MAX))
        return -1;
    if (residual && (residual->offset != 0 || residual->w != outw || residual->h != outh || residual->c != p_.outch))
        return -1;

    const VkPhysicalDeviceLimits &lim = limits(*device_);
    const Tile t = chooseTile(lim, p_.outch, p_.forceTile);
    const uint32_t local[3] = {t.threads(), 1, 1};
    const std::vector<SpecConstant> specialization = {spec_i(t.bm),
                                            spec_i(t.bn),
                                            spec_i(t.bk),
                                            spec_i(t.tm),
                                            spec_i(t.tn),
                                            spec_i(p_.kw),
                                            spec_i(p_.kh),
                                            spec_i(p_.sx),
                                            spec_i(p_.sy),
                                            spec_i(p_.dx),
                                            spec_i(p_.dy),
                                            spec_i(p_.act),
                                            spec_f(p_.actA),
                                            spec_f(p_.actB),
                                            spec_i(1),
                                            spec_i(residual ? 1 : 0),
                                            spec_f(residual ? residualA : 1.f),
                                            spec_f(residual ? residualB : 1.f)};
    const Pipeline *pipe = get_pipeline(*device_, "convolution", 5, sizeof(ConvPush), local, specialization);
    if (!pipe)
        return -1;

    const int npix = outw * outh;
    const double flopsPerPixel = 2.0 * p_.kw * p_.kh * p_.inch * p_.outch;
    // Large layers are cut into pixel ranges, each small enough to be submitted on its own.
    const uint32_t maxGroups = lim.maxComputeWorkGroupCount[0];
    int64_t chunk = int64_t(std::max(1.0, std::floor(Stream::kSubmitWork / flopsPerPixel)));
    chunk = std::max<int64_t>(t.bn, chunk / t.bn * t.bn);
    chunk = std::min<int64_t>(chunk, int64_t(maxGroups) * t.bn);
    const uint32_t groupsY = uint32_t((p_.outch + t.bm - 1) / t.bm);
    const BufferRef &res = residual ? residual->buf : out.buf;
    for (int64_t n0 = 0; n0 < npix; n0 += chunk) {
        const int64_t n = std::min<int64_t>(chunk, npix - n0);
        ConvPush push{p_.inch, in.w, in.h, p_.outch, outw, outh, padl, padt, int32_t(n0), p_.padValue,
                      int32_t(out.offset)};
        const uint32_t groupsX = uint32_t((n + t.bn - 1) / t.bn);
        const int rc = s.dispatch(*pipe, {in.buf, weights_, bias_, res, out.buf}, &push, groupsX, groupsY, 1,
                                  flopsPerPixel * double(n));
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace brivelle::vk
