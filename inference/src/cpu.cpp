#include <ncnn/cpu.h>

#ifdef BRIVELLE_ONEDNN_BACKEND
#include <oneapi/dnnl/dnnl.hpp>
#endif

namespace ncnn {

bool cpu_support_bf16()
{
#ifdef BRIVELLE_ONEDNN_BACKEND
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    const auto bf16 = static_cast<unsigned>(dnnl::cpu_isa::avx512_core_bf16);
    return (isa & bf16) == bf16;
#else
    return false;
#endif
}

bool cpu_support_amx_bf16()
{
#ifdef BRIVELLE_ONEDNN_BACKEND
    const auto amx = static_cast<unsigned>(dnnl::cpu_isa::avx512_core_amx);
    return (static_cast<unsigned>(dnnl::get_effective_cpu_isa()) & amx) == amx;
#else
    return false;
#endif
}

const char *cpu_isa_name()
{
#ifdef BRIVELLE_ONEDNN_BACKEND
    switch (dnnl::get_effective_cpu_isa()) {
    case dnnl::cpu_isa::sse41:
        return "sse41";
    case dnnl::cpu_isa::avx:
        return "avx";
    case dnnl::cpu_isa::avx2:
        return "avx2";
    case dnnl::cpu_isa::avx2_vnni:
        return "avx2_vnni";
    case dnnl::cpu_isa::avx512_core:
        return "avx512_core";
    case dnnl::cpu_isa::avx512_core_vnni:
        return "avx512_core_vnni";
    case dnnl::cpu_isa::avx512_core_bf16:
        return "avx512_core_bf16";
    case dnnl::cpu_isa::avx512_core_amx:
        return "avx512_core_amx";
    default:
        return "other";
    }
#else
    return "none";
#endif
}

} // namespace ncnn
