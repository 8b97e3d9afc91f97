#pragma once

#include <ncnn/mat.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ncnn {

// The weight arrays of a network as its layers read them: one list per layer, in file order.
using LayerWeights = std::vector<std::vector<Mat>>;

// Reads weight arrays from the .bin bytes in file order. Every read checks the bytes left before it
// allocates, so a truncated or hostile file costs at most its own size.
class ModelBin {
public:
    ModelBin(const unsigned char *data, size_t size);

    // type 0: an array with ncnn's 4-byte storage tag (fp32, fp16, or int8 through a 256-entry table);
    // type 1: untagged fp32. Returns an fp32 Mat of w elements, or an empty Mat with error() set.
    Mat load(int w, int type) const;
    Mat load(int w, int h, int type) const;
    Mat load(int w, int h, int c, int type) const;

    size_t offset() const { return pos; }
    size_t bytes() const { return size; }
    const std::string &error() const { return err; }
    // Set by the loader before each layer reads its weights: its index, and the name for messages.
    void begin_layer(int index, const std::string &name) const;
    // Whether the layer begun last read as many arrays as the other network's layer of the same index
    // (see mix_with); false with the error set when it read fewer.
    bool end_layer() const;

    // Every array read is also kept in *weights, per layer (null: none kept).
    void record_into(LayerWeights *weights) { recorded = weights; }
    // Every array read is handed out as (1 - weight) * its own values + weight * the array of the same
    // place in `other`, which must have the same shape: a network of the same architecture.
    void mix_with(const LayerWeights *other, float weight)
    {
        partner = other;
        partner_weight = weight;
    }

private:
    bool fail(const std::string &what) const;
    // A flat array of w elements as stored, before it is recorded or mixed.
    Mat read(int w, int type) const;
    // The array as the layer receives it.
    Mat deliver(Mat m) const;
    // An fp32 Mat of w elements, or false with the error set when memory runs out.
    bool create_weights(Mat &m, int w) const;
    // w raw fp32 values at the read position, of which available bytes are left.
    Mat read_fp32(int w, size_t available) const;
    const unsigned char *data;
    size_t size;
    mutable size_t pos = 0;
    mutable std::string err;
    mutable std::string context;
    mutable int layer = -1;
    mutable size_t arrays_read = 0;
    LayerWeights *recorded = nullptr;
    const LayerWeights *partner = nullptr;
    float partner_weight = 0.f;
};

} // namespace ncnn
