#pragma once

#include <QString>

#include <optional>

namespace engine {

// The number format a network computes in. Auto lets the device decide: bf16 on a CPU that multiplies
// bf16 natively (AVX512_BF16 or AMX-BF16), fp16 storage (fp32 arithmetic) on a GPU with 16-bit storage
// buffers, fp32 anywhere else. Fp32 forces full precision; Bf16 (CPU) and Fp16 (GPU storage) force
// the reduced one and are refused by a device without it.
enum class Precision { Auto, Fp32, Bf16, Fp16 };

// "auto", "fp32", "bf16", "fp16".
QString precisionName(Precision precision);
std::optional<Precision> precisionNamed(const QString &name);

// What a device offers, as the runtime reports it.
struct DeviceAbilities {
    bool gpu = false;
    QString name;              // "the CPU (avx512_core)", "GPU 0 (llvmpipe)": for refusals
    bool bf16Products = false; // CPU: native bf16 multiplies within ONEDNN_MAX_CPU_ISA
    bool fp16Storage = false;  // GPU: 16-bit storage buffers
};

// The precision a device runs for the one asked (never Auto), or a refusal naming the device and what it
// lacks.
struct PrecisionChoice {
    Precision precision = Precision::Fp32;
    QString refusal;
    bool isOk() const { return refusal.isEmpty(); }
};
PrecisionChoice choosePrecision(Precision asked, const DeviceAbilities &device);

// Bytes of one value of a blob stored at a precision (the tile budget counts them).
int bytesPerValue(Precision precision);

} // namespace engine
