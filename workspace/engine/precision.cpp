#include "workspace/engine/precision.h"

namespace engine {

QString precisionName(Precision precision)
{
    switch (precision) {
    case Precision::Auto:
        return QStringLiteral("auto");
    case Precision::Bf16:
        return QStringLiteral("bf16");
    case Precision::Fp16:
        return QStringLiteral("fp16");
    case Precision::Fp32:
        break;
    }
    return QStringLiteral("fp32");
}

std::optional<Precision> precisionNamed(const QString &name)
{
    for (Precision p : {Precision::Auto, Precision::Fp32, Precision::Bf16, Precision::Fp16})
        if (name.compare(precisionName(p), Qt::CaseInsensitive) == 0)
            return p;
    return std::nullopt;
}

PrecisionChoice choosePrecision(Precision asked, const DeviceAbilities &device)
{
    const Precision reduced = device.gpu ? Precision::Fp16 : Precision::Bf16;
    const bool hasReduced = device.gpu ? device.fp16Storage : device.bf16Products;
    switch (asked) {
    case Precision::Auto:
        return {hasReduced ? reduced : Precision::Fp32, {}};
    case Precision::Fp32:
        return {Precision::Fp32, {}};
    case Precision::Bf16:
    case Precision::Fp16:
        break;
    }
    if (asked == reduced && hasReduced)
        return {asked, {}};
    const QString lacks =
        asked == Precision::Bf16
            ? (device.gpu ? QStringLiteral("bf16 runs on the CPU only")
                          : QStringLiteral("it has no native bf16 products (AVX512_BF16 or AMX-BF16)"))
            : (device.gpu ? QStringLiteral("it has no 16-bit storage buffers")
                          : QStringLiteral("fp16 storage runs on a GPU only"));
    return {Precision::Fp32,
            QStringLiteral("%1 cannot run %2: %3").arg(device.name, precisionName(asked), lacks)};
}

int bytesPerValue(Precision precision)
{
    return precision == Precision::Bf16 || precision == Precision::Fp16 ? 2 : 4;
}

} // namespace engine
