#version 450
// Gathers each output element from the input shifted by (left, top, front): padding when the shifts
// are positive, cropping when they are negative. Outside the input: 0 a constant, 1 the nearest edge,
// 2 the mirror image without repeating the edge. One invocation per pixel and channel group; a shift
// along channels moves lanes between groups, so each lane is gathered on its own.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int MODE = 0;

layout(std430, binding = 0) readonly buffer Input { vec4 x[]; };
layout(std430, binding = 1) writeonly buffer Output { vec4 y[]; };

layout(push_constant) uniform Params {
    int w;
    int h;
    int c;
    int inw;
    int inh;
    int inc;
    int left;
    int top;
    int front;
    float value;
} p;

int edge(int i, int n)
{
    if (MODE == 1)
        return clamp(i, 0, n - 1);
    if (n == 1)
        return 0;
    // Reflection folds the index back until it lands inside.
    const int period = 2 * (n - 1);
    int m = i % period;
    if (m < 0)
        m += period;
    return m < n ? m : period - m;
}

void main()
{
    const int gx = int(gl_GlobalInvocationID.x);
    const int gy = int(gl_GlobalInvocationID.y);
    const int g = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || g * 4 >= p.c)
        return;
    int ix = gx - p.left;
    int iy = gy - p.top;
    const bool inPlane = ix >= 0 && ix < p.inw && iy >= 0 && iy < p.inh;
    ix = edge(ix, p.inw);
    iy = edge(iy, p.inh);
    const int src = iy * p.inw + ix;
    vec4 v = vec4(0.0);
    for (int l = 0; l < 4; l++) {
        const int iz = g * 4 + l - p.front;
        if (g * 4 + l >= p.c)
            break;
        v[l] = p.value;
        if (iz >= 0 && iz < p.inc && (inPlane || MODE != 0))
            v[l] = x[(iz >> 2) * p.inw * p.inh + src][iz & 3];
    }
    y[(g * p.h + gy) * p.w + gx] = v;
}
