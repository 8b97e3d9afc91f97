#version 450
#extension GL_EXT_control_flow_attributes : require
// The input side of a Winograd convolution F(M, 3): each invocation takes one T x T patch (T = M + 2)
// of one group of four channels, overlapping its neighbours by two pixels, and writes B^T d B, one
// vec4 per position, to v[pos][ic / 4][tile] so that each position is a channel-grouped matrix (tiles
// for pixels) for the batched product.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int M = 4;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Transformed { vec4 v[]; };

layout(push_constant) uniform Params {
    int inch;
    int inw;
    int inh;
    // Tiles per output row, the first tile of this pass and how many it covers.
    int tilesw;
    int tile0;
    int ntiles;
    int padl;
    int padt;
    float pad_value;
} p;

const int T = M + 2;

// B^T of F(2, 3) and F(4, 3), row by row.
const float BT2[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
const float BT4[6][6] = {{4, 0, -5, 0, 1, 0},  {0, -4, -4, 1, 1, 0}, {0, 4, -4, -1, 1, 0},
                         {0, -2, -1, 2, 1, 0}, {0, 2, -1, -2, 1, 0}, {0, 4, 0, -5, 0, 1}};

float bt(int i, int j)
{
    if (M == 2)
        return BT2[min(i, 3)][min(j, 3)];
    return BT4[i][j];
}

void main()
{
    const int t = int(gl_GlobalInvocationID.x);
    const int g = int(gl_GlobalInvocationID.y);
    if (t >= p.ntiles || g * 4 >= p.inch)
        return;
    const int tile = p.tile0 + t;
    const int ty = tile / p.tilesw;
    const int tx = tile - ty * p.tilesw;
    const int x0 = tx * M - p.padl;
    const int y0 = ty * M - p.padt;
    const int plane = g * p.inw * p.inh;

    vec4 d[T][T];
    [[unroll]] for (int i = 0; i < T; i++) {
        const int iy = y0 + i;
        [[unroll]] for (int j = 0; j < T; j++) {
            const int ix = x0 + j;
            d[i][j] = iy >= 0 && iy < p.inh && ix >= 0 && ix < p.inw ? x[plane + iy * p.inw + ix] : vec4(p.pad_value);
        }
    }
    // Rows first (B^T d), then columns ((B^T d) B); the zeros of B fold away once unrolled.
    vec4 r[T][T];
    [[unroll]] for (int i = 0; i < T; i++)
        [[unroll]] for (int j = 0; j < T; j++) {
            vec4 s = vec4(0.0);
            [[unroll]] for (int k = 0; k < T; k++)
                s += bt(i, k) * d[k][j];
            r[i][j] = s;
        }
    const int stride = (p.inch + 3) / 4 * p.ntiles;
    [[unroll]] for (int i = 0; i < T; i++)
        [[unroll]] for (int j = 0; j < T; j++) {
            vec4 s = vec4(0.0);
            [[unroll]] for (int k = 0; k < T; k++)
                s += r[i][k] * bt(j, k);
            v[(i * T + j) * stride + g * p.ntiles + t] = s;
        }
}
