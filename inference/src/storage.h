#pragma once

namespace ncnn {

// How a blob is stored inside a plan: fp32, or a 16-bit form (bf16 on the CPU, fp16 on the GPU) that the
// backend converts to and from fp32 in steps of their own where neighbouring layers differ.
enum class Storage : unsigned char { Fp32, Bf16, Fp16 };
const char *storage_name(Storage storage);
// Bytes of one element.
int storage_bytes(Storage storage);

} // namespace ncnn
