#version 450
// Copies the whole input into the output at an offset: one input of a concatenation. One invocation
// per pixel and output channel group the input reaches; lanes of other inputs are left alone, lanes
// past the output's last channel are zeroed.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int inw;
    int inh;
    int inc;
    int w;
    int h;
    int c;
    int ox;
    int oy;
    int oz;
} p;

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int g = p.oz / 4 + int(gl_GlobalInvocationID.z);
    if (gx >= p.inw || gy >= p.inh || g * 4 >= p.oz + p.inc)
        return;
    const int inPlane = p.inw * p.inh;
    const int src = gy * p.inw + gx;
    const int dst = (g * p.h + gy + p.oy) * p.w + gx + p.ox;
    // Aligned and whole: one vec4.
    if ((p.oz & 3) == 0 && g * 4 + 4 <= p.oz + p.inc) {
        y[dst] = x[(g - p.oz / 4) * inPlane + src];
        return;
    }
    for (int l = 0; l < 4; l++) {
        const int q = g * 4 + l - p.oz;
        if (q >= 0 && q < p.inc)
            y[dst][l] = x[(q >> 2) * inPlane + src][q & 3];
        else if (g * 4 + l >= p.c)
            y[dst][l] = 0.0;
    }
}
