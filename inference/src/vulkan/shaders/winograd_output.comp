#version 450
#extension GL_EXT_control_flow_attributes : require
// The output side of a Winograd convolution F(M, 3): each invocation takes the T x T products of one
// tile and one group of four output channels from m[pos][oc / 4][tile], computes A^T m A, and writes
// the M x M pixels that fall inside the output with the convolution's epilogue: bias, activation,
// residual sum.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int M = 4;
layout(constant_id = 4) const int ACT = 0;
layout(constant_id = 5) const float ACT_A = 0.0;
layout(constant_id = 6) const float ACT_B = 0.0;
layout(constant_id = 7) const int HAS_RES = 0;
layout(constant_id = 8) const float RES_A = 1.0;
layout(constant_id = 9) const float RES_B = 1.0;

layout(std430, binding = 0) readonly buffer Products { vec4 m[]; };
// Padded with zeros to whole groups.
layout(std430, binding = 1) readonly buffer Bias { vec4 bias[]; };
layout(std430, binding = 2) readonly buffer Residual { vec4 res[]; };
layout(std430, binding = 3) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int outch;
    int outw;
    int outh;
    int tilesw;
    int tile0;
    int ntiles;
    // Where channel 0 of the output starts, in floats: another blob's channels may share the buffer.
    int out_offset;
} p;

const int T = M + 2;

const float AT2[2][4] = {{1, 1, 1, 0}, {0, 1, -1, -1}};
const float AT4[4][6] = {{1, 1, 1, 1, 1, 0}, {0, 1, -1, 2, -2, 0}, {0, 1, 1, 4, 4, 0}, {0, 1, -1, 8, -8, 1}};

float at(int i, int j)
{
    if (M == 2)
        return AT2[min(i, 1)][min(j, 3)];
    return AT4[i][j];
}

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
    const int t = int(gl_GlobalInvocationID.x);
    const int g = int(gl_GlobalInvocationID.y);
    if (t >= p.ntiles || g * 4 >= p.outch)
        return;
    const int tile = p.tile0 + t;
    const int ty = tile / p.tilesw;
    const int tx = tile - ty * p.tilesw;
    const int stride = (p.outch + 3) / 4 * p.ntiles;

    vec4 s4[T][T];
    [[unroll]] for (int i = 0; i < T; i++)
        [[unroll]] for (int j = 0; j < T; j++)
            s4[i][j] = m[(i * T + j) * stride + g * p.ntiles + t];
    vec4 r[M][T];
    [[unroll]] for (int i = 0; i < M; i++)
        [[unroll]] for (int j = 0; j < T; j++) {
            vec4 s = vec4(0.0);
            [[unroll]] for (int k = 0; k < T; k++)
                s += at(i, k) * s4[k][j];
            r[i][j] = s;
        }
    const vec4 b = bias[g];
    // The product leaves the lanes past the last channel undefined; they are written as zero.
    const bvec4 real = lessThan(ivec4(g * 4) + ivec4(0, 1, 2, 3), ivec4(p.outch));
    const int plane = g * p.outw * p.outh;
    const int base = p.out_offset / 4;
    [[unroll]] for (int i = 0; i < M; i++) {
        const int oy = ty * M + i;
        [[unroll]] for (int j = 0; j < M; j++) {
            const int ox = tx * M + j;
            if (oy >= p.outh || ox >= p.outw)
                continue;
            vec4 s = vec4(0.0);
            [[unroll]] for (int k = 0; k < T; k++)
                s += r[i][k] * at(j, k);
            vec4 val = activate(s + b);
            const int o = plane + oy * p.outw + ox;
            if (HAS_RES != 0)
                val = val * RES_A + res[o] * RES_B;
            y[base + o] = mix(vec4(0.0), val, real);
        }
    }
}
