#pragma once

#include "cli/cliOptions.h"
#include "workspace/engine/upscaler.h"

#include <QString>

// The network the options name: --model's file, or the pair of -s (default 4) in -m's folder or the
// application's install folder.
engine::Upscaler::Config networkConfig(const CliOptions &options);

// One line for a network that the upscaler refused, naming what was asked for.
QString networkLoadError(const engine::Upscaler::Config &config, const QString &error);
