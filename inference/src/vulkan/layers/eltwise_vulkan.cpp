// Eltwise on the GPU: a chain of binary kernels, each folding one more input into the output.
#include "../../layers/eltwise.h"
#include "binaryop_vulkan.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class EltwiseLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &e = op();
        const int code = e.op_type == ncnn::Eltwise::Operation_PROD  ? 2
                         : e.op_type == ncnn::Eltwise::Operation_MAX ? 4
                                                                     : kWeightedSum;
        int rc = binary(s, code, *in[0], *in[1], 0.f, out, coeff(0), coeff(1));
        for (size_t k = 2; k < in.size() && rc == 0; k++)
            rc = binary(s, code, out, *in[k], 0.f, out, 1.f, coeff(k));
        return rc;
    }

private:
    const ncnn::Eltwise &op() const { return static_cast<const ncnn::Eltwise &>(layer_); }
    // Only sums weigh their inputs; the coefficients are all there or all absent.
    float coeff(size_t k) const
    {
        const auto &e = op();
        return e.op_type == ncnn::Eltwise::Operation_SUM && k < e.coeffs.size() ? e.coeffs[k] : 1.f;
    }
};

} // namespace

extern const GpuLayerEntry eltwise_vulkan{"Eltwise", nullptr, create_plain<EltwiseLayer>};

} // namespace brivelle::vk
