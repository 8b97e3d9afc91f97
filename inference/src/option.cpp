#include <ncnn/option.h>

#include <thread>

namespace ncnn {

Option::Option()
    : lightmode(true), num_threads(static_cast<int>(std::thread::hardware_concurrency())),
      blob_allocator(nullptr), workspace_allocator(nullptr), use_winograd_convolution(true),
      use_vulkan_compute(false), use_bf16_storage(false), use_fp16_storage(false), use_fp16_arithmetic(false),
      openmp_blocktime(20), use_sgemm_convolution(true), use_int8_inference(true), use_fp16_packed(true),
      use_int8_packed(true), use_int8_storage(true), use_int8_arithmetic(false), use_packing_layout(true),
      use_shader_pack8(false), use_subgroup_ops(false), use_image_storage(false), use_tensor_storage(false),
      use_weight_fp16_storage(true), stop_request(nullptr), progress(nullptr)
{
    if (num_threads <= 0)
        num_threads = 1;
}

} // namespace ncnn
