// Convolution on the GPU: the kernel (weights on the device, the implicit-GEMM shader and its block
// shapes) and the lowering of the Convolution layer onto it.
#include "convolution_vulkan.h"
#include "../../layers/convolution.h"
#include "../device.h"
#include "gpu_layer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace brivelle::vk {

namespace {

// Block shapes from best to most modest; every device takes the last.
ConvTile tileCandidate(int outch, int index)
{
    // Wide pixel blocks keep every weight fetched from shared memory busy for many pixels, and 8 x 8
    // register blocks give each shared-memory read 8 multiply-adds; the channel block follows the layer
    // so that the narrow convolutions (32 or 3 outputs) waste little.
    if (index == 0)
        return outch > 32  ? ConvTile{64, 256, 8, 8, 8}
               : outch > 8 ? ConvTile{32, 512, 8, 8, 8}
                           : ConvTile{8, 256, 8, 1, 8};
    if (index == 1)
        return outch > 8 ? ConvTile{32, 256, 8, 4, 8} : ConvTile{8, 128, 8, 1, 8};
    return ConvTile{8, 64, 8, 1, 8};
}
constexpr int kTileCandidates = 3;

struct ConvPush {
    int32_t inch, inw, inh, outch, outw, outh, padl, padt, nOffset;
    float padValue;
    int32_t outOffset, batchX, batchW, batchY;
};

// Winograd F(m, 3): each position of the T x T tile (T = m + 2) is one plain product of channels.
// The transforms move the taps' work into cheap additions: m * m outputs for T * T products instead of
// 9 * m * m.
int winogradFor(const ncnn::Convolution &c, int inch, int forced)
{
    const bool fits = c.kernel_w == 3 && c.kernel_h == 3 && c.stride_w == 1 && c.stride_h == 1 &&
                      c.dilation_w == 1 && c.dilation_h == 1;
    if (!fits || forced == 0)
        return 0;
    if (forced == 2 || forced == 4)
        return forced;
    // Products over a handful of channels waste the GEMM's blocks; the direct kernel reads them better.
    return inch >= 16 && c.num_output >= 16 ? 4 : 0;
}

// G g G^T for each kernel g, stored [position][ic][oc] as the batched product reads it.
std::vector<float> winogradWeights(int inch, int outch, const float *weights, int m)
{
    static const float G2[4][3] = {{1, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0, 0, 1}};
    static const float G4[6][3] = {{1.f / 4, 0, 0},
                                   {-1.f / 6, -1.f / 6, -1.f / 6},
                                   {-1.f / 6, 1.f / 6, -1.f / 6},
                                   {1.f / 24, 1.f / 12, 1.f / 6},
                                   {1.f / 24, -1.f / 12, 1.f / 6},
                                   {0, 0, 1}};
    const int t = m + 2;
    auto G = [&](int i, int j) {
        return double(m == 2 ? G2[i][j] : G4[i][j]);
    };
    std::vector<float> u(size_t(t) * t * inch * outch);
    for (int oc = 0; oc < outch; oc++)
        for (int ic = 0; ic < inch; ic++) {
            const float *g = weights + (size_t(oc) * inch + ic) * 9;
            double gg[6][3];
            for (int i = 0; i < t; i++)
                for (int j = 0; j < 3; j++)
                    gg[i][j] = G(i, 0) * g[j] + G(i, 1) * g[3 + j] + G(i, 2) * g[6 + j];
            for (int i = 0; i < t; i++)
                for (int j = 0; j < t; j++) {
                    const double v = gg[i][0] * G(j, 0) + gg[i][1] * G(j, 1) + gg[i][2] * G(j, 2);
                    u[((size_t(i) * t + j) * inch + ic) * outch + oc] = float(v);
                }
        }
    return u;
}

// The implicit GEMM of convolution.comp over npix columns, cut into pixel ranges small enough to be
// submitted on their own; batch members run side by side as workgroups along z.
int runGemm(Stream &s, const ConvTile &t, const std::vector<SpecConstant> &specialization, ConvPush push,
            int npix, uint32_t batch, double flopsPerColumn, std::initializer_list<BufferRef> buffers)
{
    const VkPhysicalDeviceLimits &lim = limits(s.device());
    const uint32_t local[3] = {t.threads(), 1, 1};
    const Pipeline *pipe =
        get_pipeline(s.device(), "convolution", 5, sizeof(ConvPush), local, specialization);
    if (!pipe)
        return ncnn::ERROR_FAILED;
    int64_t chunk = int64_t(std::max(1.0, std::floor(s.submitWork() / flopsPerColumn)));
    chunk = std::max<int64_t>(t.bn, chunk / t.bn * t.bn);
    chunk = std::min<int64_t>(chunk, int64_t(lim.maxComputeWorkGroupCount[0]) * t.bn);
    const uint32_t groupsY = uint32_t((push.outch + t.bm - 1) / t.bm);
    for (int64_t n0 = 0; n0 < npix; n0 += chunk) {
        const int64_t n = std::min<int64_t>(chunk, npix - n0);
        push.nOffset = int32_t(n0);
        const uint32_t groupsX = uint32_t((n + t.bn - 1) / t.bn);
        const int rc = s.dispatch(*pipe, buffers, &push, groupsX, groupsY, batch, flopsPerColumn * double(n));
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace

DeviceShape device_shape(const ncnn::VulkanDevice &device)
{
    const VkPhysicalDeviceLimits &lim = limits(device);
    return DeviceShape{subgroup_size(device), lim.maxComputeSharedMemorySize,
                       lim.maxComputeWorkGroupInvocations, lim.maxComputeWorkGroupSize[0]};
}

ConvTile choose_conv_tile(const DeviceShape &d, int outch, int forced, int forcedDepth, int columns)
{
    ConvTile t = tileCandidate(outch, kTileCandidates - 1);
    if (forced >= 0 && forced < kTileCandidates) {
        t = tileCandidate(outch, forced);
    } else {
        for (int i = 0; i < kTileCandidates; i++) {
            const ConvTile c = tileCandidate(outch, i);
            // Whole subgroups only: a partial one idles lanes at every step.
            const bool wholeSubgroups = d.subgroupSize == 0 || c.threads() % d.subgroupSize == 0;
            if (c.threads() <= d.maxInvocations && c.threads() <= d.maxLocalX && wholeSubgroups &&
                c.sharedBytes() <= d.sharedBytes) {
                t = c;
                break;
            }
        }
    }
    // A product over few columns (a Winograd pass over a small image) would leave most of a wide pixel
    // block idle: narrower blocks, and fewer threads, waste less.
    while (columns > 0 && forced < 0 && t.bn > 64 && columns <= t.bn / 2 && int(t.threads()) / 2 >= t.bm &&
           (d.subgroupSize == 0 || (t.threads() / 2) % d.subgroupSize == 0))
        t.bn /= 2;
    // A deeper slice halves the barriers per reduction; it is taken where two workgroups still fit in
    // shared memory together, so that one computes while the other waits at its barrier.
    ConvTile deep = t;
    deep.bk = 16;
    if (forcedDepth == 8 || forcedDepth == 16)
        t.bk = forcedDepth;
    else if (2 * deep.sharedBytes() <= d.sharedBytes)
        t = deep;
    return t;
}

int Convolution::create(const ncnn::VulkanDevice &device, const ncnn::Convolution &layer,
                        const ConvChoice &choice)
{
    l_ = &layer;
    inch_ = layer.input_channels();
    outch_ = layer.num_output;
    choice_ = choice;
    const std::vector<float> &act = layer.activation_params;
    actA_ = act.size() > 0 ? act[0] : 0.f;
    actB_ = act.size() > 1 ? act[1] : 0.f;
    const float *weights = static_cast<const float *>(layer.weight_data.data);
    const float *bias = layer.bias_term ? static_cast<const float *>(layer.bias_data.data) : nullptr;
    device_ = &device;
    winograd_ = winogradFor(layer, inch_, choice.winograd);
    // A block of the GEMM would leave most of its rows idle; forced block shapes are for testing the GEMM.
    narrow_ = !winograd_ && l_->num_output <= 4 && choice_.forceTile < 0;
    std::vector<float> packed;
    if (winograd_) {
        packed = winogradWeights(inch_, l_->num_output, weights, winograd_);
    } else if (narrow_) {
        const int taps = l_->kernel_w * l_->kernel_h;
        const int inch4 = (inch_ + 3) / 4 * 4;
        packed.assign(size_t(taps) * inch4 * 4, 0.f);
        for (int oc = 0; oc < l_->num_output; oc++)
            for (int ic = 0; ic < inch_; ic++)
                for (int t = 0; t < taps; t++)
                    packed[(size_t(t) * inch4 + ic) * 4 + oc] = weights[(size_t(oc) * inch_ + ic) * taps + t];
    } else {
        const int taps = l_->kernel_w * l_->kernel_h;
        packed.resize(size_t(taps) * inch_ * l_->num_output);
        for (int oc = 0; oc < l_->num_output; oc++)
            for (int ic = 0; ic < inch_; ic++)
                for (int t = 0; t < taps; t++)
                    packed[(size_t(t) * inch_ + ic) * l_->num_output + oc] =
                        weights[(size_t(oc) * inch_ + ic) * taps + t];
    }
    // Whole channel groups: the Winograd output reads the bias four channels at a time.
    std::vector<float> b(size_t(l_->num_output + 3) / 4 * 4, 0.f);
    if (bias)
        std::copy(bias, bias + l_->num_output, b.begin());
    Stream s(device);
    weights_ = device.d->pool->acquire(packed.size() * sizeof(float));
    bias_ = device.d->pool->acquire(b.size() * sizeof(float));
    if (!weights_ || !bias_)
        return ncnn::ERROR_OUT_OF_MEMORY;
    int rc = s.upload(packed.data(), packed.size() * sizeof(float), weights_);
    if (rc == 0)
        rc = s.upload(b.data(), b.size() * sizeof(float), bias_);
    if (rc != 0)
        return rc;
    return s.finish();
}

bool Convolution::outputShape(int inw, int inh, int &outw, int &outh, int &padl, int &padt) const
{
    const int extentW = l_->dilation_w * (l_->kernel_w - 1) + 1;
    const int extentH = l_->dilation_h * (l_->kernel_h - 1) + 1;
    int pl, pr, pt, pb;
    l_->resolve_padding(inw, inh, pl, pr, pt, pb);
    const int w = inw + pl + pr;
    const int h = inh + pt + pb;
    if (w < extentW || h < extentH)
        return false;
    outw = (w - extentW) / l_->stride_w + 1;
    outh = (h - extentH) / l_->stride_h + 1;
    padl = pl;
    padt = pt;
    return true;
}

int Convolution::forward(Stream &s, const Tensor &in, Tensor &out, const Tensor *residual, float residualA,
                         float residualB) const
{
    if (in.c != inch_)
        return ncnn::ERROR_FAILED;
    int outw, outh, padl, padt;
    if (!outputShape(in.w, in.h, outw, outh, padl, padt))
        return ncnn::ERROR_FAILED;
    if (out.empty() && !allocate(s, out, outw, outh, l_->num_output))
        return ncnn::ERROR_OUT_OF_MEMORY;
    if (out.w != outw || out.h != outh || out.c != l_->num_output || in.offset != 0 || out.offset % 4 != 0 ||
        out.offset + out.count() > out.buf->size / sizeof(float) || out.offset > size_t(INT32_MAX))
        return ncnn::ERROR_FAILED;
    if (residual && (residual->offset != 0 || residual->w != outw || residual->h != outh ||
                     residual->c != l_->num_output))
        return ncnn::ERROR_FAILED;
    if (winograd_)
        return forwardWinograd(s, in, out, padl, padt, residual, residualA, residualB);
    if (narrow_)
        return forwardNarrow(s, in, out, padl, padt, residual, residualA, residualB);

    const ConvTile t =
        choose_conv_tile(device_shape(*device_), l_->num_output, choice_.forceTile, choice_.forceDepth);
    std::vector<SpecConstant> specialization = {spec_i(t.bm), spec_i(t.bn), spec_i(t.bk), spec_i(t.tm),
                                                spec_i(t.tn)};
    appendKernelConstants(specialization);
    specialization.push_back(spec_i(1));
    appendResidualConstants(specialization, residual, residualA, residualB);
    const ConvPush push{inch_, in.w, in.h,          l_->num_output,      outw, outh, padl,
                        padt,  0,    l_->pad_value, int32_t(out.offset), 0,    0,    0};
    const BufferRef &res = residual ? residual->buf : out.buf;
    return runGemm(s, t, specialization, push, outw * outh, 1,
                   2.0 * l_->kernel_w * l_->kernel_h * inch_ * l_->num_output,
                   {in.buf, weights_, bias_, res, out.buf});
}

// The kernel's geometry and activation, in the order both direct shaders declare them.
void Convolution::appendKernelConstants(std::vector<SpecConstant> &to) const
{
    to.insert(to.end(), {spec_i(l_->kernel_w), spec_i(l_->kernel_h), spec_i(l_->stride_w),
                         spec_i(l_->stride_h), spec_i(l_->dilation_w), spec_i(l_->dilation_h),
                         spec_i(l_->activation_type), spec_f(actA_), spec_f(actB_)});
}

void Convolution::appendResidualConstants(std::vector<SpecConstant> &to, const Tensor *residual, float a,
                                          float b)
{
    to.insert(to.end(), {spec_i(residual ? 1 : 0), spec_f(residual ? a : 1.f), spec_f(residual ? b : 1.f)});
}

int Convolution::forwardNarrow(Stream &s, const Tensor &in, Tensor &out, int padl, int padt,
                               const Tensor *residual, float residualA, float residualB) const
{
    std::vector<SpecConstant> specialization;
    appendKernelConstants(specialization);
    appendResidualConstants(specialization, residual, residualA, residualB);
    struct {
        int32_t inch, inw, inh, outch, outw, outh, padl, padt;
        float padValue;
        int32_t outOffset;
    } push{inch_, in.w, in.h, l_->num_output, out.w, out.h, padl, padt, l_->pad_value, int32_t(out.offset)};
    const Pipeline *pipe =
        get_pipeline(s.device(), "convolution_narrow", 5, sizeof push, kVolumeLocal, specialization);
    if (!pipe)
        return ncnn::ERROR_FAILED;
    const BufferRef &res = residual ? residual->buf : out.buf;
    const double work = 2.0 * l_->kernel_w * l_->kernel_h * inch_ * l_->num_output * out.w * out.h;
    return s.dispatch(*pipe, {in.buf, weights_, bias_, res, out.buf}, &push,
                      (uint32_t(out.w) + kVolumeLocal[0] - 1) / kVolumeLocal[0],
                      (uint32_t(out.h) + kVolumeLocal[1] - 1) / kVolumeLocal[1], 1, work);
}

int Convolution::forwardWinograd(Stream &s, const Tensor &in, Tensor &out, int padl, int padt,
                                 const Tensor *residual, float residualA, float residualB) const
{
    const int m = winograd_;
    const int t2 = (m + 2) * (m + 2);
    const int tilesw = (out.w + m - 1) / m;
    const int tiles = tilesw * ((out.h + m - 1) / m);
    // The transformed tiles are several times the input: a pass covers as many tiles as keep each of
    // its two scratch buffers near kScratchBytes.
    const size_t perTile = size_t(t2) * size_t((std::max(inch_, l_->num_output) + 3) / 4 * 4) * sizeof(float);
    int chunk = choice_.tilesPerPass > 0 ? std::min(choice_.tilesPerPass, tiles)
                                         : int(std::clamp<size_t>(kScratchBytes / perTile, 1, size_t(tiles)));
    const ConvTile tile = choose_conv_tile(device_shape(*device_), l_->num_output, choice_.forceTile,
                                           choice_.forceDepth, chunk);
    // Passes of whole pixel blocks: a pass ending in a sliver of a block pays for all of it.
    if (choice_.tilesPerPass <= 0 && chunk < tiles && chunk > tile.bn)
        chunk = chunk / tile.bn * tile.bn;
    // [position][channel group][tile]: each position a channel-grouped row of tiles.
    Tensor v, prod;
    if (!allocate(s, v, chunk, t2, inch_) || !allocate(s, prod, chunk, t2, l_->num_output))
        return ncnn::ERROR_OUT_OF_MEMORY;

    const std::vector<SpecConstant> gemmSpec = {
        spec_i(tile.bm), spec_i(tile.bn), spec_i(tile.bk), spec_i(tile.tm), spec_i(tile.tn), spec_i(1),
        spec_i(1),       spec_i(1),       spec_i(1),       spec_i(1),       spec_i(1),       spec_i(0),
        spec_f(0.f),     spec_f(0.f),     spec_i(0),       spec_i(0),       spec_f(1.f),     spec_f(1.f)};
    const std::vector<SpecConstant> outSpec = {spec_i(m),
                                               spec_i(l_->activation_type),
                                               spec_f(actA_),
                                               spec_f(actB_),
                                               spec_i(residual ? 1 : 0),
                                               spec_f(residual ? residualA : 1.f),
                                               spec_f(residual ? residualB : 1.f)};
    const BufferRef &res = residual ? residual->buf : out.buf;
    for (int tile0 = 0; tile0 < tiles; tile0 += chunk) {
        const int n = std::min(chunk, tiles - tile0);
        struct {
            int32_t inch, inw, inh, tilesw, tile0, ntiles, padl, padt;
            float padValue;
        } inPush{inch_, in.w, in.h, tilesw, tile0, n, padl, padt, l_->pad_value};
        int rc = dispatch_volume(s, "winograd_input", {in.buf, v.buf}, &inPush, sizeof inPush, {spec_i(m)}, n,
                                 in.groups(), 1);
        if (rc != 0)
            return rc;
        const int inch4 = (inch_ + 3) / 4 * 4, outch4 = (l_->num_output + 3) / 4 * 4;
        const ConvPush push{inch_, n, 1,         l_->num_output,         n,         1, 0, 0, 0,
                            0.f,   0, inch4 * n, inch_ * l_->num_output, outch4 * n};
        rc = runGemm(s, tile, gemmSpec, push, n, uint32_t(t2), 2.0 * t2 * inch_ * l_->num_output,
                     {v.buf, weights_, bias_, prod.buf, prod.buf});
        if (rc != 0)
            return rc;
        struct {
            int32_t outch, outw, outh, tilesw, tile0, ntiles, outOffset;
        } outPush{l_->num_output, out.w, out.h, tilesw, tile0, n, int32_t(out.offset)};
        rc = dispatch_volume(s, "winograd_output", {prod.buf, bias_, res, out.buf}, &outPush, sizeof outPush,
                             outSpec, n, out.groups(), 1);
        if (rc != 0)
            return rc;
    }
    s.retire(v.buf);
    s.retire(prod.buf);
    return 0;
}

namespace {

int supports(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &, const ncnn::Shape &,
             std::string &why)
{
    const auto &c = static_cast<const ncnn::Convolution &>(layer);
    if (c.group != 1)
        why = "grouped convolution";
    else if (c.weight_data.elemsize != 4 || (c.bias_term && c.bias_data.elemsize != 4))
        why = "weights are not fp32";
    else
        return 0;
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

class ConvolutionLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int create(const ncnn::VulkanDevice &device)
    {
        return conv_.create(device, static_cast<const ncnn::Convolution &>(layer_));
    }

    bool outputShape(const std::vector<const Tensor *> &in, int &w, int &h, int &c) const override
    {
        int padl, padt;
        c = conv_.outputChannels();
        return in.size() == 1 && in[0]->c == conv_.inputChannels() &&
               conv_.outputShape(in[0]->w, in[0]->h, w, h, padl, padt);
    }

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return conv_.forward(s, *in[0], out, nullptr);
    }

    // A residual block's sum reading the convolution is added as the convolution writes: out = conv * a +
    // other * b, the weights by the side the convolution's result is on.
    bool folds(const std::vector<const ncnn::Layer *> &folded, const ncnn::Layer &next) const override
    {
        return folded.empty() && next.role() == ncnn::Role::WeightedSum;
    }
    int forwardFolded(Stream &s, const std::vector<const Tensor *> &in,
                      const std::vector<FoldedLayer> &folded, Tensor &out) const override
    {
        if (folded.empty())
            return forward(s, in, out);
        const FoldedLayer &sum = folded[0];
        if (folded.size() != 1 || !sum.other)
            return ncnn::ERROR_FAILED;
        float a = 1.f, b = 1.f;
        sum.layer->sum_weights(a, b);
        return conv_.forward(s, *in[0], out, sum.other, sum.position == 0 ? a : b, sum.position == 0 ? b : a);
    }
    // Dense blocks: each convolution writes its channels into the concatenation's buffer.
    bool writesIntoPart() const override { return true; }

private:
    Convolution conv_;
};

int create(const ncnn::Layer &layer, const ncnn::VulkanDevice &device, std::unique_ptr<GpuLayer> &out,
           std::string &err)
{
    auto l = std::make_unique<ConvolutionLayer>(layer);
    if (l->create(device) != 0) {
        err = "cannot upload the weights to the GPU";
        return ncnn::ERROR_OUT_OF_MEMORY;
    }
    out = std::move(l);
    return 0;
}

} // namespace

extern const GpuLayerEntry convolution_vulkan{"Convolution", supports, create};

} // namespace brivelle::vk
