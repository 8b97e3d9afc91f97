#include "convolution.h"

#include "../layer_util.h"

#include <algorithm>
#include <cstring>

namespace ncnn {

namespace {

constexpr int kMaxGeometry = 1 << 15;

bool in_range(int v, int lo, int hi)
{
    return v >= lo && v <= hi;
}

// Adds w * in[x * stride + off] to out[x] over the outputs whose input position is inside 0..win-1.
inline void accumulate_row(const float *in, int outw, int win, int stride, int off, const float *wk, int nk,
                           float *const *outs)
{
    int x0 = 0;
    if (off < 0)
        x0 = (-off + stride - 1) / stride;
    int x1 = outw;
    if (win - off <= 0)
        x1 = 0;
    else
        x1 = std::min(outw, (win - off + stride - 1) / stride);
    if (stride == 1) {
        const float *src = in + off;
        if (nk == 4) {
            float *o0 = outs[0], *o1 = outs[1], *o2 = outs[2], *o3 = outs[3];
            const float w0 = wk[0], w1 = wk[1], w2 = wk[2], w3 = wk[3];
            for (int x = x0; x < x1; x++) {
                const float v = src[x];
                o0[x] += w0 * v;
                o1[x] += w1 * v;
                o2[x] += w2 * v;
                o3[x] += w3 * v;
            }
        } else {
            for (int k = 0; k < nk; k++) {
                float *o = outs[k];
                const float wv = wk[k];
                for (int x = x0; x < x1; x++)
                    o[x] += wv * src[x];
            }
        }
    } else {
        for (int k = 0; k < nk; k++) {
            float *o = outs[k];
            const float wv = wk[k];
            for (int x = x0; x < x1; x++)
                o[x] += wv * in[x * stride + off];
        }
    }
}

struct ConvTask {
    const Mat *src;
    Mat *top;
    const Convolution *layer;
    int pl, pt, inpg, outpg, tile_rows;
};

// One kernel row of three taps (stride 1) of one input channel added to four output channels' rows y0..y1-1,
// all three taps in registers: each output element is loaded and stored once per kernel row instead of
// once per tap. Not cloned under ThreadSanitizer, for the reason below.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=haswell", "default")))
#endif
void add_three_taps(const ConvTask &t, const float *in, const float (&w3)[4][3], int ky, float *const outs[4], int y0,
                    int y1)
{
    const Convolution &c = *t.layer;
    const int w = t.src->w, h = t.src->h, outw = t.top->w;
    const int d = c.dilation_w, o0 = -t.pl;
    // Outputs whose three taps all fall inside the row.
    const int xa = std::min(outw, std::max(0, -o0)), xb = std::max(xa, std::min(outw, w - (o0 + 2 * d)));
    for (int y = y0; y < y1; y++) {
        const int iy = y * c.stride_h + ky * c.dilation_h - t.pt;
        if (iy < 0 || iy >= h)
            continue;
        const float *row = in + static_cast<size_t>(iy) * w;
        float *__restrict r0 = outs[0] + static_cast<size_t>(y) * outw;
        float *__restrict r1 = outs[1] + static_cast<size_t>(y) * outw;
        float *__restrict r2 = outs[2] + static_cast<size_t>(y) * outw;
        float *__restrict r3 = outs[3] + static_cast<size_t>(y) * outw;
        const float *__restrict s0 = row + o0;
        const float *__restrict s1 = row + o0 + d;
        const float *__restrict s2 = row + o0 + 2 * d;
#pragma omp simd
        for (int x = xa; x < xb; x++) {
            const float a = s0[x], b = s1[x], e = s2[x];
            r0[x] += w3[0][0] * a + w3[0][1] * b + w3[0][2] * e;
            r1[x] += w3[1][0] * a + w3[1][1] * b + w3[1][2] * e;
            r2[x] += w3[2][0] * a + w3[2][1] * b + w3[2][2] * e;
            r3[x] += w3[3][0] * a + w3[3][1] * b + w3[3][2] * e;
        }
        // Border columns, tap by tap with bounds.
        for (int x = 0; x < outw; x++) {
            if (x == xa)
                x = xb;
            if (x >= outw)
                break;
            for (int j = 0; j < 3; j++) {
                const int ix = x + o0 + j * d;
                if (ix < 0 || ix >= w)
                    continue;
                const float v = row[ix];
                r0[x] += w3[0][j] * v;
                r1[x] += w3[1][j] * v;
                r2[x] += w3[2][j] * v;
                r3[x] += w3[3][j] * v;
            }
        }
    }
}

// Output channels p0..p0+nk-1, rows y0..y1-1: four channels share each pass over an input row, and the
// tile of output rows stays in cache while every input channel and tap is added. Not cloned under
// ThreadSanitizer: the clone's resolver runs while the program is relocated, before the sanitizer's
// runtime is up, and its instrumentation crashes there.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=haswell", "default")))
#endif
void conv_tile(const ConvTask &t, int g, int p0, int nk, int y0, int y1)
{
    const Convolution &c = *t.layer;
    const Mat &src = *t.src;
    Mat &top = *t.top;
    const int w = src.w, h = src.h, outw = top.w;
    const int kk = c.kernel_w * c.kernel_h;
    const float *weights = c.weight_data;
    const float *bias = c.bias_term ? static_cast<const float *>(c.bias_data) : nullptr;
    float *outs[4];
    for (int k = 0; k < nk; k++) {
        outs[k] = static_cast<float *>(top.channel(p0 + k).data);
        std::fill(outs[k] + static_cast<size_t>(y0) * outw, outs[k] + static_cast<size_t>(y1) * outw,
                  bias ? bias[p0 + k] : 0.f);
    }
    float *row_outs[4];
    float wk[4];
    // The common case: 3 taps per row, stride 1, four channels.
    const bool three_taps = c.kernel_w == 3 && c.stride_w == 1 && nk == 4;
    for (int q = 0; q < t.inpg; q++) {
        const float *in = static_cast<const float *>(src.channel(g * t.inpg + q).data);
        for (int ky = 0; ky < c.kernel_h; ky++) {
            if (three_taps) {
                float w3[4][3];
                for (int k = 0; k < 4; k++)
                    for (int j = 0; j < 3; j++)
                        w3[k][j] = weights[(static_cast<size_t>(p0 + k) * t.inpg + q) * kk + ky * 3 + j];
                add_three_taps(t, in, w3, ky, outs, y0, y1);
                continue;
            }
            for (int kx = 0; kx < c.kernel_w; kx++) {
                for (int k = 0; k < nk; k++)
                    wk[k] = weights[(static_cast<size_t>(p0 + k) * t.inpg + q) * kk + ky * c.kernel_w + kx];
                const int off = kx * c.dilation_w - t.pl;
                for (int y = y0; y < y1; y++) {
                    const int iy = y * c.stride_h + ky * c.dilation_h - t.pt;
                    if (iy < 0 || iy >= h)
                        continue;
                    for (int k = 0; k < nk; k++)
                        row_outs[k] = outs[k] + static_cast<size_t>(y) * outw;
                    accumulate_row(in + static_cast<size_t>(iy) * w, outw, w, c.stride_w, off, wk, nk,
                                   row_outs);
                }
            }
        }
    }
    if (c.activation_type != 0) {
        for (int k = 0; k < nk; k++)
            for (size_t i = static_cast<size_t>(y0) * outw; i < static_cast<size_t>(y1) * outw; i++)
                outs[k][i] = activate(outs[k][i], c.activation_type, c.activation_params);
    }
}

} // namespace

Convolution::Convolution()
{
    one_blob_only = true;
}

int Convolution::load_param(const ParamDict &pd, std::string &err)
{
    num_output = pd.get(0, 0);
    kernel_w = pd.get(1, 0);
    kernel_h = pd.get(11, kernel_w);
    dilation_w = pd.get(2, 1);
    dilation_h = pd.get(12, dilation_w);
    stride_w = pd.get(3, 1);
    stride_h = pd.get(13, stride_w);
    pad_left = pd.get(4, 0);
    pad_right = pd.get(15, pad_left);
    pad_top = pd.get(14, pad_left);
    pad_bottom = pd.get(16, pad_top);
    pad_value = pd.get(18, 0.f);
    bias_term = pd.get(5, 0);
    weight_data_size = pd.get(6, 0);
    group = read_group ? pd.get(7, 1) : 1;
    activation_type = pd.get(9, 0);
    activation_params = pd.get_floats(10);

    auto bad = [&](const char *key, int v, const char *expected) {
        err = std::string("key ") + key + ": expected " + expected + ", got " + std::to_string(v);
        return ERROR_BAD_MODEL;
    };
    if (!in_range(num_output, 1, 1 << 20))
        return bad("0 (num_output)", num_output, "1..1048576");
    if (!in_range(kernel_w, 1, kMaxGeometry) || !in_range(kernel_h, 1, kMaxGeometry))
        return bad("1/11 (kernel)",
                   std::min(kernel_w, kernel_h) < 1 ? std::min(kernel_w, kernel_h)
                                                    : std::max(kernel_w, kernel_h),
                   "1..32768");
    if (!in_range(dilation_w, 1, kMaxGeometry) || !in_range(dilation_h, 1, kMaxGeometry))
        return bad("2/12 (dilation)", std::min(dilation_w, dilation_h), "1..32768");
    if (!in_range(stride_w, 1, kMaxGeometry) || !in_range(stride_h, 1, kMaxGeometry))
        return bad("3/13 (stride)", std::min(stride_w, stride_h), "1..32768");
    const bool same = pad_left == kSameUpper || pad_left == kSameLower;
    if (!same) {
        for (int p : {pad_left, pad_right, pad_top, pad_bottom})
            if (!in_range(p, 0, kMaxGeometry))
                return bad("4/14/15/16 (pad)", p, "0..32768, -233 or -234");
    }
    if (pd.get(8, 0) != 0)
        return bad("8 (int8_scale_term)", pd.get(8, 0), "0 (int8 inference is not supported)");
    if (pd.get(19, 0) != 0)
        return bad("19 (dynamic_weight)", pd.get(19, 0), "0");
    if (group < 1 || num_output % group != 0)
        return bad("7 (group)", group, "a divisor of num_output");
    const long long per_input = static_cast<long long>(num_output) * kernel_w * kernel_h;
    if (weight_data_size <= 0 || weight_data_size % per_input != 0)
        return bad(
            "6 (weight_data_size)", weight_data_size,
            ("a positive multiple of " + std::to_string(per_input) + " (num_output x kernel_w x kernel_h)")
                .c_str());
    if (check_activation(activation_type, activation_params, err) != 0)
        return ERROR_BAD_MODEL;
    return 0;
}

int Convolution::input_channels() const
{
    // Weights hold num_output x (channels / group) x kernel taps.
    return static_cast<int>(weight_data_size / (static_cast<long long>(num_output) * kernel_w * kernel_h)) *
           group;
}

int Convolution::load_model(const ModelBin &mb, std::string &err)
{
    weight_data = mb.load(weight_data_size, 0);
    if (weight_data.empty()) {
        err = mb.error();
        return ERROR_BAD_MODEL;
    }
    if (bias_term) {
        bias_data = mb.load(num_output, 1);
        if (bias_data.empty()) {
            err = mb.error();
            return ERROR_BAD_MODEL;
        }
    }
    return 0;
}

void Convolution::resolve_padding(int w, int h, int &pl, int &pr, int &pt, int &pb) const
{
    if (pad_left == kSameUpper || pad_left == kSameLower) {
        const bool upper = pad_left == kSameUpper;
        same_padding(w, dilation_w * (kernel_w - 1) + 1, stride_w, upper, pl, pr);
        same_padding(h, dilation_h * (kernel_h - 1) + 1, stride_h, upper, pt, pb);
        return;
    }
    pl = pad_left;
    pr = pad_right;
    pt = pad_top;
    pb = pad_bottom;
}

bool Convolution::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    if (in.size() != 1 || in[0].dims != 3 || in[0].c != input_channels())
        return false;
    int pl, pr, pt, pb;
    resolve_padding(in[0].w, in[0].h, pl, pr, pt, pb);
    const long long kext_w = static_cast<long long>(dilation_w) * (kernel_w - 1) + 1;
    const long long kext_h = static_cast<long long>(dilation_h) * (kernel_h - 1) + 1;
    const long long ww = static_cast<long long>(in[0].w) + pl + pr,
                    hh = static_cast<long long>(in[0].h) + pt + pb;
    if (ww < kext_w || hh < kext_h)
        return false;
    out.assign(1, Shape{3, static_cast<int>((ww - kext_w) / stride_w + 1),
                        static_cast<int>((hh - kext_h) / stride_h + 1), num_output});
    return true;
}

