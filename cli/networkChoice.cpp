#include "cli/networkChoice.h"

#include "base/AppInfo.h"
#include "base/platform/platform.h"
#include "workspace/models/modelFiles.h"

#include <QDir>

engine::Upscaler::Config networkConfig(const CliOptions &options)
{
    engine::Upscaler::Config config;
    // As many threads as the process may keep busy: a container's quota, not the host's processors.
    config.threads = Platform::usableProcessors();
    config.modelParam = options.modelParam;
    if (config.modelParam.isEmpty()) {
        config.modelFolder = options.modelFolder.isEmpty() ? AppInfo::installFolder() : options.modelFolder;
        config.scale = options.scale == 0 ? 4 : options.scale;
    } else {
        config.scale = options.scale;
    }
    config.mixParam = options.mixParam;
    config.mixWeight = options.mixWeight;
    return config;
}

QString networkLoadError(const engine::Upscaler::Config &config, const QString &error)
{
    if (!config.modelParam.isEmpty())
        return QStringLiteral("cannot use %1: %2").arg(QDir::toNativeSeparators(config.modelParam), error);
    QString text = QStringLiteral("the x%1 model does not load from %2: %3")
                       .arg(config.scale)
                       .arg(QDir::toNativeSeparators(config.modelFolder), error);
    if (!missingModelFiles(config.modelFolder).isEmpty()) {
        const bool installFolder = config.modelFolder == AppInfo::installFolder();
        text +=
            QStringLiteral("; the model files are missing or damaged: run 'brivelle-cli --fetch-models%1' "
                           "to download them")
                .arg(installFolder ? QString()
                                   : QStringLiteral(" -m ") + QDir::toNativeSeparators(config.modelFolder));
    }
    return text;
}
