#include "workspace/engine/networkInference.h"

#include <QElapsedTimer>

#include <ncnn/errors.h>
#include <ncnn/mat.h>
#include <ncnn/net.h>

#include <cmath>

namespace engine {

namespace {

using Status = TileInference::Status;

bool outOfMemory(int rc)
{
    return rc == ncnn::ERROR_OUT_OF_MEMORY;
}

// The network's input at 16 bits a channel, scaled to 0..1 as the 8-bit path scales its bytes.
ncnn::Mat deepInput(const QImage &rgbx)
{
    ncnn::Mat in(rgbx.width(), rgbx.height(), 3);
    if (in.empty())
        return in;
    const int width = rgbx.width();
    for (int q = 0; q < 3; ++q) {
        float *plane = in.channel(q);
        for (int y = 0; y < rgbx.height(); ++y) {
            const auto *row = reinterpret_cast<const quint16 *>(rgbx.constScanLine(y));
            float *to = plane + size_t(y) * size_t(width);
            for (int x = 0; x < width; ++x)
                to[x] = float(row[4 * x + q]) * (1.f / 65535.f);
        }
    }
    return in;
}

// Rounded and clamped as the 8-bit path's conversion does it.
quint16 deepValue(float v)
{
    const float scaled = v * 65535.f;
    if (!(scaled > 0.f)) // also NaN
        return 0;
    if (scaled >= 65535.f)
        return 65535;
    return quint16(int(scaled + 0.5f));
}

QImage deepOutput(const ncnn::Mat &out)
{
    QImage result(out.w, out.h, QImage::Format_RGBX64);
    if (result.isNull())
        return result;
    for (int y = 0; y < out.h; ++y) {
        auto *row = reinterpret_cast<quint16 *>(result.scanLine(y));
        for (int q = 0; q < 3; ++q) {
            const float *from = out.channel(q).row(y);
            for (int x = 0; x < out.w; ++x)
                row[4 * x + q] = deepValue(from[x]);
        }
        for (int x = 0; x < out.w; ++x)
            row[4 * x + 3] = 65535;
    }
    return result;
}

} // namespace

TileInference inferImage(const ncnn::Net &net, const QImage &image, qint64 *networkNs,
                         const NetworkBlobs &blobs, const std::atomic<bool> *stop,
                         const std::function<void(int, int)> *layersDone)
{
    if (image.isNull())
        return {{}, Status::Failed, QStringLiteral("null tile")};
    // A tile of a deep picture goes in and comes out at 16 bits a channel.
    const bool deep = image.depth() == 64;
    ncnn::Mat in;
    if (deep) {
        in = deepInput(
            image.format() == QImage::Format_RGBX64 ? image : image.convertToFormat(QImage::Format_RGBX64));
    } else {
        const QImage rgb =
            image.format() == QImage::Format_RGB888 ? image : image.convertToFormat(QImage::Format_RGB888);
        // The stride keeps rows right even for a width that is not a multiple of 4.
        in = ncnn::Mat::from_pixels(rgb.constBits(), ncnn::Mat::PIXEL_RGB, rgb.width(), rgb.height(),
                                    int(rgb.bytesPerLine()));
        if (!in.empty()) {
            const float norm[3] = {1 / 255.f, 1 / 255.f, 1 / 255.f};
            in.substract_mean_normalize(nullptr, norm);
        }
    }
    if (in.empty())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the input of the tile")};

    QElapsedTimer clock;
    clock.start();
    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(true);
    ex.set_stop_request(stop);
    ex.set_progress(layersDone);
    ex.input(blobs.input.constData(), in);
    ncnn::Mat out;
    const int rc = ex.extract(blobs.output.constData(), out);
    if (networkNs)
        *networkNs += clock.nsecsElapsed();
    if (rc == ncnn::ERROR_CANCELLED)
        return {{}, Status::Cancelled, QStringLiteral("stopped")};
    if (rc != 0 || out.empty()) {
        const QString why = QString::fromStdString(ex.last_error());
        return {{},
                outOfMemory(rc)                 ? Status::OutOfMemory
                : rc == ncnn::ERROR_DEVICE_LOST ? Status::DeviceLost
                                                : Status::Failed,
                why.isEmpty() ? QStringLiteral("the network gave no output") : why};
    }
    if (out.c != 3 || out.elempack != 1 || out.elemsize != 4)
        return {{},
                Status::Failed,
                QStringLiteral("unexpected output: %1 channels, pack %2, %3-byte elements")
                    .arg(out.c)
                    .arg(out.elempack)
                    .arg(out.elemsize)};

    QImage result;
    if (deep) {
        result = deepOutput(out);
    } else {
        for (int q = 0; q < out.c; ++q) {
            float *values = out.channel(q);
            const size_t count = size_t(out.w) * size_t(out.h);
            for (size_t i = 0; i < count; ++i)
                values[i] *= 255.f;
        }
        result = QImage(out.w, out.h, QImage::Format_RGB888);
        if (!result.isNull())
            out.to_pixels(result.bits(), ncnn::Mat::PIXEL_RGB, int(result.bytesPerLine()));
    }
    if (result.isNull())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the output of the tile")};
    return TileInference::ok(std::move(result));
}

} // namespace engine
