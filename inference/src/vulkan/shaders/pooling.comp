#version 450
// Max or average pooling, one invocation per output pixel and channel group. Averages divide by the input pixels
// under the window, or with INCLUDE_PAD by those inside the declared padding too (never the tail
// that rounding the output size up adds).

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int AVERAGE = 0;
layout(constant_id = 4) const int INCLUDE_PAD = 0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int inw;
    int inh;
    int kw;
    int kh;
    int sx;
    int sy;
    // Where the window of output 0 starts, and the declared padding on each side.
    int padl;
    int padt;
    int declaredl;
    int declaredr;
    int declaredt;
    int declaredb;
} p;

void main()
{
    const int ox = int(gl_GlobalInvocationID.x);
    const int oy = int(gl_GlobalInvocationID.y);
    const int z = int(gl_GlobalInvocationID.z);
    if (ox >= p.w || oy >= p.h || z * 4 >= p.c)
        return;
    const int x0 = ox * p.sx - p.padl;
    const int y0 = oy * p.sy - p.padt;
    const int plane = z * p.inw * p.inh;
    vec4 acc = vec4(AVERAGE != 0 ? 0.0 : -3.402823466e+38);
    int count = 0;
    for (int ky = 0; ky < p.kh; ky++) {
        const int iy = y0 + ky;
        for (int kx = 0; kx < p.kw; kx++) {
            const int ix = x0 + kx;
            if (iy < 0 || iy >= p.inh || ix < 0 || ix >= p.inw)
                continue;
            const vec4 v = x[plane + iy * p.inw + ix];
            acc = AVERAGE != 0 ? acc + v : max(acc, v);
            count++;
        }
    }
    if (AVERAGE != 0) {
        if (INCLUDE_PAD != 0) {
            // The window clipped to the input extended by the declared padding.
            const int xa = max(x0, -p.declaredl), xb = min(x0 + p.kw, p.inw + p.declaredr);
            const int ya = max(y0, -p.declaredt), yb = min(y0 + p.kh, p.inh + p.declaredb);
            count = max(xb - xa, 0) * max(yb - ya, 0);
        }
        acc = count > 0 ? acc / float(count) : vec4(0.0);
    }
    // A window over the padding alone has no maximum; the lanes past the last channel stay zero.
    const bvec4 real = lessThan(ivec4(z * 4) + ivec4(0, 1, 2, 3), ivec4(p.c));
    y[(z * p.h + oy) * p.w + ox] = mix(vec4(0.0), acc, real);
}
