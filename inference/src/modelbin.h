#pragma once

#include <ncnn/mat.h>

#include <cstddef>
#include <string>

namespace ncnn {

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
    const std::string &error() const { return err; }
    // Set by the loader so that messages name the layer being read.
    void set_context(const std::string &layer) const { context = layer; }

private:
    bool fail(const std::string &what) const;
    // An fp32 Mat of w elements, or false with the error set when memory runs out.
    bool create_weights(Mat &m, int w) const;
    // w raw fp32 values at the read position, of which available bytes are left.
    Mat read_fp32(int w, size_t available) const;
    const unsigned char *data;
    size_t size;
    mutable size_t pos = 0;
    mutable std::string err;
    mutable std::string context;
};

} // namespace ncnn
