#pragma once

#include "workspace/engine/finishing.h"
#include "workspace/engine/imageOutput.h"
#include "workspace/engine/upscaler.h"

#include <QString>
#include <QStringList>

// What the command line asks for.
struct CliOptions {
    enum class Action { Run, Help, Version, ListDevices, FetchModels, Error };
    Action action = Action::Error;
    QString error; // for Error: what was wrong, in one line
    int scale = 0; // 0: not given (4 for the install folder's pair, the network's own with --model)
    engine::Device device;
    engine::Precision precision = engine::Precision::Auto; // --precision
    QString gpuIdentity;  // -d gpu:UUID or gpu:PCI, resolved to an index once the GPUs are listed
    QString outputFolder; // empty: the current folder
    int tileSize = 0;     // 0: from the device's memory
    QString modelFolder;  // empty: the install folder
    QString modelParam;   // --model: any network of the family instead of the folder's pair
    bool json = false;
    bool skipExisting = false;
    bool keepTree = false;
    QString filesFrom; // a file naming inputs, "-" for standard input; empty: none
    bool nulSeparated = false;
    enum class Verbosity { Quiet, Normal, Verbose };
    Verbosity verbosity = Verbosity::Normal;
    engine::OutputFormat format; // -f/--format and --quality
    QString shard;               // --shard K/N as given; empty: from the environment or none
    int shardCount = 0;          // --shard-count; 0: not given
    QString manifest;            // --manifest FILE; empty: none
    QString cacheFolder;         // --cache-dir; empty: the user's cache folder
    int maxFailures = 0;         // --max-failures; 0: no limit
    engine::Finishing finishing; // --width, --height, --long-side, --factor and --strength
    QString mixParam;            // --mix FILE.param:W: a second network mixed into the first at load
    float mixWeight = 0.f;
    QStringList inputs;

    // "-o -": the one result goes to standard output.
    bool writesStandardOutput() const { return outputFolder == QLatin1String("-"); }
    // "-" as the only input: one picture on standard input.
    bool readsStandardInput() const { return inputs.size() == 1 && inputs.first() == QLatin1String("-"); }
};

// The program's arguments, the program name first, with names decoded losslessly (nativeName.h).
CliOptions parseCliOptions(const QStringList &args);

QString cliHelpText();
