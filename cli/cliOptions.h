#pragma once

#include "workspace/engine/imageOutput.h"
#include "workspace/engine/upscaler.h"

#include <QString>
#include <QStringList>

// What the command line asks for.
struct CliOptions {
    enum class Action { Run, Help, Version, ListDevices, Error };
    Action action = Action::Error;
    QString error; // for Error: what was wrong, in one line
    int scale = 4;
    engine::Device device;
    QString outputFolder; // empty: the current folder
    int tileSize = 0;     // 0: from the device's memory
    QString modelFolder;  // empty: the install folder
    bool json = false;
    engine::OutputFormat format; // -f/--format and --quality
    QStringList inputs;
};

// args as QCoreApplication::arguments() gives them, the program name first.
CliOptions parseCliOptions(const QStringList &args);

QString cliHelpText();
