#pragma once

#include "workspace/engine/finishing.h"
#include "workspace/engine/imageOutput.h"
#include "workspace/engine/upscaler.h"

#include <QString>
#include <QStringList>

// What the command line asks for.
struct CliOptions {
    enum class Action { Run, Help, Version, ListDevices, Error };
    Action action = Action::Error;
    QString error; // for Error: what was wrong, in one line
    int scale = 0; // 0: not given (4 for the install folder's pair, the network's own with --model)
    engine::Device device;
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
    engine::Finishing finishing; // --width, --height, --long-side, --factor and --strength
    QString mixParam;            // --mix FILE.param:W: a second network mixed into the first at load
    float mixWeight = 0.f;
    QStringList inputs;
};

// args as QCoreApplication::arguments() gives them, the program name first.
CliOptions parseCliOptions(const QStringList &args);

QString cliHelpText();
