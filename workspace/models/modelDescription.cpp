#include "workspace/models/modelDescription.h"

#include <QFileInfo>
#include <QStringList>

#include <ncnn/net.h>

#include <string>
#include <vector>

namespace {

// A probe size that every input multiple the tiled pass supports divides.
constexpr int kProbe = 96;
// The multiples the tiled pass can round its tiles up to: divisors of its 16-pixel grid.
constexpr int kMultiples[] = {1, 2, 4, 8, 16};
constexpr int kChannels = 3;

// The blob to use among several: the conventional name when it is there, otherwise the only one.
QString pickBlob(const std::vector<std::string> &names, const char *conventional, const QString &what,
                 QString *error)
{
    QStringList all;
    for (const std::string &name : names) {
        if (name == conventional)
            return QString::fromStdString(name);
        all << QString::fromStdString(name);
    }
    if (all.size() == 1)
        return all.first();
    *error = all.isEmpty() ? QStringLiteral("has no %1").arg(what)
                           : QStringLiteral("has %1 %2s (%3); one is expected")
                                 .arg(all.size())
                                 .arg(what, all.join(QStringLiteral(", ")));
    return {};
}

struct Probe {
    bool ok = false;
    int w = 0, h = 0, c = 0;
};

Probe probe(ncnn::ParamShapes &shapes, const ModelDescription &model, int w, int h)
{
    Probe out;
    const QByteArray blob = model.outputBlob.toUtf8();
    out.ok = shapes.blob_shape(blob.constData(), w, h, kChannels, out.w, out.h, out.c) == 0;
    return out;
}

// Whether every size that is a multiple of m comes back exactly scale times larger; two sizes with
// odd quotients find a network that rounds an odd half down.
bool takesMultiplesOf(ncnn::ParamShapes &shapes, const ModelDescription &model, int m)
{
    for (const auto &[qw, qh] : {std::pair{5, 7}, std::pair{3, 11}}) {
        const Probe p = probe(shapes, model, qw * m, qh * m);
        if (!p.ok || p.w != model.scale * qw * m || p.h != model.scale * qh * m)
            return false;
    }
    return true;
}

} // namespace

QString weightsBeside(const QString &paramPath)
{
    const QString suffix = QStringLiteral(".param");
    return (paramPath.endsWith(suffix) ? paramPath.chopped(suffix.size()) : paramPath) +
           QStringLiteral(".bin");
}

ModelDescription describeModel(const QString &paramPath)
{
    ModelDescription model;
    model.paramPath = paramPath;
    model.binPath = weightsBeside(paramPath);
    const QString name = QFileInfo(paramPath).fileName();
    auto refuse = [&](const QString &why) {
        model.error = name + QStringLiteral(": ") + why;
        return model;
    };

    ncnn::ParamShapes shapes;
    if (shapes.load_param(paramPath.toUtf8().constData()) != 0)
        return refuse(QString::fromStdString(shapes.last_error()));
    QString why;
    model.inputBlob = pickBlob(shapes.input_names(), "data", QStringLiteral("input"), &why);
    if (model.inputBlob.isEmpty())
        return refuse(why);
    model.outputBlob = pickBlob(shapes.output_names(), "output", QStringLiteral("output"), &why);
    if (model.outputBlob.isEmpty())
        return refuse(why);

    const Probe p = probe(shapes, model, kProbe, 2 * kProbe);
    if (!p.ok)
        return refuse(QStringLiteral("does not take a %1-channel picture: %2")
                          .arg(kChannels)
                          .arg(QString::fromStdString(shapes.last_error())));
    model.inputChannels = kChannels;
    model.outputChannels = p.c;
    if (p.c != kChannels)
        return refuse(QStringLiteral("has %1 output channels, not %2").arg(p.c).arg(kChannels));
    if (p.w % kProbe != 0 || p.h != p.w / kProbe * 2 * kProbe)
        return refuse(QStringLiteral("does not enlarge by a whole factor (%1x%2 becomes %3x%4)")
                          .arg(kProbe)
                          .arg(2 * kProbe)
                          .arg(p.w)
                          .arg(p.h));
    model.scale = p.w / kProbe;
    if (model.scale < 1 || model.scale > 4)
        return refuse(
            QStringLiteral("enlarges by %1; networks that enlarge by 1 to 4 are supported").arg(model.scale));
    for (const int m : kMultiples) {
        if (takesMultiplesOf(shapes, model, m)) {
            model.inputMultiple = m;
            return model;
        }
    }
    return refuse(
        QStringLiteral("does not enlarge a picture whose sides are multiples of 16 by %1").arg(model.scale));
}

Problem scaleRefusal(const ModelDescription &model, int slotScale)
{
    if (!model.isValid() || model.scale == slotScale)
        return {};
    return {Problem::Code::WrongScale, QStringLiteral("%1 enlarges by %2, not %3")
                                           .arg(QFileInfo(model.paramPath).fileName())
                                           .arg(model.scale)
                                           .arg(slotScale)};
}
