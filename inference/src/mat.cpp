#include "fp16.h"

#include <ncnn/allocator.h>
#include <ncnn/mat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace ncnn {

namespace {

// Refuse blocks beyond this size outright: with overcommit a huge malloc may "succeed" and the process
// dies when it touches the pages.
constexpr size_t kMaxMatBytes = size_t(1) << 40;

size_t align_size(size_t sz, size_t n)
{
    return (sz + n - 1) & ~(n - 1);
}

bool mul_overflows(size_t a, size_t b, size_t &out)
{
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a)
        return true;
    out = a * b;
    return false;
}

} // namespace

Mat::Mat()
    : data(nullptr), refcount(nullptr), elemsize(0), elempack(0), allocator(nullptr), dims(0), w(0), h(0),
      d(0), c(0), cstep(0)
{}

Mat::Mat(int _w, size_t _elemsize, Allocator *_allocator) : Mat()
{
    create(_w, _elemsize, _allocator);
}
Mat::Mat(int _w, int _h, size_t _elemsize, Allocator *_allocator) : Mat()
{
    create(_w, _h, _elemsize, _allocator);
}
Mat::Mat(int _w, int _h, int _c, size_t _elemsize, Allocator *_allocator) : Mat()
{
    create(_w, _h, _c, _elemsize, _allocator);
}
Mat::Mat(int _w, int _h, int _d, int _c, size_t _elemsize, Allocator *_allocator) : Mat()
{
    create(_w, _h, _d, _c, _elemsize, _allocator);
}
Mat::Mat(int _w, int _h, int _c, size_t _elemsize, int _elempack, Allocator *_allocator) : Mat()
{
    create(_w, _h, _c, _elemsize, _elempack, _allocator);
}

Mat::Mat(int _w, void *_data, size_t _elemsize, Allocator *_allocator) : Mat()
{
    data = _data;
    elemsize = _elemsize;
    elempack = 1;
    allocator = _allocator;
    dims = 1;
    w = _w;
    h = d = c = 1;
    cstep = static_cast<size_t>(w);
}

Mat::Mat(int _w, int _h, void *_data, size_t _elemsize, Allocator *_allocator) : Mat()
{
    data = _data;
    elemsize = _elemsize;
    elempack = 1;
    allocator = _allocator;
    dims = 2;
    w = _w;
    h = _h;
    d = c = 1;
    cstep = static_cast<size_t>(w) * h;
}

Mat::Mat(int _w, int _h, int _c, void *_data, size_t _elemsize, Allocator *_allocator) : Mat()
{
    data = _data;
    elemsize = _elemsize;
    elempack = 1;
    allocator = _allocator;
    dims = 3;
    w = _w;
    h = _h;
    d = 1;
    c = _c;
    cstep = align_size(static_cast<size_t>(w) * h * elemsize, 16) / elemsize;
}

Mat::Mat(const Mat &m)
    : data(m.data), refcount(m.refcount), elemsize(m.elemsize), elempack(m.elempack), allocator(m.allocator),
      dims(m.dims), w(m.w), h(m.h), d(m.d), c(m.c), cstep(m.cstep)
{
    addref();
}

Mat &Mat::operator=(const Mat &m)
{
    if (this == &m)
        return *this;
    Mat copy(m); // addref before release: m may be a channel of *this
    release();
    data = copy.data;
    refcount = copy.refcount;
    copy.addref();
    elemsize = copy.elemsize;
    elempack = copy.elempack;
    allocator = copy.allocator;
    dims = copy.dims;
    w = copy.w;
    h = copy.h;
    d = copy.d;
    c = copy.c;
    cstep = copy.cstep;
    return *this;
}

Mat::~Mat()
{
    release();
}

void Mat::addref()
{
    if (refcount)
        __atomic_add_fetch(refcount, 1, __ATOMIC_ACQ_REL);
}

void Mat::release()
{
    if (refcount && __atomic_sub_fetch(refcount, 1, __ATOMIC_ACQ_REL) == 0) {
        if (allocator)
            allocator->fastFree(data);
        else
            fastFree(data);
    }
    data = nullptr;
    refcount = nullptr;
    elemsize = 0;
    elempack = 0;
    dims = 0;
    w = h = d = c = 0;
    cstep = 0;
}

bool Mat::empty() const
{
    return data == nullptr || total() == 0;
}

size_t Mat::total() const
{
    return cstep * static_cast<size_t>(c);
}

int Mat::elembits() const
{
    return elempack ? static_cast<int>(elemsize * 8 / static_cast<size_t>(elempack)) : 0;
}

