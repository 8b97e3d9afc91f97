#version 450
// Resizes each channel: 1 nearest, 2 bilinear. The source coordinate of an output pixel is
// (d + 0.5) * scale - 0.5 for bilinear (d * scale with aligned corners) and floor(d * scale) for
// nearest, with the scales precomputed on the host. Each invocation resizes one channel group.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int MODE = 1;
layout(constant_id = 4) const int ALIGN_CORNER = 0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int inw;
    int inh;
    float scale_x;
    float scale_y;
} p;

void coord(int d, float scale, int n, out int i0, out float t)
{
    float f = ALIGN_CORNER != 0 ? float(d) * scale : (float(d) + 0.5) * scale - 0.5;
    i0 = int(floor(f));
    t = f - float(i0);
    if (i0 < 0) {
        i0 = 0;
        t = 0.0;
    }
    if (i0 >= n - 1) {
        i0 = max(n - 2, 0);
        t = n > 1 ? 1.0 : 0.0;
    }
}

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz * 4 >= p.c)
        return;
    const int base = gz * p.inw * p.inh;
    vec4 v;
    if (MODE == 1) {
        const int sx = min(int(float(gx) * p.scale_x), p.inw - 1);
        const int sy = min(int(float(gy) * p.scale_y), p.inh - 1);
        v = x[base + sy * p.inw + sx];
    } else {
        int sx;
        int sy;
        float tx;
        float ty;
        coord(gx, p.scale_x, p.inw, sx, tx);
        coord(gy, p.scale_y, p.inh, sy, ty);
        const int sx1 = min(sx + 1, p.inw - 1);
        const int sy1 = min(sy + 1, p.inh - 1);
        const vec4 r0 = x[base + sy * p.inw + sx] * (1.0 - tx) + x[base + sy * p.inw + sx1] * tx;
        const vec4 r1 = x[base + sy1 * p.inw + sx] * (1.0 - tx) + x[base + sy1 * p.inw + sx1] * tx;
        v = r0 * (1.0 - ty) + r1 * ty;
    }
    const bvec4 real = lessThan(ivec4(gz * 4) + ivec4(0, 1, 2, 3), ivec4(p.c));
    y[(gz * p.h + gy) * p.w + gx] = mix(vec4(0.0), v, real);
}
