#version 450
// Moves pixels between space and channels by a factor r.
// DEPTH_TO_SPACE 1 (pixel shuffle): output (x, y) of channel q comes from input channel
//   q * r * r + (y % r) * r + x % r (mode 0) or ((y % r) * r + x % r) * outc + q (mode 1), at (x / r, y / r).
// DEPTH_TO_SPACE 0 (reorg): output channel q * r * r + sy * r + sx (mode 0) or (sy * r + sx) * inc + q
//   (mode 1), at (x, y), comes from input channel q at (x * r + sx, y * r + sy).

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int DEPTH_TO_SPACE = 1;
layout(constant_id = 4) const int MODE = 0;
layout(constant_id = 5) const int R = 2;

layout(std430, binding = 0) readonly buffer Input { float x[]; };
layout(std430, binding = 1) writeonly buffer Output { float y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int inw;
    int inh;
    int inc;
} p;

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz >= p.c)
        return;
    int src;
    if (DEPTH_TO_SPACE != 0) {
        const int sub = (gy % R) * R + gx % R;
        const int q = MODE == 0 ? gz * R * R + sub : sub * p.c + gz;
        src = (q * p.inh + gy / R) * p.inw + gx / R;
    } else {
        int q;
        int sub;
        if (MODE == 0) {
            q = gz / (R * R);
            sub = gz % (R * R);
        } else {
            q = gz % p.inc;
            sub = gz / p.inc;
        }
        const int sy = sub / R;
        const int sx = sub % R;
        src = (q * p.inh + gy * R + sy) * p.inw + gx * R + sx;
    }
    y[(gz * p.h + gy) * p.w + gx] = x[src];
}