void Mat::create(int _w, size_t _elemsize, Allocator *_allocator)
{
    create(_w, 1, 1, 1, _elemsize, 1, _allocator);
    dims = data ? 1 : 0;
    cstep = static_cast<size_t>(w);
}
void Mat::create(int _w, int _h, size_t _elemsize, Allocator *_allocator)
{
    create(_w, _h, 1, 1, _elemsize, 1, _allocator);
    dims = data ? 2 : 0;
    cstep = static_cast<size_t>(w) * h;
}
void Mat::create(int _w, int _h, int _c, size_t _elemsize, Allocator *_allocator)
{
    create(_w, _h, 1, _c, _elemsize, 1, _allocator);
    dims = data ? 3 : 0;
}
void Mat::create(int _w, int _h, int _d, int _c, size_t _elemsize, Allocator *_allocator)
{
    create(_w, _h, _d, _c, _elemsize, 1, _allocator);
    dims = data ? 4 : 0;
}
void Mat::create(int _w, size_t _elemsize, int _elempack, Allocator *_allocator)
{
    create(_w, 1, 1, 1, _elemsize, _elempack, _allocator);
    dims = data ? 1 : 0;
    cstep = static_cast<size_t>(w);
}
void Mat::create(int _w, int _h, size_t _elemsize, int _elempack, Allocator *_allocator)
{
    create(_w, _h, 1, 1, _elemsize, _elempack, _allocator);
    dims = data ? 2 : 0;
    cstep = static_cast<size_t>(w) * h;
}
void Mat::create(int _w, int _h, int _c, size_t _elemsize, int _elempack, Allocator *_allocator)
{
    create(_w, _h, 1, _c, _elemsize, _elempack, _allocator);
    dims = data ? 3 : 0;
}

// The common path: dims comes out as 4 here; the wrappers above correct it for 1, 2 and 3 dimensions.
void Mat::create(int _w, int _h, int _d, int _c, size_t _elemsize, int _elempack, Allocator *_allocator)
{
    release();
    if (_w <= 0 || _h <= 0 || _d <= 0 || _c <= 0 || _elemsize == 0 || _elempack <= 0)
        return;
    size_t plane = 0;
    if (mul_overflows(static_cast<size_t>(_w), static_cast<size_t>(_h), plane) ||
        mul_overflows(plane, static_cast<size_t>(_d), plane) || mul_overflows(plane, _elemsize, plane))
        return;
    const size_t plane_bytes = align_size(plane, 16);
    if (plane_bytes < plane)
        return;
    size_t bytes = 0;
    if (mul_overflows(plane_bytes, static_cast<size_t>(_c), bytes) || bytes > kMaxMatBytes)
        return;
    const size_t with_count = align_size(bytes, 4) + sizeof(int);
    void *block = _allocator ? _allocator->fastMalloc(with_count) : fastMalloc(with_count);
    if (!block)
        return;
    data = block;
    refcount = reinterpret_cast<int *>(static_cast<unsigned char *>(block) + align_size(bytes, 4));
    *refcount = 1;
    elemsize = _elemsize;
    elempack = _elempack;
    allocator = _allocator;
    dims = 4;
    w = _w;
    h = _h;
    d = _d;
    c = _c;
    cstep = plane_bytes / _elemsize;
    if (plane_bytes % _elemsize != 0)
        cstep = plane / _elemsize; // odd element sizes: channels stay unpadded
}

void Mat::create_like(const Mat &m, Allocator *_allocator)
{
    const int _dims = m.dims;
    create(m.w, m.h, m.d, m.c, m.elemsize, m.elempack, _allocator);
    if (data) {
        dims = _dims;
        if (dims < 3)
            cstep = static_cast<size_t>(w) * h;
    }
}

void Mat::fill(float v)
{
    if (!data)
        return;
    float *p = static_cast<float *>(data);
    const size_t n = total() * elempack * (elemsize / elempack) / sizeof(float);
    std::fill(p, p + n, v);
}

Mat Mat::clone(Allocator *_allocator) const
{
    Mat m;
    if (empty())
        return m;
    m.create_like(*this, _allocator);
    if (m.data) {
        if (m.cstep == cstep)
            std::memcpy(m.data, data, total() * elemsize);
        else {
            const size_t plane = static_cast<size_t>(w) * h * d * elemsize;
            for (int q = 0; q < c; q++)
                std::memcpy(static_cast<unsigned char *>(m.data) + m.cstep * elemsize * q,
                            static_cast<const unsigned char *>(data) + cstep * elemsize * q, plane);
        }
    }
    return m;
}

