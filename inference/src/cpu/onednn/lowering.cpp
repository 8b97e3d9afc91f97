#include "lowering.h"

#include <cstdlib>
#include <cstring>

// Generated from the layers/*_onednn.cpp files: kOnednnOperators.
#include "onednn_operators.inc"

namespace brivelle::onednn {

using dnnl::memory;

namespace {

const OnednnOperator *operatorOf(const ncnn::Layer &layer)
{
    for (const OnednnOperator *entry : kOnednnOperators)
        if (layer.type == entry->type)
            return entry;
    return nullptr;
}

Shape planShape(const ncnn::Shape &s)
{
    return Shape{s.c, s.h, s.w};
}

} // namespace

bool supportsLayer(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &in, const ncnn::Shape &out,
                   std::string &why)
{
    const OnednnOperator *entry = operatorOf(layer);
    if (!entry) {
        why = "no oneDNN form of this type";
        return false;
    }
    const ncnn::Role role = layer.role();
    if (role != ncnn::Role::Input && role != ncnn::Role::Alias && !entry->lower) {
        why = "no oneDNN lowering";
        return false;
    }
    if (in.empty() || role == ncnn::Role::Input || role == ncnn::Role::Alias)
        return !entry->supports || entry->supports(layer, {}, {}, why) == 0;
    std::vector<Shape> shapes;
    for (const ncnn::Shape &b : in) {
        if (b.dims != 3) {
            why = "only 3-D blobs";
            return false;
        }
        shapes.push_back(planShape(b));
    }
    if (layer.tops.size() != 1 || out.dims != 3) {
        why = "one 3-D output expected";
        return false;
    }
    return !entry->supports || entry->supports(layer, shapes, planShape(out), why) == 0;
}

const OnednnOperator *onednnFormOf(const ncnn::Layer &layer)
{
    std::string why;
    return supportsLayer(layer, {}, {}, why) ? operatorOf(layer) : nullptr;
}

const float *floatsOf(const ncnn::Mat &m, size_t count)
{
    // Parameter arrays are one-dimensional; total() would count the channel padding of a 3-D Mat.
    if (m.empty() || m.elemsize != 4 || m.elempack > 1 || m.dims > 2 ||
        static_cast<size_t>(m.w) * (m.dims == 2 ? m.h : 1) != count)
        return nullptr;
    return static_cast<const float *>(m.data);
}

dnnl::engine &cpuEngine()
{
    static dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

int channelBlock(Layout layout, int channels)
{
    switch (layout) {
    case Layout::Nhwc:
        return channels > 0 ? channels : 1;
    case Layout::Blocked8:
        return 8;
    case Layout::Blocked16:
        return 16;
    default:
        return 1;
    }
}

int paddedChannels(Layout layout, int channels)
{
    const int block = channelBlock(layout, channels);
    return (channels + block - 1) / block * block;
}

memory::desc layoutDesc(Shape s, Layout layout, memory::data_type type)
{
    const memory::dims dims{1, s.c, s.h, s.w};
    switch (layout) {
    case Layout::Nhwc:
        return memory::desc(dims, type, memory::format_tag::nhwc);
    case Layout::Blocked16:
        return memory::desc(dims, type, memory::format_tag::nChw16c);
    case Layout::Blocked8:
        return memory::desc(dims, type, memory::format_tag::nChw8c);
    default:
        return memory::desc(dims, type, memory::format_tag::nchw);
    }
}

bool bf16Always(const ncnn::Layer &, const std::vector<Shape> &, const PlanOptions &)
{
    return true;
}

memory::desc withType(const memory::desc &md, memory::data_type type)
{
    memory::desc out = md;
    out.data.data_type = static_cast<dnnl_data_type_t>(type);
    return out;
}

memory::data_type dataTypeOf(ncnn::Storage storage)
{
    switch (storage) {
    case ncnn::Storage::Bf16:
        return memory::data_type::bf16;
    case ncnn::Storage::Fp16:
        return memory::data_type::f16;
    default:
        return memory::data_type::f32;
    }
}

const char *layoutName(Layout layout)
{
    switch (layout) {
    case Layout::Auto:
        return "auto";
    case Layout::Plain:
        return "nchw";
    case Layout::Nhwc:
        return "nhwc";
    case Layout::Blocked8:
        return "nChw8c";
    case Layout::Blocked16:
        return "nChw16c";
    }
    return "?";
}

namespace {

Layout forcedLayout()
{
    const char *value = std::getenv("BRIVELLE_ONEDNN_LAYOUT");
    if (!value)
        return Layout::Auto;
    for (Layout l : {Layout::Plain, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16})
        if (std::strcmp(value, layoutName(l)) == 0 ||
            (l == Layout::Plain && std::strcmp(value, "plain") == 0))
            return l;
    return Layout::Auto;
}

// The implementation of a typical body convolution of the networks we run with blobs in `layout`.
std::string probedKernel(Layout layout)
{
    try {
        const memory::desc src = layoutDesc(Shape{64, 32, 32}, layout);
        const memory::desc weights({32, 64, 3, 3}, memory::data_type::f32, memory::format_tag::any);
        const memory::desc dst = layoutDesc(Shape{32, 32, 32}, layout);
        const dnnl::convolution_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                   dnnl::algorithm::convolution_direct, src, weights, dst,
                                                   {1, 1}, {1, 1}, {1, 1});
        return dnnl::convolution_forward::primitive_desc(desc, cpuEngine()).impl_info_str();
    } catch (const dnnl::error &) {
        return {};
    }
}

// What oneDNN picks for a typical body convolution of the networks we run when the layout is its choice.
Layout probedLayout()
{
    try {
        const memory::desc src({1, 64, 32, 32}, memory::data_type::f32, memory::format_tag::any);
        const memory::desc weights({32, 64, 3, 3}, memory::data_type::f32, memory::format_tag::any);
        const memory::desc dst({1, 32, 32, 32}, memory::data_type::f32, memory::format_tag::any);
        const dnnl::convolution_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                   dnnl::algorithm::convolution_direct, src, weights, dst,
                                                   {1, 1}, {1, 1}, {1, 1});
        const dnnl::convolution_forward::primitive_desc pd(desc, cpuEngine());
        const auto &blocking = pd.src_desc().data.format_desc.blocking;
        if (blocking.inner_nblks == 1 && blocking.inner_idxs[0] == 1) {
            if (blocking.inner_blks[0] == 16)
                return Layout::Blocked16;
            if (blocking.inner_blks[0] == 8)
                return Layout::Blocked8;
        }
        if (blocking.inner_nblks == 0 && blocking.strides[1] == 1)
            return Layout::Nhwc;
    } catch (const dnnl::error &) {
    }
    return Layout::Plain;
}

} // namespace

Layout blockedLayout()
{
    static const Layout layout = [] {
        for (Layout l : {Layout::Blocked16, Layout::Blocked8}) {
            const std::string kernel = probedKernel(l);
            if (!kernel.empty() && kernel.find("gemm") == std::string::npos &&
                kernel.compare(0, 3, "ref") != 0)
                return l;
        }
        return Layout::Plain;
    }();
    return layout;
}

bool layoutForced()
{
    static const bool forced = forcedLayout() != Layout::Auto;
    return forced;
}

Layout preferredLayout()
{
    static const Layout layout = [] {
        const Layout forced = forcedLayout();
        return forced != Layout::Auto ? forced : probedLayout();
    }();
    return layout;
}

} // namespace brivelle::onednn
