#pragma once

#include <cstddef>

namespace ncnn {

class Allocator;

// A reference-counted tensor of up to four dimensions (w, h, d, c). Channels start at multiples of
// cstep elements so that each channel is aligned. Copies share data; a Mat may be read from several
// threads at once but written from one.
//
// elemsize is the size of one packed element: elempack scalars of elemsize / elempack bytes each
// (fp32 packed by 4 has elemsize 16, elempack 4). w, h, d, c and cstep count packed elements.
// A failed allocation leaves the Mat empty; callers check empty().
class Mat {
public:
    Mat();
    Mat(int w, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, int c, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, int d, int c, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, int c, size_t elemsize, int elempack, Allocator *allocator);
    // Wrap external data without owning it.
    Mat(int w, void *data, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, void *data, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(int w, int h, int c, void *data, size_t elemsize = 4u, Allocator *allocator = nullptr);
    Mat(const Mat &m);
    Mat &operator=(const Mat &m);
    ~Mat();

    void fill(float v);
    Mat clone(Allocator *allocator = nullptr) const;
    // Same data seen with another shape; copies only when the channel gaps would differ.
    Mat reshape(int w, Allocator *allocator = nullptr) const;
    Mat reshape(int w, int h, Allocator *allocator = nullptr) const;
    Mat reshape(int w, int h, int c, Allocator *allocator = nullptr) const;

    void create(int w, size_t elemsize = 4u, Allocator *allocator = nullptr);
    void create(int w, int h, size_t elemsize = 4u, Allocator *allocator = nullptr);
    void create(int w, int h, int c, size_t elemsize = 4u, Allocator *allocator = nullptr);
    void create(int w, int h, int d, int c, size_t elemsize = 4u, Allocator *allocator = nullptr);
    void create(int w, size_t elemsize, int elempack, Allocator *allocator);
    void create(int w, int h, size_t elemsize, int elempack, Allocator *allocator);
    void create(int w, int h, int c, size_t elemsize, int elempack, Allocator *allocator);
    void create(int w, int h, int d, int c, size_t elemsize, int elempack, Allocator *allocator);
    void create_like(const Mat &m, Allocator *allocator = nullptr);

    void release();
    bool empty() const;
    size_t total() const;
    // Bits of one scalar: 32 for fp32, 16 for fp16, 8 for int8.
    int elembits() const;

    // The data of channel q as a Mat that shares memory with this one.
    Mat channel(int q);
    const Mat channel(int q) const;
    float *row(int y);
    const float *row(int y) const;
    template <typename T> T *row(int y)
    {
        return reinterpret_cast<T *>(static_cast<unsigned char *>(data) +
                                     static_cast<size_t>(w) * y * elemsize);
    }
    template <typename T> const T *row(int y) const
    {
        return reinterpret_cast<const T *>(static_cast<const unsigned char *>(data) +
                                           static_cast<size_t>(w) * y * elemsize);
    }

    template <typename T> operator T *() { return static_cast<T *>(data); }
    template <typename T> operator const T *() const { return static_cast<const T *>(data); }
    float &operator[](size_t i) { return static_cast<float *>(data)[i]; }
    const float &operator[](size_t i) const { return static_cast<const float *>(data)[i]; }

    enum PixelType {
        PIXEL_CONVERT_SHIFT = 16,
        PIXEL_FORMAT_MASK = 0x0000ffff,
        PIXEL_CONVERT_MASK = 0xffff0000,

        PIXEL_RGB = 1,
        PIXEL_BGR = 2,
        PIXEL_GRAY = 3,
        PIXEL_RGBA = 4,
        PIXEL_BGRA = 5,

        PIXEL_RGB2BGR = PIXEL_RGB | (PIXEL_BGR << PIXEL_CONVERT_SHIFT),
        PIXEL_RGB2GRAY = PIXEL_RGB | (PIXEL_GRAY << PIXEL_CONVERT_SHIFT),
        PIXEL_RGB2RGBA = PIXEL_RGB | (PIXEL_RGBA << PIXEL_CONVERT_SHIFT),
        PIXEL_RGB2BGRA = PIXEL_RGB | (PIXEL_BGRA << PIXEL_CONVERT_SHIFT),

        PIXEL_BGR2RGB = PIXEL_BGR | (PIXEL_RGB << PIXEL_CONVERT_SHIFT),
        PIXEL_BGR2GRAY = PIXEL_BGR | (PIXEL_GRAY << PIXEL_CONVERT_SHIFT),
        PIXEL_BGR2RGBA = PIXEL_BGR | (PIXEL_RGBA << PIXEL_CONVERT_SHIFT),
        PIXEL_BGR2BGRA = PIXEL_BGR | (PIXEL_BGRA << PIXEL_CONVERT_SHIFT),

        PIXEL_GRAY2RGB = PIXEL_GRAY | (PIXEL_RGB << PIXEL_CONVERT_SHIFT),
        PIXEL_GRAY2BGR = PIXEL_GRAY | (PIXEL_BGR << PIXEL_CONVERT_SHIFT),
        PIXEL_GRAY2RGBA = PIXEL_GRAY | (PIXEL_RGBA << PIXEL_CONVERT_SHIFT),
        PIXEL_GRAY2BGRA = PIXEL_GRAY | (PIXEL_BGRA << PIXEL_CONVERT_SHIFT),

        PIXEL_RGBA2RGB = PIXEL_RGBA | (PIXEL_RGB << PIXEL_CONVERT_SHIFT),
        PIXEL_RGBA2BGR = PIXEL_RGBA | (PIXEL_BGR << PIXEL_CONVERT_SHIFT),
        PIXEL_RGBA2GRAY = PIXEL_RGBA | (PIXEL_GRAY << PIXEL_CONVERT_SHIFT),
        PIXEL_RGBA2BGRA = PIXEL_RGBA | (PIXEL_BGRA << PIXEL_CONVERT_SHIFT),

        PIXEL_BGRA2RGB = PIXEL_BGRA | (PIXEL_RGB << PIXEL_CONVERT_SHIFT),
        PIXEL_BGRA2BGR = PIXEL_BGRA | (PIXEL_BGR << PIXEL_CONVERT_SHIFT),
        PIXEL_BGRA2GRAY = PIXEL_BGRA | (PIXEL_GRAY << PIXEL_CONVERT_SHIFT),
        PIXEL_BGRA2RGBA = PIXEL_BGRA | (PIXEL_RGBA << PIXEL_CONVERT_SHIFT),
    };

    // 8-bit interleaved pixels to planar floats (0..255). Rows are packed unless a stride is given.
    // The low 16 bits of type name the pixel order, the high 16 bits (optional) the channel order of the
    // Mat; gray from colour uses the weights 77, 150, 29 (of 256).
    static Mat from_pixels(const unsigned char *pixels, int type, int w, int h,
                           Allocator *allocator = nullptr);
    static Mat from_pixels(const unsigned char *pixels, int type, int w, int h, int stride,
                           Allocator *allocator = nullptr);
    // Planar floats back to 8-bit interleaved pixels, rounded to nearest and saturated to 0..255. The low
    // 16 bits of type name the Mat's channel order, the high 16 bits (optional) the pixel order written.
    void to_pixels(unsigned char *pixels, int type) const;
    void to_pixels(unsigned char *pixels, int type, int stride) const;

    // In place: (x - mean) * norm per channel; either array may be null.
    void substract_mean_normalize(const float *mean_vals, const float *norm_vals);

    void *data;
    // Shared owner count; null for external data.
    int *refcount;
    size_t elemsize;
    int elempack;
    Allocator *allocator;
    int dims;
    int w;
    int h;
    int d;
    int c;
    size_t cstep;

private:
    void addref();
};

} // namespace ncnn
