#version 450
#extension GL_EXT_control_flow_attributes : require
// Convolution with at most four output channels (a network's last layer, back to RGB): one invocation
// per output pixel computes the whole output group straight from the grouped input. The weights are
// the same for every invocation, so they cost no gather; the GEMM kernel would stage every input value
// in shared memory for a block of mostly idle rows.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int KW = 3;
layout(constant_id = 4) const int KH = 3;
layout(constant_id = 5) const int SX = 1;
layout(constant_id = 6) const int SY = 1;
layout(constant_id = 7) const int DX = 1;
layout(constant_id = 8) const int DY = 1;
layout(constant_id = 9) const int ACT = 0;
layout(constant_id = 10) const float ACT_A = 0.0;
layout(constant_id = 11) const float ACT_B = 0.0;
layout(constant_id = 12) const int HAS_RES = 0;
layout(constant_id = 13) const float RES_A = 1.0;
layout(constant_id = 14) const float RES_B = 1.0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
// weights[tap * inch4 + ic]: the four output channels of one input channel, zero past the last of
// either.
layout(std430, binding = 1) readonly buffer Weights { vec4 wt[]; };
layout(std430, binding = 2) readonly buffer Bias { vec4 bias[]; };
layout(std430, binding = 3) readonly buffer Residual { vec4 res[]; };
layout(std430, binding = 4) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int inch;
    int inw;
    int inh;
    int outch;
    int outw;
    int outh;
    int padl;
    int padt;
    float pad_value;
    // Where the output starts, in floats.
    int out_offset;
} p;

vec4 activate(vec4 v)
{
    if (ACT == 1)
        return max(v, 0.0);
    if (ACT == 2)
        return mix(v * ACT_A, v, greaterThan(v, vec4(0.0)));
    if (ACT == 3)
        return clamp(v, ACT_A, ACT_B);
    if (ACT == 4)
        return 1.0 / (1.0 + exp(-v));
    if (ACT == 5)
        return v * tanh(log(exp(v) + 1.0));
    if (ACT == 6)
        return v * clamp(v * ACT_A + ACT_B, 0.0, 1.0);
    return v;
}

void main()
{
    const int ox = int(gl_GlobalInvocationID.x);
    const int oy = int(gl_GlobalInvocationID.y);
    if (ox >= p.outw || oy >= p.outh)
        return;
    const int instride = p.inw * p.inh;
    const int groups = (p.inch + 3) / 4;
    const int inch4 = groups * 4;
    vec4 acc = bias[0];
    [[unroll]] for (int ky = 0; ky < KH; ky++) {
        const int iy = oy * SY - p.padt + ky * DY;
        [[unroll]] for (int kx = 0; kx < KW; kx++) {
            const int ix = ox * SX - p.padl + kx * DX;
            const bool inside = iy >= 0 && iy < p.inh && ix >= 0 && ix < p.inw;
            const int pix = iy * p.inw + ix;
            const int w0 = (ky * KW + kx) * inch4;
            for (int g = 0; g < groups; g++) {
                vec4 v = inside ? x[g * instride + pix] : vec4(p.pad_value);
                // Lanes past the last input channel meet zero weights, but must not be NaN.
                if (g * 4 + 4 > p.inch)
                    v = mix(vec4(0.0), v, lessThan(ivec4(g * 4) + ivec4(0, 1, 2, 3), ivec4(p.inch)));
                const int w = w0 + g * 4;
                acc += v.x * wt[w] + v.y * wt[w + 1] + v.z * wt[w + 2] + v.w * wt[w + 3];
            }
        }
    }
    vec4 v = activate(acc);
    const int o = oy * p.outw + ox;
    if (HAS_RES != 0)
        v = v * RES_A + res[o] * RES_B;
    y[p.out_offset / 4 + o] = mix(vec4(0.0), v, lessThan(ivec4(0, 1, 2, 3), ivec4(p.outch)));
}
