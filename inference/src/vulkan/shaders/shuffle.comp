#version 450
// Moves pixels between space and channels by a factor r.
// DEPTH_TO_SPACE 1 (pixel shuffle): output (x, y) of channel q comes from input channel
//   q * r * r + (y % r) * r + x % r (mode 0) or ((y % r) * r + x % r) * outc + q (mode 1), at (x / r, y / r).
// DEPTH_TO_SPACE 0 (reorg): output channel q * r * r + sy * r + sx (mode 0) or (sy * r + sx) * inc + q
//   (mode 1), at (x, y), comes from input channel q at (x * r + sx, y * r + sy).
// One invocation per output pixel and channel group; the four lanes come from channels that are
// rarely neighbours, so each is gathered on its own.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int DEPTH_TO_SPACE = 1;
layout(constant_id = 4) const int MODE = 0;
layout(constant_id = 5) const int R = 2;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int inw;
    int inh;
    int inc;
} p;

// The input channel and pixel that output channel z at (gx, gy) comes from.
void source(int gx, int gy, int z, out int q, out int pix)
{
    if (DEPTH_TO_SPACE != 0) {
        const int sub = (gy % R) * R + gx % R;
        q = MODE == 0 ? z * R * R + sub : sub * p.c + z;
        pix = (gy / R) * p.inw + gx / R;
    } else {
        int sub;
        if (MODE == 0) {
            q = z / (R * R);
            sub = z % (R * R);
        } else {
            q = z % p.inc;
            sub = z / p.inc;
        }
        pix = (gy * R + sub / R) * p.inw + gx * R + sub % R;
    }
}

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int g = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || g * 4 >= p.c)
        return;
    const int inPlane = p.inw * p.inh;
    vec4 v = vec4(0.0);
    for (int l = 0; l < 4 && g * 4 + l < p.c; l++) {
        int q;
        int pix;
        source(gx, gy, g * 4 + l, q, pix);
        v[l] = x[(q >> 2) * inPlane + pix][q & 3];
    }
    y[(g * p.h + gy) * p.w + gx] = v;
}
