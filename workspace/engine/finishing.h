#pragma once

#include "workspace/engine/upscaler.h"

#include <QImage>
#include <QSize>
#include <QString>

namespace engine {

// The size the results are asked for, keeping each picture's aspect ratio. The default is the
// network's own scale.
struct OutputSize {
    enum class Form {
        NetworkScale,
        Width,    // width exact, height by the aspect ratio
        Height,   // height exact, width by the aspect ratio
        Fit,      // as large as fits inside width x height
        LongSide, // the longer side (the width of a square) is `width`
        Factor,   // both sides times `factor`
    };
    Form form = Form::NetworkScale;
    int width = 0;
    int height = 0;
    double factor = 0;

    bool isNetworkScale() const { return form == Form::NetworkScale; }
};

// The largest factor a size may ask of a picture, and so the most network passes it may take.
constexpr double kLargestFactor = 16;

// How a picture reaches the size asked for: how many times the network runs on it (each time on the
// previous result) and the exact size of the result.
struct SizePlan {
    int passes = 1;
    QSize networkSize; // after the passes
    QSize target;      // what is written; networkSize, or smaller (reached by a downscale)
    QString error;     // the size cannot be made; target is empty

    bool ok() const { return error.isEmpty(); }
    bool resizes() const { return target != networkSize; }
};

// The fewest passes of a network of `scale` that reach the size asked of a `source`-sized picture,
// sides rounded to the nearest pixel (at least 1). A network that does not enlarge (scale 1) runs once
// and the resampler makes the rest. Refused when the size is more than kLargestFactor times the
// picture on a side.
SizePlan planSize(QSize source, int scale, const OutputSize &asked);

// What the finishing stage does to a picture after the network; the defaults leave the result
// untouched.
struct Finishing {
    OutputSize size;
    // 0 to 100: how much of the network's result, against a plain enlargement of the source.
    int strength = 100;

    bool isDefault() const { return size.isNetworkScale() && strength >= 100; }
};

// The image at exactly `size` with a separable Lanczos-3 kernel, stretched where a side shrinks.
// 16-bit pictures stay at 16 bits, and alpha is premultiplied while the picture is resampled (in
// float). Keeps the format (Format_RGB888, RGBA8888, RGBX64, RGBA64, Grayscale8 and 16; any other
// format comes back as the nearest of those), the colour space and the resolution field. Null, with
// *error set, when it fails. Any thread.
QImage resizedPicture(const QImage &image, QSize size, QString *error = nullptr);

// Per pixel and channel, (strength x network + (100 - strength) x plain) / 100, rounded; `plain` is
// converted to the network result's format first, and must have its size. The network result itself
// at 100, the plain one (in that format) at 0. Null when the sizes differ.
QImage blendByStrength(const QImage &network, const QImage &plain, int strength);

// The picture through the network as many times as its size plan says, then resized to the plan's
// size and blended by the strength with the source enlarged the same way. With the defaults exactly
// Upscaler::upscale. `plan` receives the size plan (for the report).
UpscaleResult upscaleAndFinish(const Upscaler &upscaler, const Picture &source, const Finishing &finishing,
                               const ProgressObserver &observer = {}, StopRequest stop = nullptr,
                               SizePlan *plan = nullptr);
// An image described as it decodes (Picture::decoded), grey when `grey`.
UpscaleResult upscaleAndFinish(const Upscaler &upscaler, const QImage &source, bool grey,
                               const Finishing &finishing, const ProgressObserver &observer = {},
                               StopRequest stop = nullptr, SizePlan *plan = nullptr);

} // namespace engine
