#version 450
#extension GL_EXT_control_flow_attributes : require
// Convolution as an implicit GEMM: rows are output channels, columns output pixels, and the reduction
// runs over kernel taps and input channels. Each workgroup stages a BK-deep slice of weights and of
// gathered input pixels in shared memory; each thread accumulates a TM x TN block in registers.
// The next slice is fetched into registers while the current one is multiplied. Input, residual and
// output are channel-grouped (a vec4 holds four channels of one pixel): the gather takes four channels
// of the reduction per load, and threads holding four or more output rows store whole groups.
// With a 1 x 1 kernel it is a plain matrix product; the z of the workgroup then picks one of a batch
// of them (the positions of a Winograd tile), each at its own offset in every buffer.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int BM = 64;
layout(constant_id = 4) const int BN = 256;
layout(constant_id = 5) const int BK = 8;
layout(constant_id = 6) const int TM = 8;
layout(constant_id = 7) const int TN = 8;
layout(constant_id = 8) const int KW = 3;
layout(constant_id = 9) const int KH = 3;
layout(constant_id = 10) const int SX = 1;
layout(constant_id = 11) const int SY = 1;
layout(constant_id = 12) const int DX = 1;
layout(constant_id = 13) const int DY = 1;
layout(constant_id = 14) const int ACT = 0;
layout(constant_id = 15) const float ACT_A = 0.0;
layout(constant_id = 16) const float ACT_B = 0.0;
layout(constant_id = 17) const int HAS_BIAS = 0;
layout(constant_id = 18) const int HAS_RES = 0;
layout(constant_id = 19) const float RES_A = 1.0;
layout(constant_id = 20) const float RES_B = 1.0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
// weights[(tap * inch + ic) * outch + oc]
layout(std430, binding = 1) readonly buffer Weights { float wt[]; };
layout(std430, binding = 2) readonly buffer Bias { float bias[]; };
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
    int n_offset;
    float pad_value;
    // Where channel 0 of the output starts, in floats (whole groups): another blob's channels may share
    // the buffer.
    int out_offset;
    // Offsets of one batch member from the next in the input, weights and output, in floats.
    int batch_x;
    int batch_w;
    int batch_y;
} p;

const int THREADS = (BM / TM) * (BN / TN);
const int COLS = BN / TN;
const int ROWS = BM / TM;
// Wide pixel blocks give each thread several columns to gather; narrow ones several rows.
const int B_COLS = BN > THREADS ? BN / THREADS : 1;
const int B_STEP = BN < THREADS ? THREADS / BN : 1;
const int A_STEP = THREADS / BM;
// Rows of the slice are gathered four at a time, one channel group.
const int BQ = BK / 4;
const int B_LOADS = (BQ + B_STEP - 1) / B_STEP;
const int A_LOADS = (BK + A_STEP - 1) / A_STEP;

