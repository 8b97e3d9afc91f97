#include "workspace/engine/finishing.h"
#include "workspace/engine/upscaler.h"

#include <QColorSpace>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

using engine::OutputSize;
using Form = engine::OutputSize::Form;

Q_DECLARE_METATYPE(engine::OutputSize)

namespace {

OutputSize sized(Form form, int width = 0, int height = 0, double factor = 0)
{
    OutputSize size;
    size.form = form;
    size.width = width;
    size.height = height;
    size.factor = factor;
    return size;
}

// A stand-in network that is not a plain enlargement: every pixel enlarged by nearest neighbour and
// its colour inverted, so a blend with the Lanczos enlargement is told apart from either.
engine::TileInference inverted(const QImage &tile, int scale)
{
    QImage out = tile.scaled(tile.size() * scale);
    out.invertPixels();
    return engine::TileInference::ok(out);
}

// A picture with detail on every pixel, odd sides, and where asked a soft transparent edge.
QImage picture(QSize size, QImage::Format format, bool transparent)
{
    QImage image(size, QImage::Format_RGBA64);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const quint16 alpha =
                transparent ? quint16(std::min(65535, x * 65535 / (size.width() / 2))) : 65535;
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16((x * 7919 + y * 104729) % 65536),
                                                   quint16((x * x + 3 * y) * 977 % 65536),
                                                   quint16((x ^ y) * 4099), alpha));
        }
    return image.convertToFormat(format);
}

// The largest difference of one channel (in the picture's own units, 8 or 16 bits) of two pictures of
// one format and size; -1 when they are not.
int largestDifference(const QImage &a, const QImage &b)
{
    if (a.format() != b.format() || a.size() != b.size())
        return -1;
    const bool wide = a.depth() == 64 || a.format() == QImage::Format_Grayscale16;
    const qsizetype values = qsizetype(a.width()) * a.depth() / (wide ? 16 : 8);
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (qsizetype i = 0; i < values; ++i) {
            const int p =
                wide ? reinterpret_cast<const quint16 *>(a.constScanLine(y))[i] : a.constScanLine(y)[i];
            const int q =
                wide ? reinterpret_cast<const quint16 *>(b.constScanLine(y))[i] : b.constScanLine(y)[i];
            worst = std::max(worst, std::abs(p - q));
        }
    return worst;
}

// An independent Lanczos-3 in double, for what the resampler should give: every output pixel of an
// axis as weights over all the input's pixels (stretched where the axis shrinks, taps beyond an edge on
// the edge pixel, normalised).
std::vector<std::vector<double>> lanczosWeights(int from, int to)
{
    const double pi = 3.14159265358979323846;
    const double stretch = std::max(1.0, double(from) / to);
    std::vector<std::vector<double>> weights(size_t(to), std::vector<double>(size_t(from), 0.0));
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * from / to - 0.5;
        double sum = 0;
        for (int t = int(centre - 4 * stretch); t <= int(centre + 4 * stretch); ++t) {
            const double x = (t - centre) / stretch;
            const double k = x == 0 ? 1
                             : std::abs(x) >= 3
                                 ? 0
                                 : 3 * std::sin(pi * x) * std::sin(pi * x / 3) / (pi * pi * x * x);
            weights[size_t(i)][size_t(std::clamp(t, 0, from - 1))] += k;
            sum += k;
        }
        for (double &w : weights[size_t(i)])
            w /= sum;
    }
    return weights;
}

