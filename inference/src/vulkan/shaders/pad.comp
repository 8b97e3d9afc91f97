#version 450
// Gathers each output element from the input shifted by (left, top, front): padding when the shifts
// are positive, cropping when they are negative. Outside the input: 0 a constant, 1 the nearest edge,
// 2 the mirror image without repeating the edge.

layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;

layout(constant_id = 3) const int MODE = 0;

layout(std430, binding = 0) readonly buffer Input { float x[]; };
layout(std430, binding = 1) writeonly buffer Output { float y[]; };

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
    const int gz = int(gl_GlobalInvocationID.z);
    if (gx >= p.w || gy >= p.h || gz >= p.c)
        return;
    int ix = gx - p.left;
    int iy = gy - p.top;
    int iz = gz - p.front;
    float v = p.value;
    const bool inside = ix >= 0 && ix < p.inw && iy >= 0 && iy < p.inh && iz >= 0 && iz < p.inc;
    if (inside || (MODE != 0 && iz >= 0 && iz < p.inc)) {
        ix = edge(ix, p.inw);
        iy = edge(iy, p.inh);
        v = x[(iz * p.inh + iy) * p.inw + ix];
    }
    y[(gz * p.h + gy) * p.w + gx] = v;
}
