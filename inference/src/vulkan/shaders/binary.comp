#version 450
// out = op(a, b) over a (w, h, c) volume, four channels at a time. Either operand may broadcast along
// any axis where its extent is 1 (a single channel is spread over all four lanes); b may also be a
// scalar from the push constants.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

// 0 add, 1 sub, 2 mul, 3 div, 4 max, 5 min, 6 pow, 7 rsub, 8 rdiv, 9 rpow, 10 atan2, 11 ratan2,
// 20 prelu (b holds the slopes), 21 weighted sum ca * a + cb * b.
layout(constant_id = 3) const int OP = 0;

layout(std430, binding = 0) readonly buffer A { vec4 a[]; };
layout(std430, binding = 1) readonly buffer B { vec4 b[]; };
layout(std430, binding = 2) writeonly buffer Out { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int aw;
    int ah;
    int ac;
    int bw;
    int bh;
    int bc;
    int b_is_scalar;
    float scalar;
    float ca;
    float cb;
} p;

vec4 apply(vec4 u, vec4 v)
{
    if (OP == 0)
        return u + v;
    if (OP == 1)
        return u - v;
    if (OP == 2)
        return u * v;
    if (OP == 3)
        return u / v;
    if (OP == 4)
        return max(u, v);
    if (OP == 5)
        return min(u, v);
    if (OP == 6)
        return pow(u, v);
    if (OP == 7)
        return v - u;
    if (OP == 8)
        return v / u;
    if (OP == 9)
        return pow(v, u);
    if (OP == 10)
        return atan(u, v);
    if (OP == 11)
        return atan(v, u);
    if (OP == 20)
        return mix(u * v, u, greaterThan(u, vec4(0.0)));
    return p.ca * u + p.cb * v;
}

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz * 4 >= p.c)
        return;
    const int ai = ((p.ac == 1 ? 0 : gz) * p.ah + (p.ah == 1 ? 0 : gy)) * p.aw + (p.aw == 1 ? 0 : gx);
    vec4 u = a[ai];
    if (p.ac == 1)
        u = u.xxxx;
    vec4 v = vec4(p.scalar);
    if (p.b_is_scalar == 0) {
        const int bi = ((p.bc == 1 ? 0 : gz) * p.bh + (p.bh == 1 ? 0 : gy)) * p.bw + (p.bw == 1 ? 0 : gx);
        v = b[bi];
        if (p.bc == 1)
            v = v.xxxx;
    }
    // The lanes past the last channel stay zero whatever the operation makes of them.
    const bvec4 real = lessThan(ivec4(gz * 4) + ivec4(0, 1, 2, 3), ivec4(p.c));
    y[(gz * p.h + gy) * p.w + gx] = mix(vec4(0.0), apply(u, v), real);
}