shared float As[BK * BM];
shared float Bs[BK * BN];

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
    const int tid = int(gl_LocalInvocationID.x);
    const int m0 = int(gl_WorkGroupID.y) * BM;
    const int n0 = p.n_offset + int(gl_WorkGroupID.x) * BN;
    const int npix = p.outw * p.outh;
    const int instride = p.inw * p.inh;
    const int zb = int(gl_WorkGroupID.z);
    const int xbase = zb * p.batch_x / 4;
    const int wbase = zb * p.batch_w;
    const int ybase = (p.out_offset + zb * p.batch_y) / 4;

    // The columns each thread gathers stay the same for the whole reduction.
    const int bcol = tid % BN;
    const int brow = tid / BN;
    bool nvalid[B_COLS];
    int iy0[B_COLS];
    int ix0[B_COLS];
    [[unroll]] for (int c = 0; c < B_COLS; c++) {
        const int n = n0 + bcol + c * THREADS;
        nvalid[c] = n < npix;
        const int oy = nvalid[c] ? n / p.outw : 0;
        const int ox = nvalid[c] ? n - oy * p.outw : 0;
        iy0[c] = oy * SY - p.padt;
        ix0[c] = ox * SX - p.padl;
    }

    const int acol = tid % BM;
    const int arow = tid / BM;
    const bool mvalid = m0 + acol < p.outch;

    const int chunks = (p.inch + BK - 1) / BK;
    const int steps = KW * KH * chunks;

    float acc[TM][TN];
    [[unroll]] for (int i = 0; i < TM; i++)
        [[unroll]] for (int j = 0; j < TN; j++)
            acc[i][j] = 0.0;

    vec4 bnext[B_LOADS * B_COLS];
    float anext[A_LOADS];

    for (int s = 0; s <= steps; s++) {
        if (s > 0) {
            [[unroll]] for (int r = 0; r < B_LOADS; r++) {
                const int kq = brow + r * B_STEP;
                if (kq < BQ)
                    [[unroll]] for (int c = 0; c < B_COLS; c++)
                        [[unroll]] for (int l = 0; l < 4; l++)
                            Bs[(kq * 4 + l) * BN + bcol + c * THREADS] = bnext[r * B_COLS + c][l];
            }
            [[unroll]] for (int r = 0; r < A_LOADS; r++) {
                const int k = arow + r * A_STEP;
                if (k < BK)
                    As[k * BM + acol] = anext[r];
            }
            barrier();
        }
        if (s < steps) {
            const int tap = s / chunks;
            const int ic0 = (s - tap * chunks) * BK;
            const int ky = tap / KW;
            const int kx = tap - ky * KW;
            [[unroll]] for (int c = 0; c < B_COLS; c++) {
                const int iy = iy0[c] + ky * DY;
                const int ix = ix0[c] + kx * DX;
                const bool inside = iy >= 0 && iy < p.inh && ix >= 0 && ix < p.inw;
                const int pix = iy * p.inw + ix;
                [[unroll]] for (int r = 0; r < B_LOADS; r++) {
                    const int kq = brow + r * B_STEP;
                    const int ic = ic0 + kq * 4;
                    vec4 v = vec4(0.0);
                    if (nvalid[c] && ic < p.inch && kq < BQ) {
                        v = inside ? x[xbase + (ic >> 2) * instride + pix] : vec4(p.pad_value);
                        // Lanes past the last input channel meet zero weights, but must not be NaN.
                        if (ic + 4 > p.inch)
                            v = mix(vec4(0.0), v, lessThan(ivec4(ic) + ivec4(0, 1, 2, 3), ivec4(p.inch)));
                    }
                    bnext[r * B_COLS + c] = v;
                }
            }
            [[unroll]] for (int r = 0; r < A_LOADS; r++) {
                const int ic = ic0 + arow + r * A_STEP;
                float v = 0.0;
                if (mvalid && ic < p.inch && arow + r * A_STEP < BK)
                    v = wt[wbase + (tap * p.inch + ic) * p.outch + m0 + acol];
                anext[r] = v;
            }
        }
        if (s > 0) {
            const int ty = tid / COLS;
            const int tx = tid - ty * COLS;
            [[unroll]] for (int k = 0; k < BK; k++) {
                float a[TM];
                float b[TN];
                [[unroll]] for (int i = 0; i < TM; i++)
                    a[i] = As[k * BM + ty * TM + i];
                [[unroll]] for (int j = 0; j < TN; j++)
                    b[j] = Bs[k * BN + tx + j * COLS];
                [[unroll]] for (int i = 0; i < TM; i++)
                    [[unroll]] for (int j = 0; j < TN; j++)
                        acc[i][j] = fma(a[i], b[j], acc[i][j]);
            }
            barrier();
        }
    }

    const int ty = tid / COLS;
    const int tx = tid - ty * COLS;
    // Rows from outch up to the end of its group are written as zero.
    const int outch4 = (p.outch + 3) & ~3;
    if (TM % 4 == 0) {
        [[unroll]] for (int i = 0; i < TM; i += 4) {
            const int m = m0 + ty * TM + i;
            if (m >= p.outch)
                continue;
            const bvec4 real = lessThan(ivec4(m) + ivec4(0, 1, 2, 3), ivec4(p.outch));
            vec4 bm = vec4(0.0);
            if (HAS_BIAS != 0)
                [[unroll]] for (int l = 0; l < 4; l++)
                    bm[l] = m + l < p.outch ? bias[m + l] : 0.0;
            [[unroll]] for (int j = 0; j < TN; j++) {
                const int nn = n0 + tx + j * COLS;
                if (nn >= npix)
                    continue;
                vec4 v = activate(vec4(acc[i][j], acc[i + 1][j], acc[i + 2][j], acc[i + 3][j]) + bm);
                const int o = (m >> 2) * npix + nn;
                if (HAS_RES != 0)
                    v = v * RES_A + res[o] * RES_B;
                y[ybase + o] = mix(vec4(0.0), v, real);
            }
        }
    } else {
        [[unroll]] for (int i = 0; i < TM; i++) {
            const int m = m0 + ty * TM + i;
            if (m >= outch4)
                continue;
            const bool real = m < p.outch;
            const float bm = HAS_BIAS != 0 && real ? bias[m] : 0.0;
            [[unroll]] for (int j = 0; j < TN; j++) {
                const int nn = n0 + tx + j * COLS;
                if (nn >= npix)
                    continue;
                float v = activate(vec4(acc[i][j] + bm)).x;
                const int o = (m >> 2) * npix + nn;
                if (HAS_RES != 0)
                    v = v * RES_A + res[o][m & 3] * RES_B;
                y[ybase + o][m & 3] = real ? v : 0.0;
            }
        }
    }
}
