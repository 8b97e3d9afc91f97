#version 450
// out = f(in) element by element over a (w, h, c) volume, four channels at a time.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

// 0 ReLU (leaky with slope a), 1 clip to [a, b], 2 sigmoid.
layout(constant_id = 3) const int OP = 0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    float a;
    float b;
} p;

vec4 apply(vec4 v)
{
    if (OP == 0)
        return mix(v * p.a, v, greaterThan(v, vec4(0.0)));
    if (OP == 1)
        return clamp(v, vec4(p.a), vec4(p.b));
    return 1.0 / (1.0 + exp(-v));
}

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz * 4 >= p.c)
        return;
    const int i = (gz * p.h + gy) * p.w + gx;
    // The lanes past the last channel stay zero whatever the function makes of them.
    const bvec4 real = lessThan(ivec4(gz * 4) + ivec4(0, 1, 2, 3), ivec4(p.c));
    y[i] = mix(vec4(0.0), apply(x[i]), real);
}
