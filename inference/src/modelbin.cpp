#include "modelbin.h"

#include "fp16.h"
#include "layer.h"

#include <cstdint>
#include <cstring>

namespace ncnn {

namespace {

constexpr uint32_t kTagFp16 = 0x01306B47;
constexpr uint32_t kTagInt8 = 0x000D4B38;
constexpr uint32_t kTagFp32 = 0x0002C056;

size_t align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

std::string shape_text(const Mat &m)
{
    std::string text = std::to_string(m.w);
    if (m.dims >= 2)
        text += " x " + std::to_string(m.h);
    if (m.dims >= 3)
        text += " x " + std::to_string(m.c);
    return text;
}

} // namespace

ModelBin::ModelBin(const unsigned char *_data, size_t _size) : data(_data), size(_size) {}

void ModelBin::begin_layer(int index, const std::string &name) const
{
    layer = index;
    arrays_read = 0;
    context = name;
    if (recorded && static_cast<size_t>(index) >= recorded->size())
        recorded->resize(static_cast<size_t>(index) + 1);
}

bool ModelBin::end_layer() const
{
    if (!partner)
        return true;
    const size_t expected = static_cast<size_t>(layer) < partner->size() ? (*partner)[layer].size() : 0;
    if (arrays_read == expected)
        return true;
    err = context + ": " + std::to_string(arrays_read) + " weight arrays in the first network, " +
          std::to_string(expected) + " in the second";
    return false;
}

Mat ModelBin::deliver(Mat m) const
{
    const size_t index = arrays_read++;
    if (recorded && layer >= 0)
        (*recorded)[layer].push_back(m);
    if (!partner)
        return m;
    const std::vector<Mat> *theirs =
        layer >= 0 && static_cast<size_t>(layer) < partner->size() ? &(*partner)[layer] : nullptr;
    if (!theirs || index >= theirs->size()) {
        err = context + ": weight array " + std::to_string(index + 1) + " (" + shape_text(m) +
              ") is missing in the second network";
        return Mat();
    }
    const Mat &other = (*theirs)[index];
    if (!(shape_of(m) == shape_of(other))) {
        err = context + ": weight array " + std::to_string(index + 1) + " is " + shape_text(m) +
              " in the first network, " + shape_text(other) + " in the second";
        return Mat();
    }
    // The loaded array is the layer's own copy: mixed in place.
    const float keep = 1.f - partner_weight;
    const size_t plane = static_cast<size_t>(m.w) * (m.dims >= 2 ? m.h : 1);
    for (int q = 0; q < (m.dims >= 3 ? m.c : 1); q++) {
        float *mine = static_cast<float *>(m.data) + q * m.cstep;
        const float *their = static_cast<const float *>(other.data) + q * other.cstep;
        for (size_t i = 0; i < plane; i++)
            mine[i] = keep * mine[i] + partner_weight * their[i];
    }
    return m;
}

bool ModelBin::fail(const std::string &what) const
{
    err = (context.empty() ? std::string() : context + ": ") + what + " at byte " + std::to_string(pos);
    return false;
}

bool ModelBin::create_weights(Mat &m, int w) const
{
    m.create(w);
    if (m.empty())
        return fail("out of memory for " + std::to_string(w) + " weights");
    return true;
}

Mat ModelBin::read_fp32(int w, size_t available) const
{
    const size_t n = static_cast<size_t>(w);
    if (available / 4 < n) {
        fail("fp32 array: expected " + std::to_string(n * 4) + " bytes, " + std::to_string(available) +
             " left");
        return Mat();
    }
    Mat m;
    if (!create_weights(m, w))
        return Mat();
    std::memcpy(m.data, data + pos, n * 4);
    pos += n * 4;
    return m;
}

Mat ModelBin::load(int w, int h, int type) const
{
    if (w < 0 || h < 0 || (h != 0 && static_cast<size_t>(w) * h > 0x7fffffffu)) {
        fail("weight array of " + std::to_string(w) + " x " + std::to_string(h) + " elements");
        return Mat();
    }
    Mat m = read(w * h, type);
    return m.empty() ? m : deliver(m.reshape(w, h));
}

Mat ModelBin::load(int w, int h, int c, int type) const
{
    if (w < 0 || h < 0 || c < 0 || static_cast<size_t>(w) * h * c > 0x7fffffffu) {
        fail("weight array of " + std::to_string(w) + " x " + std::to_string(h) + " x " + std::to_string(c) +
             " elements");
        return Mat();
    }
    Mat m = read(w * h * c, type);
    return m.empty() ? m : deliver(m.reshape(w, h, c));
}

Mat ModelBin::load(int w, int type) const
{
    Mat m = read(w, type);
    return m.empty() ? m : deliver(m);
}

Mat ModelBin::read(int w, int type) const
{
    Mat m;
    if (w <= 0) {
        fail("weight array of " + std::to_string(w) + " elements");
        return m;
    }
    const size_t n = static_cast<size_t>(w);
    const size_t left = size - pos;
    if (type == 1)
        return read_fp32(w, left);
    if (left < 4) {
        fail("storage tag: expected 4 bytes, " + std::to_string(left) + " left");
        return m;
    }
    const unsigned char *f = data + pos;
    const uint32_t tag = static_cast<uint32_t>(f[0]) | static_cast<uint32_t>(f[1]) << 8 |
                         static_cast<uint32_t>(f[2]) << 16 | static_cast<uint32_t>(f[3]) << 24;
    const size_t tag_at = pos;
    pos += 4;
    const size_t body = size - pos;
    if (tag == kTagFp16) {
        const size_t bytes = align4(n * 2);
        if (body < bytes) {
            fail("fp16 array: expected " + std::to_string(bytes) + " bytes, " + std::to_string(body) +
                 " left");
            return Mat();
        }
        if (!create_weights(m, w))
            return Mat();
        float *out = m;
        for (size_t i = 0; i < n; i++) {
            const uint16_t v = static_cast<uint16_t>(data[pos + 2 * i] | data[pos + 2 * i + 1] << 8);
            out[i] = float16_to_float32(v);
        }
        pos += bytes;
        return m;
    }
    if (tag == kTagInt8) {
        // int8 weights stay quantised in ncnn; the reference path has no int8 kernels, so they are
        // read as their integer values.
        const size_t bytes = align4(n);
        if (body < bytes) {
            fail("int8 array: expected " + std::to_string(bytes) + " bytes, " + std::to_string(body) +
                 " left");
            return Mat();
        }
        if (!create_weights(m, w))
            return Mat();
        float *out = m;
        for (size_t i = 0; i < n; i++)
            out[i] = static_cast<float>(static_cast<signed char>(data[pos + i]));
        pos += bytes;
        return m;
    }
    if (tag == kTagFp32 || tag == 0)
        return read_fp32(w, body);
    {
        // Any other non-zero tag: a 256-entry fp32 table, then one byte index per weight.
        const size_t bytes = 256 * 4 + align4(n);
        if (body < bytes) {
            pos = tag_at;
            fail("quantised array (tag " + std::to_string(tag) + "): expected " + std::to_string(bytes + 4) +
                 " bytes, " + std::to_string(body + 4) + " left");
            return Mat();
        }
        float table[256];
        std::memcpy(table, data + pos, sizeof table);
        pos += sizeof table;
        if (!create_weights(m, w))
            return Mat();
        float *out = m;
        for (size_t i = 0; i < n; i++)
            out[i] = table[data[pos + i]];
        pos += align4(n);
        return m;
    }
}

} // namespace ncnn