// The picture at `size` by that Lanczos-3, premultiplied, as 16-bit RGBA in double.
std::vector<std::array<double, 4>> lanczosReference(const QImage &image, QSize size)
{
    const auto across = lanczosWeights(image.width(), size.width());
    const auto down = lanczosWeights(image.height(), size.height());
    std::vector<std::array<double, 4>> wide(size_t(image.height()) * size_t(size.width()));
    for (int y = 0; y < image.height(); ++y)
        for (int i = 0; i < image.width(); ++i) {
            const QRgba64 p = image.pixelColor(i, y).rgba64();
            const double a = p.alpha() / 65535.0;
            const double pixel[4] = {p.red() * a, p.green() * a, p.blue() * a, double(p.alpha())};
            for (int x = 0; x < size.width(); ++x) {
                const double w = across[size_t(x)][size_t(i)];
                for (int c = 0; c < 4 && w != 0; ++c)
                    wide[size_t(y * size.width() + x)][size_t(c)] += w * pixel[c];
            }
        }
    std::vector<std::array<double, 4>> out(size_t(size.width()) * size_t(size.height()));
    for (int y = 0; y < size.height(); ++y)
        for (int j = 0; j < image.height(); ++j)
            for (int x = 0; x < size.width(); ++x)
                for (int c = 0; c < 4; ++c)
                    out[size_t(y * size.width() + x)][size_t(c)] +=
                        down[size_t(y)][size_t(j)] * wide[size_t(j * size.width() + x)][size_t(c)];
    return out;
}

} // namespace

class FinishingTest : public QObject {
    Q_OBJECT

private slots:
    // Every size form on odd sizes: the exact result, its aspect rounding (halves up, at least one
    // pixel), the fewest passes that reach it, and the sizes refused.
    void sizePlan_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("scale");
        QTest::addColumn<OutputSize>("asked");
        QTest::addColumn<QSize>("target"); // empty: refused
        QTest::addColumn<int>("passes");

