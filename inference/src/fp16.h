#pragma once

#include <cstdint>
#include <cstring>

namespace ncnn {

// IEEE half <-> single conversions, exact for every half value, round to nearest even the other way.
inline float float16_to_float32(uint16_t h)
{
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    uint32_t exponent = (h >> 10) & 0x1fu;
    uint32_t mantissa = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {
            // Subnormal: renormalise.
            exponent = 127 - 15 + 1;
            while ((mantissa & 0x400u) == 0) {
                mantissa <<= 1;
                exponent--;
            }
            mantissa &= 0x3ffu;
            bits = sign | (exponent << 23) | (mantissa << 13);
        }
    } else if (exponent == 0x1f) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint16_t float32_to_float16(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
    const uint32_t abs = bits & 0x7fffffffu;
    if (abs >= 0x7f800000u) // inf or nan
        return static_cast<uint16_t>(sign | 0x7c00u | (abs > 0x7f800000u ? 0x200u : 0u));
    if (abs >= 0x477ff000u) // rounds to a value beyond the largest half
        return static_cast<uint16_t>(sign | 0x7c00u);
    if (abs < 0x38800000u) {
        // Result is subnormal or zero.
        if (abs < 0x33000000u)
            return sign;
        const uint32_t exponent = abs >> 23;
        const uint32_t mantissa = (abs & 0x7fffffu) | 0x800000u;
        const uint32_t shift = 126 - exponent; // 14..24
        uint32_t half = mantissa >> shift;
        const uint32_t rest = mantissa & ((1u << shift) - 1);
        const uint32_t halfway = 1u << (shift - 1);
        if (rest > halfway || (rest == halfway && (half & 1u)))
            half++;
        return static_cast<uint16_t>(sign | half);
    }
    uint32_t half = ((abs >> 13) - ((127 - 15) << 10));
    const uint32_t rest = abs & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u)))
        half++;
    return static_cast<uint16_t>(sign | half);
}

} // namespace ncnn
