#version 450
#extension GL_EXT_control_flow_attributes : require
// The output side of a Winograd convolution F(M, 3): each invocation takes the T x T products of one
// tile and one output channel from m[pos][oc][tile], computes A^T m A, and writes the M x M pixels
// that fall inside the output with the convolution's epilogue: bias, activation, residual sum.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int M = 4;
layout(constant_id = 4) const int ACT = 0;
layout(constant_id = 5) const float ACT_A = 0.0;
layout(constant_id = 6) const float ACT_B = 0.0;
layout(constant_id = 7) const int HAS_RES = 0;
layout(constant_id = 8) const float RES_A = 1.0;
layout(constant_id = 9) const float RES_B = 1.0;

layout(std430, binding = 0) readonly buffer Products { float m[]; };
layout(std430, binding = 1) readonly buffer Bias { float bias[]; };
layout(std430, binding = 2) readonly buffer Residual { float res[]; };
layout(std430, binding = 3) writeonly buffer Output { float y[]; };

layout(push_constant) uniform Params {
    int outch;
    int outw;
    int outh;
    int tilesw;
    int tile0;
    int ntiles;
    // Where channel 0 of the output starts: another blob's channels may share the buffer.
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

float activate(float v)
{
    if (ACT == 1)
        return max(v, 0.0);
    if (ACT == 2)
        return v > 0.0 ? v : v * ACT_A;
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
    const int oc = int(gl_GlobalInvocationID.y);
    if (t >= p.ntiles || oc >= p.outch)
        return;
    const int tile = p.tile0 + t;
    const int ty = tile / p.tilesw;
    const int tx = tile - ty * p.tilesw;
    const int stride = p.outch * p.ntiles;

    float g[T][T];
    [[unroll]] for (int i = 0; i < T; i++)
        [[unroll]] for (int j = 0; j < T; j++)
            g[i][j] = m[(i * T + j) * stride + oc * p.ntiles + t];
    float r[M][T];
    [[unroll]] for (int i = 0; i < M; i++)
        [[unroll]] for (int j = 0; j < T; j++) {
            float s = 0.0;
            [[unroll]] for (int k = 0; k < T; k++)
                s += at(i, k) * g[k][j];
            r[i][j] = s;
        }
    const float b = bias[oc];
    const int plane = oc * p.outw * p.outh;
    [[unroll]] for (int i = 0; i < M; i++) {
        const int oy = ty * M + i;
        [[unroll]] for (int j = 0; j < M; j++) {
            const int ox = tx * M + j;
            if (oy >= p.outh || ox >= p.outw)
                continue;
            float s = 0.0;
            [[unroll]] for (int k = 0; k < T; k++)
                s += r[i][k] * at(j, k);
            float val = activate(s + b);
            const int o = plane + oy * p.outw + ox;
            if (HAS_RES != 0)
                val = val * RES_A + res[o] * RES_B;
            y[p.out_offset + o] = val;
        }
    }
}