Mat Mat::reshape(int _w, Allocator *_allocator) const
{
    if (static_cast<size_t>(w) * h * d * c != static_cast<size_t>(_w))
        return Mat();
    if (dims >= 3 && cstep != static_cast<size_t>(w) * h * d) {
        // Channels have gaps: gather them into one row.
        Mat m;
        m.create(_w, elemsize, elempack, _allocator);
        if (m.empty())
            return m;
        const size_t plane = static_cast<size_t>(w) * h * d;
        for (int q = 0; q < c; q++)
            std::memcpy(static_cast<unsigned char *>(m.data) + plane * elemsize * q,
                        static_cast<const unsigned char *>(data) + cstep * elemsize * q, plane * elemsize);
        return m;
    }
    Mat m = *this;
    m.dims = 1;
    m.w = _w;
    m.h = m.d = m.c = 1;
    m.cstep = static_cast<size_t>(_w);
    return m;
}

Mat Mat::reshape(int _w, int _h, Allocator *_allocator) const
{
    if (static_cast<size_t>(w) * h * d * c != static_cast<size_t>(_w) * _h)
        return Mat();
    Mat flat = reshape(_w * _h, _allocator);
    if (flat.empty())
        return flat;
    flat.dims = 2;
    flat.w = _w;
    flat.h = _h;
    flat.cstep = static_cast<size_t>(_w) * _h;
    return flat;
}

Mat Mat::reshape(int _w, int _h, int _c, Allocator *_allocator) const
{
    if (static_cast<size_t>(w) * h * d * c != static_cast<size_t>(_w) * _h * _c)
        return Mat();
    const size_t want_cstep = align_size(static_cast<size_t>(_w) * _h * elemsize, 16) / elemsize;
    if (dims >= 3 && c == _c && cstep == want_cstep &&
        static_cast<size_t>(w) * h * d == static_cast<size_t>(_w) * _h) {
        Mat m = *this;
        m.dims = 3;
        m.w = _w;
        m.h = _h;
        m.d = 1;
        return m;
    }
    Mat m;
    m.create(_w, _h, _c, elemsize, elempack, _allocator);
    if (m.empty())
        return m;
    // Walk the source in element order, the destination channel by channel.
    const size_t plane_out = static_cast<size_t>(_w) * _h;
    const size_t plane_in = static_cast<size_t>(w) * h * d;
    const unsigned char *src = static_cast<const unsigned char *>(data);
    unsigned char *dst = static_cast<unsigned char *>(m.data);
    for (size_t i = 0; i < plane_out * _c; i++) {
        const size_t qi = i / plane_in, ri = i % plane_in;
        const size_t qo = i / plane_out, ro = i % plane_out;
        std::memcpy(dst + (qo * m.cstep + ro) * elemsize, src + (qi * cstep + ri) * elemsize, elemsize);
    }
    return m;
}

Mat Mat::channel(int q)
{
    Mat m;
    m.data = static_cast<unsigned char *>(data) + cstep * elemsize * static_cast<size_t>(q);
    m.elemsize = elemsize;
    m.elempack = elempack;
    m.allocator = allocator;
    m.w = w;
    m.h = h;
    m.d = 1;
    if (dims == 4) {
        // A channel of a 4-D Mat is a 3-D stack of its depth planes, without gaps.
        m.dims = 3;
        m.c = d;
        m.cstep = static_cast<size_t>(w) * h;
    } else {
        m.dims = 2;
        m.c = 1;
        m.cstep = static_cast<size_t>(w) * h;
    }
    return m;
}

const Mat Mat::channel(int q) const
{
    return const_cast<Mat *>(this)->channel(q);
}

float *Mat::row(int y)
{
    return reinterpret_cast<float *>(static_cast<unsigned char *>(data) +
                                     static_cast<size_t>(w) * y * elemsize);
}
const float *Mat::row(int y) const
{
    return reinterpret_cast<const float *>(static_cast<const unsigned char *>(data) +
                                           static_cast<size_t>(w) * y * elemsize);
}

void Mat::substract_mean_normalize(const float *mean_vals, const float *norm_vals)
{
    if (empty() || elemsize != 4 || elempack != 1)
        return;
    const size_t plane = static_cast<size_t>(w) * h * d;
    for (int q = 0; q < c; q++) {
        float *p = static_cast<float *>(data) + cstep * q;
        const float mean = mean_vals ? mean_vals[q] : 0.f;
        const float norm = norm_vals ? norm_vals[q] : 1.f;
        for (size_t i = 0; i < plane; i++)
            p[i] = (p[i] - mean) * norm;
    }
}

// ---- pixels ----