double Convolution::macs(const std::vector<Shape> &in, const std::vector<Shape> &out) const
{
    return static_cast<double>(out[0].w) * out[0].h * out[0].c * (in[0].c / group) * kernel_w * kernel_h;
}

int Convolution::forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const
{
    std::vector<Shape> out_shapes;
    if (bottom_blob.elemsize != 4 || bottom_blob.elempack != 1 ||
        !infer_shape({shape_of(bottom_blob)}, out_shapes))
        return ERROR_BAD_INPUT;
    int pl, pr, pt, pb;
    resolve_padding(bottom_blob.w, bottom_blob.h, pl, pr, pt, pb);

    // A non-zero border value is rare: materialise it instead of slowing the common loop.
    Mat src = bottom_blob;
    if (pad_value != 0.f && (pl || pr || pt || pb)) {
        src.create(bottom_blob.w + pl + pr, bottom_blob.h + pt + pb, bottom_blob.c, 4u,
                   opt.workspace_allocator);
        if (src.empty())
            return ERROR_OUT_OF_MEMORY;
        for (int q = 0; q < bottom_blob.c; q++) {
            float *dst = src.channel(q);
            std::fill(dst, dst + static_cast<size_t>(src.w) * src.h, pad_value);
            for (int y = 0; y < bottom_blob.h; y++)
                std::memcpy(dst + static_cast<size_t>(y + pt) * src.w + pl, bottom_blob.channel(q).row(y),
                            sizeof(float) * bottom_blob.w);
        }
        pl = pr = pt = pb = 0;
    }

    const int outw = out_shapes[0].w, outh = out_shapes[0].h;
    top_blob.create(outw, outh, num_output, 4u, opt.blob_allocator);
    if (top_blob.empty())
        return ERROR_OUT_OF_MEMORY;

    ConvTask t;
    t.src = &src;
    t.top = &top_blob;
    t.layer = this;
    t.pl = pl;
    t.pt = pt;
    t.inpg = bottom_blob.c / group;
    t.outpg = num_output / group;
    const int blocks_per_group = (t.outpg + 3) / 4;
    const int blocks = blocks_per_group * group;
    // Rows per work item: four output rows of this many floats stay in the first-level cache.
    t.tile_rows = std::max(1, std::min(outh, 1024 / std::max(1, outw)));
    const int tiles = (outh + t.tile_rows - 1) / t.tile_rows;
    const int items = blocks * tiles;

#pragma omp parallel for schedule(dynamic) num_threads(opt.num_threads)
    for (int item = 0; item < items; item++) {
        flush_denormals();
        const int blk = item / tiles, tile = item % tiles;
        const int g = blk / blocks_per_group;
        const int p0 = g * t.outpg + (blk % blocks_per_group) * 4;
        const int nk = std::min(4, g * t.outpg + t.outpg - p0);
        const int y0 = tile * t.tile_rows, y1 = std::min(outh, y0 + t.tile_rows);
        conv_tile(t, g, p0, nk, y0, y1);
    }
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(Convolution)

} // namespace ncnn