        const QSize odd(333, 199);
        QTest::newRow("network scale") << odd << 4 << OutputSize() << QSize(1332, 796) << 1;
        QTest::newRow("width") << odd << 4 << sized(Form::Width, 1000) << QSize(1000, 598) << 1;
        QTest::newRow("width, a half rounds up")
            << QSize(10, 5) << 4 << sized(Form::Width, 3) << QSize(3, 2) << 1;
        QTest::newRow("width below the picture")
            << odd << 4 << sized(Form::Width, 100) << QSize(100, 60) << 1;
        QTest::newRow("width, a side never below 1")
            << QSize(1000, 1) << 2 << sized(Form::Width, 10) << QSize(10, 1) << 1;
        QTest::newRow("height, three x2 passes")
            << odd << 2 << sized(Form::Height, 0, 1000) << QSize(1673, 1000) << 3;
        QTest::newRow("fit, the width binds")
            << odd << 4 << sized(Form::Fit, 1000, 1000) << QSize(1000, 598) << 1;
        QTest::newRow("fit, the height binds")
            << odd << 4 << sized(Form::Fit, 2000, 700) << QSize(1171, 700) << 1;
        QTest::newRow("long side of a portrait, 4K")
            << QSize(199, 333) << 4 << sized(Form::LongSide, 3840) << QSize(2295, 3840) << 2;
        QTest::newRow("long side of a square")
            << QSize(101, 101) << 2 << sized(Form::LongSide, 150) << QSize(150, 150) << 1;
        QTest::newRow("factor 3 is x4 then down")
            << odd << 4 << sized(Form::Factor, 0, 0, 3) << QSize(999, 597) << 1;
        QTest::newRow("factor 1.5 on x2")
            << odd << 2 << sized(Form::Factor, 0, 0, 1.5) << QSize(500, 299) << 1;
        QTest::newRow("factor 1 on x4") << odd << 4 << sized(Form::Factor, 0, 0, 1) << odd << 1;
        QTest::newRow("factor 4 is the network's")
            << odd << 4 << sized(Form::Factor, 0, 0, 4) << QSize(1332, 796) << 1;
        QTest::newRow("factor 5 takes two x4")
            << odd << 4 << sized(Form::Factor, 0, 0, 5) << QSize(1665, 995) << 2;
        QTest::newRow("factor 16 is four x2")
            << QSize(33, 19) << 2 << sized(Form::Factor, 0, 0, 16) << QSize(528, 304) << 4;
        QTest::newRow("x1 network, once and enlarged")
            << QSize(33, 19) << 1 << sized(Form::Factor, 0, 0, 2) << QSize(66, 38) << 1;
        QTest::newRow("16 times a side")
            << QSize(10, 9) << 2 << sized(Form::Width, 160) << QSize(160, 144) << 4;
        QTest::newRow("more than 16 times refused")
            << QSize(10, 9) << 2 << sized(Form::Width, 161) << QSize() << 0;
        QTest::newRow("height more than 16 times refused")
            << QSize(100, 10) << 4 << sized(Form::Height, 0, 161) << QSize() << 0;
        QTest::newRow("the side by the aspect refused")
            << QSize(100, 1) << 4 << sized(Form::Height, 0, 17) << QSize() << 0;
    }
    void sizePlan()
    {
        QFETCH(QSize, source);
        QFETCH(int, scale);
        QFETCH(OutputSize, asked);
        QFETCH(QSize, target);
        QFETCH(int, passes);
        const engine::SizePlan plan = engine::planSize(source, scale, asked);
        if (target.isEmpty()) {
            QVERIFY(!plan.ok());
            QVERIFY2(plan.error.contains(QStringLiteral("more than 16 times")), qPrintable(plan.error));
            return;
        }
        QVERIFY2(plan.ok(), qPrintable(plan.error));
        QCOMPARE(plan.target, target);
        QCOMPARE(plan.passes, passes);
        QCOMPARE(
            plan.networkSize, source * [&] {
                int all = 1;
                for (int i = 0; i < passes; ++i)
                    all *= scale;
                return all;
            }());
        QCOMPARE(plan.resizes(), plan.networkSize != target);
    }

    // The resampler keeps the format, the colour space and the resolution; an even area stays even at
    // 16 bits, white stays white and alpha that every tap sees opaque stays opaque, exactly; a
    // transparent neighbour's hidden colour never bleeds into a visible edge; and a detailed picture
    // with a soft transparent edge comes out as a Lanczos-3 in double gives it, within rounding, also
    // where the rows are shared between threads.
    void resampling_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("size");
        const QSize small(47, 33);
        QTest::newRow("RGB888 down") << QImage::Format_RGB888 << small << QSize(29, 17);
        QTest::newRow("RGBA8888 down") << QImage::Format_RGBA8888 << small << QSize(31, 19);
        QTest::newRow("RGBA8888 up") << QImage::Format_RGBA8888 << small << QSize(101, 61);
        QTest::newRow("RGBX64 down") << QImage::Format_RGBX64 << small << QSize(29, 17);
        QTest::newRow("RGBA64 down") << QImage::Format_RGBA64 << small << QSize(27, 15);
        QTest::newRow("Grayscale8 down") << QImage::Format_Grayscale8 << small << QSize(29, 17);
        QTest::newRow("Grayscale16 up") << QImage::Format_Grayscale16 << small << QSize(97, 55);
        QTest::newRow("RGB888 to 3/4, in bands")
            << QImage::Format_RGB888 << QSize(199, 233) << QSize(149, 175);
        QTest::newRow("RGBA8888 to 3/4, in bands")
            << QImage::Format_RGBA8888 << QSize(203, 229) << QSize(152, 172);
        QTest::newRow("RGBX64 to 1/3, in bands")
            << QImage::Format_RGBX64 << QSize(301, 421) << QSize(100, 140);
        QTest::newRow("RGBA64 down by 2.2, in bands")
            << QImage::Format_RGBA64 << QSize(211, 307) << QSize(97, 139);
        QTest::newRow("RGBA64 up, in bands") << QImage::Format_RGBA64 << QSize(61, 43) << QSize(183, 130);
    }
    void resampling()
    {
        QFETCH(QImage::Format, format);
        QFETCH(QSize, from);
        QFETCH(QSize, size);
        const bool alpha = QImage(1, 1, format).hasAlphaChannel();
        const bool wide = QImage(1, 1, format).depth() == 64 || format == QImage::Format_Grayscale16;
        // Left: hidden red, fully transparent; right: an even opaque colour not a multiple of 257.
        const int hidden = from.width() * 2 / 5;
        QImage source(from, QImage::Format_RGBA64);
        const QRgba64 even = QRgba64::fromRgba64(0x1234, 0x8765, 0x4321, 0xffff);
        for (int y = 0; y < source.height(); ++y)
            for (int x = 0; x < source.width(); ++x)
                source.setPixelColor(x, y,
                                     x < hidden && alpha ? QColor::fromRgba64(65535, 0, 0, 0) : QColor(even));
        source = source.convertToFormat(format);
        source.setColorSpace(QColorSpace::DisplayP3);
        source.setDotsPerMeterX(11811);
        source.setDotsPerMeterY(5905);

        QString error;
        const QImage resized = engine::resizedPicture(source, size, &error);
        QVERIFY2(!resized.isNull(), qPrintable(error));
        QCOMPARE(resized.size(), size);
        QCOMPARE(resized.format(), format);
        QCOMPARE(resized.colorSpace(), source.colorSpace());
        QCOMPARE(resized.dotsPerMeterX(), 11811);
        QCOMPARE(resized.dotsPerMeterY(), 5905);
        const QRgba64 expected = QColor(source.pixelColor(source.width() - 1, 0)).rgba64();
        const int tolerance = wide ? 2 : 1;
        const int step = wide ? 1 : 257;
        const double stretch = std::max(1.0, double(from.width()) / size.width());
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const QRgba64 got = resized.pixelColor(x, y).rgba64();
                // Every tap on the opaque side: opaque to the last level.
                if ((x + 0.5) * from.width() / size.width() - 0.5 - 3 * stretch > hidden)
                    QCOMPARE(got.alpha(), quint16(65535));
                if (got.alpha() == 0)
                    continue;
                // Seen at all: the colour of the opaque side, whatever its coverage.
                QVERIFY2(std::abs(int(got.red()) - int(expected.red())) <= tolerance * step &&
                             std::abs(int(got.green()) - int(expected.green())) <= tolerance * step &&
                             std::abs(int(got.blue()) - int(expected.blue())) <= tolerance * step,
                         qPrintable(QStringLiteral("(%1, %2): %3 %4 %5 alpha %6")
                                        .arg(x)
                                        .arg(y)
                                        .arg(got.red())
                                        .arg(got.green())
                                        .arg(got.blue())
                                        .arg(got.alpha())));
            }

        QImage white(from, format);
        white.fill(Qt::white);
        const QImage whiteResized = engine::resizedPicture(white, size);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                QCOMPARE(whiteResized.pixelColor(x, y).rgba64(),
                         QRgba64::fromRgba64(65535, 65535, 65535, 65535));

        // Detail on every pixel: against the reference wherever the result is not nearly clear (there
        // the colour is the quotient of two small sums). Grey pictures are grey throughout.
        const QImage detailed = picture(from, format, alpha);
        const QImage detailedResized = engine::resizedPicture(detailed, size);
        const auto reference = lanczosReference(detailed, size);
        const auto level = [](double v) {
            return std::clamp(v, 0.0, 65535.0);
        };
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const auto &r = reference[size_t(y * size.width() + x)];
                const QRgba64 got = detailedResized.pixelColor(x, y).rgba64();
                const double a = level(r[3]);
                if (a < 65535 / 4)
                    continue;
                const double wanted[4] = {level(r[0] * 65535 / r[3]), level(r[1] * 65535 / r[3]),
                                          level(r[2] * 65535 / r[3]), a};
                const int values[4] = {got.red(), got.green(), got.blue(), got.alpha()};
                for (int c = 0; c < 4; ++c)
                    QVERIFY2(std::abs(values[c] - wanted[c]) <= tolerance * step,
                             qPrintable(QStringLiteral("(%1, %2) channel %3: %4, not %5")
                                            .arg(x)
                                            .arg(y)
                                            .arg(c)
                                            .arg(values[c])
                                            .arg(wanted[c])));
            }
    }

    // The strength mixes the network's result with the Lanczos enlargement of the source, at the
    // network's size or at another: 0 is the enlargement, 100 the network (today's result, byte for
    // byte, with the defaults), 50 their mean within rounding.
    void strength_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<bool>("transparent");
        QTest::addColumn<OutputSize>("asked");
        QTest::newRow("RGB, network scale") << QImage::Format_RGB32 << false << OutputSize();
        QTest::newRow("RGB, factor 3") << QImage::Format_RGB32 << false << sized(Form::Factor, 0, 0, 3);
        QTest::newRow("transparent, width 101") << QImage::Format_ARGB32 << true << sized(Form::Width, 101);
        QTest::newRow("16-bit transparent, factor 2.5")
            << QImage::Format_RGBA64 << true << sized(Form::Factor, 0, 0, 2.5);
        QTest::newRow("grey, factor 5, two passes")
            << QImage::Format_Grayscale8 << false << sized(Form::Factor, 0, 0, 5);
    }
    void strength()
    {
        QFETCH(QImage::Format, format);
        QFETCH(bool, transparent);
        QFETCH(OutputSize, asked);
        const QImage source = picture(QSize(37, 23), format, transparent);
        const engine::Upscaler upscaler([](const QImage &tile) { return inverted(tile, 4); }, 4,
                                        engine::Device::cpu(), 32);
        // Today's result, and the network's at the size asked for.
        const engine::UpscaleResult today = upscaler.upscale(source);
        QVERIFY(today.isOk());
        const engine::SizePlan plan = engine::planSize(source.size(), 4, asked);
        QImage network = today.image;
        for (int pass = 2; pass <= plan.passes; ++pass)
            network = upscaler.upscale(network).image;
        if (plan.resizes())
            network = engine::resizedPicture(network, plan.target);
        QVERIFY(!network.isNull());
        const QImage plain = engine::resizedPicture(source, plan.target).convertToFormat(network.format());

        QImage results[3];
        const int strengths[3] = {0, 50, 100};
        for (int i = 0; i < 3; ++i) {
            engine::Finishing finishing;
            finishing.size = asked;
            finishing.strength = strengths[i];
            const engine::UpscaleResult result = engine::upscaleAndFinish(upscaler, source, false, finishing);
            QVERIFY2(result.isOk(), qPrintable(result.reason));
            QCOMPARE(result.image.size(), plan.target);
            results[i] = result.image;
        }
        QCOMPARE(largestDifference(results[0], plain), 0);
        QCOMPARE(largestDifference(results[2], network), 0);
        if (asked.isNetworkScale())
            QCOMPARE(results[2], today.image);
        QVERIFY(largestDifference(plain, network) > 50);
        const int mean = largestDifference(results[1], engine::blendByStrength(network, plain, 50));
        QCOMPARE(mean, 0);
        // And the mean itself, channel by channel, within rounding.
        QImage half = network;
        for (int y = 0; y < half.height(); ++y) {
            const bool wide = half.depth() == 64;
            const qsizetype values = qsizetype(half.width()) * half.depth() / (wide ? 16 : 8);
            for (qsizetype v = 0; v < values; ++v) {
                if (wide) {
                    auto *to = reinterpret_cast<quint16 *>(half.scanLine(y));
                    to[v] =
                        quint16((to[v] + reinterpret_cast<const quint16 *>(plain.constScanLine(y))[v]) / 2);
                } else {
                    half.scanLine(y)[v] = uchar((half.scanLine(y)[v] + plain.constScanLine(y)[v]) / 2);
                }
            }
        }
        QVERIFY(largestDifference(results[1], half) <= 1);
    }
};

QTEST_GUILESS_MAIN(FinishingTest)
#include "tst_finishing.moc"