namespace {

int pixel_channels(int format)
{
    switch (format) {
    case Mat::PIXEL_RGB:
    case Mat::PIXEL_BGR:
        return 3;
    case Mat::PIXEL_GRAY:
        return 1;
    case Mat::PIXEL_RGBA:
    case Mat::PIXEL_BGRA:
        return 4;
    default:
        return 0;
    }
}

// Position of red, green, blue, alpha within one pixel of a format (-1: absent). Gray uses slot 0 for all.
struct Layout {
    int r, g, b, a;
    bool gray;
};

Layout layout_of(int format)
{
    switch (format) {
    case Mat::PIXEL_RGB:
        return {0, 1, 2, -1, false};
    case Mat::PIXEL_BGR:
        return {2, 1, 0, -1, false};
    case Mat::PIXEL_RGBA:
        return {0, 1, 2, 3, false};
    case Mat::PIXEL_BGRA:
        return {2, 1, 0, 3, false};
    default:
        return {0, 0, 0, -1, true};
    }
}

unsigned char saturate_round(float v)
{
    if (!(v > 0.f)) // also NaN
        return 0;
    if (v >= 255.f)
        return 255;
    return static_cast<unsigned char>(static_cast<int>(v + 0.5f));
}

// Converts one pixel of channel values (0..255 floats) between layouts.
void convert_pixel(const float *in, const Layout &from, float *out, const Layout &to)
{
    float r, g, b, a;
    if (from.gray) {
        r = g = b = in[0];
    } else {
        r = in[from.r];
        g = in[from.g];
        b = in[from.b];
    }
    a = from.a >= 0 ? in[from.a] : 255.f;
    if (to.gray) {
        if (from.gray)
            out[0] = in[0];
        else
            out[0] = static_cast<float>(
                (static_cast<int>(r) * 77 + static_cast<int>(g) * 150 + static_cast<int>(b) * 29 + 128) >> 8);
        return;
    }
    out[to.r] = r;
    out[to.g] = g;
    out[to.b] = b;
    if (to.a >= 0)
        out[to.a] = a;
}

} // namespace

Mat Mat::from_pixels(const unsigned char *pixels, int type, int w, int h, Allocator *allocator)
{
    const int from = type & PIXEL_FORMAT_MASK;
    return from_pixels(pixels, type, w, h, w * pixel_channels(from), allocator);
}

Mat Mat::from_pixels(const unsigned char *pixels, int type, int w, int h, int stride, Allocator *allocator)
{
    const int from = type & PIXEL_FORMAT_MASK;
    int to = (type & PIXEL_CONVERT_MASK) >> PIXEL_CONVERT_SHIFT;
    if (to == 0)
        to = from;
    const int cin = pixel_channels(from), cout = pixel_channels(to);
    Mat m;
    if (!pixels || cin == 0 || cout == 0 || w <= 0 || h <= 0 || stride < w * cin)
        return m;
    m.create(w, h, cout, 4u, allocator);
    if (m.empty())
        return m;
    const Layout lin = layout_of(from), lout = layout_of(to);
    float in[4], out[4];
    for (int y = 0; y < h; y++) {
        const unsigned char *row = pixels + static_cast<size_t>(stride) * y;
        for (int x = 0; x < w; x++) {
            for (int k = 0; k < cin; k++)
                in[k] = row[x * cin + k];
            convert_pixel(in, lin, out, lout);
            for (int k = 0; k < cout; k++)
                static_cast<float *>(m.data)[m.cstep * k + static_cast<size_t>(y) * w + x] = out[k];
        }
    }
    return m;
}

void Mat::to_pixels(unsigned char *pixels, int type) const
{
    int to = (type & PIXEL_CONVERT_MASK) >> PIXEL_CONVERT_SHIFT;
    if (to == 0)
        to = type & PIXEL_FORMAT_MASK;
    to_pixels(pixels, type, w * pixel_channels(to));
}

void Mat::to_pixels(unsigned char *pixels, int type, int stride) const
{
    const int from = type & PIXEL_FORMAT_MASK;
    int to = (type & PIXEL_CONVERT_MASK) >> PIXEL_CONVERT_SHIFT;
    if (to == 0)
        to = from;
    const int cin = pixel_channels(from), cout = pixel_channels(to);
    if (!pixels || empty() || cin == 0 || cout == 0 || c < cin || elemsize != 4 || elempack != 1 ||
        stride < w * cout)
        return;
    const Layout lin = layout_of(from), lout = layout_of(to);
    float in[4], out[4];
    const size_t plane = static_cast<size_t>(w) * h;
    for (int y = 0; y < h; y++) {
        unsigned char *row = pixels + static_cast<size_t>(stride) * y;
        for (int x = 0; x < w; x++) {
            for (int k = 0; k < cin; k++) {
                // Saturate first so that the gray weighting sees 8-bit values.
                in[k] = saturate_round(
                    static_cast<const float *>(data)[cstep * k + static_cast<size_t>(y) * w + x]);
            }
            convert_pixel(in, lin, out, lout);
            for (int k = 0; k < cout; k++)
                row[x * cout + k] = saturate_round(out[k]);
        }
    }
    (void)plane;
}

} // namespace ncnn
