#version 450
// out = x * sigmoid(x) element by element over a (w, h, c) volume, four channels at a time.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    float a;
    float b;
} p;

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz * 4 >= p.c)
        return;
    const int i = (gz * p.h + gy) * p.w + gx;
    const vec4 v = x[i];
    // The lanes past the last channel stay zero.
    const bvec4 real = lessThan(ivec4(gz * 4) + ivec4(0, 1, 2, 3), ivec4(p.c));
    y[i] = mix(vec4(0.0), v / (1.0 + exp(-v)), real);
}
