#pragma once

// Writes ncnn .param/.bin pairs for tests and benchmarks: Real-ESRGAN shaped networks with seeded
// random weights, and small hand-made graphs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brivelle::modelgen {

enum class Storage { Fp32, Fp16 };

struct ModelFiles {
    std::string param;
    std::vector<unsigned char> bin;
};

// Builds a network layer by layer. Blob names are free text; the builder counts layers and blobs and
// writes the header. Tagged arrays (convolution weights) use the chosen storage; untagged ones (biases,
// slopes) are always fp32, as in ncnn.
class GraphBuilder {
public:
    explicit GraphBuilder(Storage storage = Storage::Fp32, uint32_t seed = 1);

    void input(const std::string &top, int w = 0, int h = 0, int c = 0);
    // Any layer: params is the text after the blob names ("0=1 -23301=2,0.2,1.0").
    void layer(const std::string &type, const std::vector<std::string> &bottoms,
               const std::vector<std::string> &tops, const std::string &params = std::string());
    // A convolution with random weights (or the given ones) and a bias; activation 0..6 with its params.
    void conv(const std::string &bottom, const std::string &top, int in_channels, int out_channels,
              int kernel, int stride = 1, int pad = -1, int activation = 0,
              const std::vector<float> &activation_params = {}, const std::vector<float> &weights = {},
              const std::vector<float> &bias = {}, int group = 1);
    void prelu(const std::string &bottom, const std::string &top, int channels,
               const std::vector<float> &slopes = {});
    // Appends weight arrays for the last layer added by layer().
    void tagged_array(const std::vector<float> &values);
    void raw_array(const std::vector<float> &values);

    // Random values in [-scale, scale), reproducible for a seed on every platform.
    std::vector<float> random(size_t n, float scale);

    ModelFiles finish() const;

private:
    Storage storage;
    uint32_t state;
    int layer_count = 0;
    int blob_count = 0;
    std::string body;
    std::vector<unsigned char> bin;
    int names = 0;
};

struct RrdbConfig {
    int blocks = 23;
    int features = 64;
    int growth = 32;
    // 4, 2 or 1 (x2 and x1 start with a pixel unshuffle by 2 and by 4; every scale ends enlarging x4).
    int scale = 4;
};

struct SrvggConfig {
    int convs = 32;
    int features = 64;
    int scale = 4;
};

// Real-ESRGAN's RRDBNet: input blob "data", output "output", the published x4plus/x2plus topology.
ModelFiles rrdbnet(const RrdbConfig &config, Storage storage, uint32_t seed);
// The compact SRVGG network (PReLU, PixelShuffle, nearest upsampled input added at the end).
ModelFiles srvgg(const SrvggConfig &config, Storage storage, uint32_t seed);

// Pads the .param with trailing blank lines and the .bin with zero bytes to exact sizes; false when a
// file is already larger. A padded .bin passes a check of sizes only: the loader refuses it.
bool pad_to_size(ModelFiles &files, size_t param_bytes, size_t bin_bytes, std::string &err);

// Writes both files, each through a temporary file renamed into place.
bool write_files(const ModelFiles &files, const std::string &param_path, const std::string &bin_path,
                 std::string &err);

} // namespace brivelle::modelgen
