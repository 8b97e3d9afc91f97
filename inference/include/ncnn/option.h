#pragma once

#include <atomic>
#include <functional>

namespace ncnn {

class Allocator;

// Knobs of one network. Written before load_param/load_model; read, never written, during inference.
class Option {
public:
    Option();

    // Release intermediate blobs as soon as their last consumer has run.
    bool lightmode;
    // Threads for CPU layers.
    int num_threads;
    // Allocators for blobs and scratch space; null selects the built-in allocator.
    Allocator *blob_allocator;
    Allocator *workspace_allocator;

    // 3x3 stride-1 convolutions by Winograd's transforms where that is faster (CPU).
    bool use_winograd_convolution;
    // Runs the network on opt's Vulkan device (Net::set_vulkan_device).
    bool use_vulkan_compute;

    // Precision. All three are off by default, unlike ncnn: the runtime computes in fp32 unless asked,
    // and whoever asks checks first that the device has it (cpu_support_bf16()); a device without it
    // runs fp32.
    // CPU: convolutions read bf16 blobs and weights and sum in fp32; blobs between them are stored as bf16.
    bool use_bf16_storage;
    // GPU: blobs and weights stored as fp16 with fp32 arithmetic, and fp16 arithmetic as well. Reserved:
    // the Vulkan shaders store fp32 only so far and read neither.
    bool use_fp16_storage;
    bool use_fp16_arithmetic;

    // Accepted for ncnn compatibility and ignored: this runtime chooses layouts, packing, kernels and
    // threads' idle time itself and has no int8 path.
    int openmp_blocktime;
    bool use_sgemm_convolution;
    bool use_int8_inference;
    bool use_fp16_packed;
    bool use_int8_packed;
    bool use_int8_storage;
    bool use_int8_arithmetic;
    bool use_packing_layout;
    bool use_shader_pack8;
    bool use_subgroup_ops;
    bool use_image_storage;
    bool use_tensor_storage;
    bool use_weight_fp16_storage;

    // Not part of ncnn: when set, inference checks the flag between layers (and between GPU
    // submissions) and returns ERROR_CANCELLED once it reads true. The flag must outlive every
    // extract that can see it; it is read from the inferring thread only.
    const std::atomic<bool> *stop_request;
    // Not part of ncnn: when set, called on the inferring thread after every layer of an extract with
    // (layers done, layers the extract runs), so a long inference can show how far it is. Must be
    // cheap and outlive every extract that can see it.
    const std::function<void(int done, int total)> *progress;
};

} // namespace ncnn
