#include "testModels.h"

#include "modelgen.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

namespace {

void appendFloats(QByteArray &bin, int count, QRandomGenerator &random, float spread)
{
    for (int i = 0; i < count; ++i) {
        const float value = float(random.generateDouble() * 2 - 1) * spread;
        bin.append(reinterpret_cast<const char *>(&value), sizeof value);
    }
}

void appendConvolution(QStringList &layers, QByteArray &bin, QRandomGenerator &random, const QString &name,
                       const QString &from, const QString &to, int in, int out)
{
    const int weights = in * out * 9;
    layers << QStringLiteral("Convolution %1 1 1 %2 %3 0=%4 1=3 4=1 5=1 6=%5")
                  .arg(name, from, to)
                  .arg(out)
                  .arg(weights);
    const quint32 rawFloat32 = 0;
    bin.append(reinterpret_cast<const char *>(&rawFloat32), sizeof rawFloat32);
    appendFloats(bin, weights, random, 1.0f / float(in * 3));
    appendFloats(bin, out, random, 0.05f);
}

} // namespace

bool writeTestModel(const QString &folder, const QString &name, int scale, int depth, int features)
{
    QRandomGenerator random(quint32(1000 + 10 * scale + depth));
    QStringList layers;
    QByteArray bin;
    layers << QStringLiteral("Input input 0 1 data") << QStringLiteral("Split split 1 2 data data_0 data_1");
    QString blob = QStringLiteral("data_0");
    for (int i = 0; i < depth; ++i) {
        const bool last = i == depth - 1;
        const int in = i == 0 ? 3 : features;
        const int out = last ? 3 * scale * scale : features;
        const QString next = QStringLiteral("conv%1").arg(i);
        appendConvolution(layers, bin, random, next, blob, next, in, out);
        blob = next;
        if (!last) {
            layers << QStringLiteral("PReLU prelu%1 1 1 %2 act%1 0=%3").arg(i).arg(blob).arg(features);
            appendFloats(bin, features, random, 0.25f);
            blob = QStringLiteral("act%1").arg(i);
        }
    }
    layers << QStringLiteral("PixelShuffle shuffle 1 1 %1 shuffled 0=%2").arg(blob).arg(scale)
           << QStringLiteral("Interp resize 1 1 data_1 resized 0=1 1=%1 2=%1").arg(scale)
           << QStringLiteral("BinaryOp add 2 1 shuffled resized output 0=0");

    const QString base = folder + QLatin1Char('/') + name;
    QFile param(base + QStringLiteral(".param"));
    QFile weights(base + QStringLiteral(".bin"));
    const QByteArray text = QStringLiteral("7767517\n%1 %2\n%3\n")
                                .arg(layers.size())
                                .arg(layers.size() + 1)
                                .arg(layers.join(QLatin1Char('\n')))
                                .toUtf8();
    return param.open(QIODevice::WriteOnly) && param.write(text) == text.size() &&
           weights.open(QIODevice::WriteOnly) && weights.write(bin) == bin.size();
}

bool writeTestModelPairs(const QString &folder)
{
    return writeTestModel(folder, QStringLiteral("realesrgan-x2plus"), 2) &&
           writeTestModel(folder, QStringLiteral("realesrgan-x4plus"), 4);
}

bool writeRrdbModelPairs(const QString &folder)
{
    namespace gen = brivelle::modelgen;
    for (const int scale : {2, 4}) {
        gen::RrdbConfig config;
        config.blocks = 1;
        config.features = 8;
        config.growth = 4;
        config.scale = scale;
        const gen::ModelFiles files = gen::rrdbnet(config, gen::Storage::Fp32, uint32_t(40 + scale));
        const QString base = folder + QStringLiteral("/realesrgan-x%1plus").arg(scale);
        std::string error;
        if (!gen::write_files(files, QString(base + QStringLiteral(".param")).toStdString(),
                              QString(base + QStringLiteral(".bin")).toStdString(), error))
            return false;
    }
    return true;
}

bool writeFamilyModel(const QString &base, const QString &form, int scale)
{
    namespace gen = brivelle::modelgen;
    const auto seed = uint32_t(60 + scale);
    gen::ModelFiles files;
    if (form == QLatin1String("rrdb")) {
        gen::RrdbConfig config;
        // At x1 the body runs on a quarter of the resolution: one block would see past the margin.
        config.blocks = scale == 1 ? 0 : 1;
        config.features = 8;
        config.growth = 4;
        config.scale = scale;
        files = gen::rrdbnet(config, gen::Storage::Fp32, seed);
    } else if (form == QLatin1String("srvgg")) {
        gen::SrvggConfig config;
        config.convs = 2;
        config.features = 8;
        config.scale = scale;
        files = gen::srvgg(config, gen::Storage::Fp32, seed);
    } else if (form == QLatin1String("esrgan")) {
        gen::GraphBuilder g(gen::Storage::Fp32, seed);
        const std::vector<float> lrelu{0.2f};
        g.input("data");
        g.conv("data", "c0", 3, 8, 3, 1, -1, 2, lrelu);
        std::string blob = "c0";
        for (int factor = 1, i = 1; factor < scale; factor *= 2, ++i) {
            const std::string up = "up" + std::to_string(i), conv = "c" + std::to_string(i);
            g.layer("Interp", {blob}, {up}, "0=1 1=2.000000e+00 2=2.000000e+00");
            g.conv(up, conv, 8, 8, 3, 1, -1, 2, lrelu);
            blob = conv;
        }
        g.conv(blob, "output", 8, 3, 3);
        files = g.finish();
    } else {
        return false;
    }
    std::string error;
    return gen::write_files(files, QString(base + QStringLiteral(".param")).toStdString(),
                            QString(base + QStringLiteral(".bin")).toStdString(), error);
}

bool padModel(const QString &base, qint64 paramBytes, qint64 binBytes)
{
    QFile param(base + QStringLiteral(".param"));
    if (!param.open(QIODevice::Append) || param.size() > paramBytes)
        return false;
    const QByteArray blank(paramBytes - param.size(), '\n');
    return param.write(blank) == blank.size() && QFile::resize(base + QStringLiteral(".bin"), binBytes);
}
