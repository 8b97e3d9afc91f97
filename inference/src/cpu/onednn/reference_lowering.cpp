#include "backend.h"
#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layer.h"

#include <ncnn/allocator.h>

namespace brivelle::onednn {

namespace {

// The run's pool behind ncnn's allocator interface: the layer's blobs count in the caller's memory too.
class PoolAllocator : public ncnn::Allocator {
public:
    explicit PoolAllocator(BufferPool &pool) : pool_(pool) {}
    void *fastMalloc(size_t size) override { return pool_.acquire(size); }
    void fastFree(void *ptr) override { pool_.release(static_cast<float *>(ptr)); }

private:
    BufferPool &pool_;
};

int run(const ncnn::Layer &layer, const std::vector<Shape> &inShapes, Shape outShape, Layout layout,
        const std::vector<float *> &ptr, RunContext &context)
{
    PoolAllocator allocator(context.pool);
    ncnn::Option opt;
    opt.num_threads = context.threads;
    opt.lightmode = true;
    opt.blob_allocator = &allocator;
    opt.workspace_allocator = &allocator;
    auto outOfMemory = [&] {
        context.why = layer.name + ": out of memory on the reference path";
        return ncnn::ERROR_OUT_OF_MEMORY;
    };
    std::vector<ncnn::Mat> bottoms;
    for (size_t i = 0; i < inShapes.size(); ++i) {
        const Shape s = inShapes[i];
        ncnn::Mat m(s.w, s.h, s.c, 4u, &allocator);
        if (m.empty())
            return outOfMemory();
        toPlanar(ptr[i], layout, static_cast<float *>(m.data), s, m.cstep);
        bottoms.push_back(m);
    }
    std::vector<ncnn::Mat> tops(1);
    const int ret = ncnn::forward_on_host(layer, bottoms, tops, opt);
    if (ret == ncnn::ERROR_OUT_OF_MEMORY)
        return outOfMemory();
    const ncnn::Mat &top = tops[0];
    if (ret != 0 || top.dims != 3 || top.c != outShape.c || top.h != outShape.h || top.w != outShape.w ||
        top.elemsize != 4 || top.elempack != 1) {
        context.why = layer.name + ": the reference layer failed with code " + std::to_string(ret);
        return ncnn::ERROR_FAILED;
    }
    fromPlanar(static_cast<const float *>(top.data), top.cstep, ptr.back(), layout, outShape);
    return 0;
}

} // namespace

int lowerOnReference(LoweringContext &ctx, const Node &node, std::string &)
{
    const ncnn::Layer *layer = node.layer;
    std::vector<Binding> bindings;
    std::vector<Shape> inShapes;
    for (size_t k = 0; k < node.in.size(); ++k) {
        bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
        inShapes.push_back(ctx.shape(node.in[k]));
    }
    bindings.push_back(ctx.bind(DNNL_ARG_DST, node.out));
    const Shape outShape = ctx.shape(node.out);
    const Layout layout = ctx.layout();
    ctx.customStep(std::move(bindings),
                   [layer, inShapes, outShape, layout](const std::vector<float *> &ptr, RunContext &context) {
                       return run(*layer, inShapes, outShape, layout, ptr, context);
                   });
    return 0;
}

} // namespace brivelle::onednn
