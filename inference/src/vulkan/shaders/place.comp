#version 450
// Copies the whole input into the output at an offset: one input of a concatenation.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(std430, binding = 0) readonly buffer Input { float x[]; };
layout(std430, binding = 1) buffer Output { float y[]; };

layout(push_constant) uniform Params {
    int inw;
    int inh;
    int inc;
    int w;
    int h;
    int ox;
    int oy;
    int oz;
} p;

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.inw || gy >= p.inh || gz >= p.inc)
        return;
    y[((gz + p.oz) * p.h + gy + p.oy) * p.w + gx + p.ox] = x[(gz * p.inh + gy) * p.inw + gx];
}
