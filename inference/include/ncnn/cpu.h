#pragma once

namespace ncnn {

// What this runtime's CPU path can do here, as oneDNN dispatches: under ONEDNN_MAX_CPU_ISA it answers for
// the capped instruction set, so a capped run is asked the same question the kernels are. Thread-safe.

// Whether the CPU multiplies bf16 natively (AVX512_BF16 or AMX-BF16), so Option::use_bf16_storage runs
// bf16 products rather than oneDNN's emulation of them. False without the oneDNN backend.
bool cpu_support_bf16();

// Whether the CPU has AMX's bf16 tiles. Only they make bf16 convolutions faster than this runtime's fp32
// Winograd, so only with them does a bf16 network keep most of its blobs in bf16 (half the memory); with
// AVX512_BF16 alone, the layers Winograd takes stay fp32.
bool cpu_support_amx_bf16();

// oneDNN's name of the instruction set it uses, e.g. "avx512_core_amx" or "avx2"; "none" without oneDNN.
const char *cpu_isa_name();

} // namespace ncnn
