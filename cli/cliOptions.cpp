#include "cli/cliOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

QList<QCommandLineOption> optionList()
{
    return {
        {{QStringLiteral("s"), QStringLiteral("scale")},
         QStringLiteral("Enlarge by 2 or 4 (default 4)."),
         QStringLiteral("2|4")},
        {{QStringLiteral("d"), QStringLiteral("device")},
         QStringLiteral("Run on the CPU (default), the first GPU, or GPU number N of --list-devices."),
         QStringLiteral("cpu|gpu|gpu:N")},
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("Write the results into FOLDER (default: the current folder); it is created if "
                        "missing."),
         QStringLiteral("FOLDER")},
        {{QStringLiteral("t"), QStringLiteral("tile")},
         QStringLiteral("Tile edge in source pixels, a multiple of 16 (default: from the device's free "
                        "memory)."),
         QStringLiteral("TILE")},
        {{QStringLiteral("m"), QStringLiteral("models")},
         QStringLiteral("Load realesrgan-x2plus/x4plus .param and .bin from FOLDER instead of the "
                        "application's install folder."),
         QStringLiteral("MODEL_FOLDER")},
        {{QStringLiteral("f"), QStringLiteral("format")},
         QStringLiteral("Write the results as png (default; keeps 16 bits, grey and alpha), jpg or webp."),
         QStringLiteral("png|jpg|webp")},
        {QStringLiteral("quality"),
         QStringLiteral("Quality of jpg and webp results, 1 (smallest) to 100 (best); default: the "
                        "encoder's."),
         QStringLiteral("N")},
        {{QStringLiteral("j"), QStringLiteral("json")},
         QStringLiteral("Print one JSON object per finished file on standard output.")},
        {QStringLiteral("list-devices"), QStringLiteral("List the devices -d accepts, and exit.")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help, and exit.")},
        {{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version, and exit.")},
    };
}

void setUp(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Enlarges photos x2 or x4 with the Real-ESRGAN network of Brivelle AI.\n"
        "Every picture becomes NAME.png (or .jpg, .webp) in the output folder; an existing file is\n"
        "never replaced (NAME(2).png, NAME(3).png, ... instead). Folders are searched with their\n"
        "subfolders. Of an animation or a multi-page file only the first picture is enlarged.\n"
        "Exit status: 0 every picture written, 1 some failed, 2 bad usage or models that do not\n"
        "load, 130 stopped by Ctrl-C or SIGTERM (nothing of the unfinished picture is written)."));
    parser.addOptions(optionList());
    parser.addPositionalArgument(QStringLiteral("FILE_OR_FOLDER"),
                                 QStringLiteral("Pictures, or folders of pictures."),
                                 QStringLiteral("FILE_OR_FOLDER..."));
}

CliOptions failed(QString error)
{
    CliOptions options;
    options.action = CliOptions::Action::Error;
    options.error = std::move(error);
    return options;
}

} // namespace

CliOptions parseCliOptions(const QStringList &args)
{
    QCommandLineParser parser;
    setUp(parser);
    if (!parser.parse(args))
        return failed(parser.errorText());

    CliOptions options;
    if (parser.isSet(QStringLiteral("help"))) {
        options.action = CliOptions::Action::Help;
        return options;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        options.action = CliOptions::Action::Version;
        return options;
    }
    if (parser.isSet(QStringLiteral("list-devices"))) {
        options.action = CliOptions::Action::ListDevices;
        return options;
    }

    if (parser.isSet(QStringLiteral("scale"))) {
        const QString scale = parser.value(QStringLiteral("scale"));
        if (scale != QLatin1String("2") && scale != QLatin1String("4"))
            return failed(QStringLiteral("the scale must be 2 or 4, not \"%1\"").arg(scale));
        options.scale = scale.toInt();
    }
    if (parser.isSet(QStringLiteral("device"))) {
        const QString device = parser.value(QStringLiteral("device")).toLower();
        static const QRegularExpression gpuN(QStringLiteral("^gpu:(\\d{1,3})$"));
        const QRegularExpressionMatch match = gpuN.match(device);
        if (device == QLatin1String("cpu"))
            options.device = engine::Device::cpu();
        else if (device == QLatin1String("gpu"))
            options.device = engine::Device::gpu(0);
        else if (match.hasMatch())
            options.device = engine::Device::gpu(match.captured(1).toInt());
        else
            return failed(QStringLiteral("the device must be cpu, gpu or gpu:N, not \"%1\"")
                              .arg(parser.value(QStringLiteral("device"))));
    }
    if (parser.isSet(QStringLiteral("tile"))) {
        bool number = false;
        const int tile = parser.value(QStringLiteral("tile")).toInt(&number);
        // The tiled pass steps by the edge and keeps copies at multiples of 16.
        if (!number || tile < 16 || tile > 4096 || tile % 16 != 0)
            return failed(QStringLiteral("the tile must be a multiple of 16 from 16 to 4096, not \"%1\"")
                              .arg(parser.value(QStringLiteral("tile"))));
        options.tileSize = tile;
    }
    if (parser.isSet(QStringLiteral("format")) || parser.isSet(QStringLiteral("quality"))) {
        const QString name = parser.isSet(QStringLiteral("format")) ? parser.value(QStringLiteral("format"))
                                                                    : QStringLiteral("png");
        const std::optional<engine::OutputFormat> format = engine::OutputFormat::named(name);
        if (!format)
            return failed(QStringLiteral("the format must be png, jpg or webp, not \"%1\"").arg(name));
        options.format = *format;
        if (parser.isSet(QStringLiteral("quality"))) {
            bool number = false;
            const int quality = parser.value(QStringLiteral("quality")).toInt(&number);
            if (!number || quality < 1 || quality > 100)
                return failed(QStringLiteral("the quality must be a number from 1 to 100, not \"%1\"")
                                  .arg(parser.value(QStringLiteral("quality"))));
            if (options.format.kind == engine::OutputFormat::Kind::Png)
                return failed(QStringLiteral("--quality is for jpg and webp results; png is lossless"));
            options.format.quality = quality;
        }
    }
    options.outputFolder = parser.value(QStringLiteral("output"));
    options.modelFolder = parser.value(QStringLiteral("models"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.inputs = parser.positionalArguments();
    if (options.inputs.isEmpty())
        return failed(QStringLiteral("no file or folder given"));
    options.action = CliOptions::Action::Run;
    return options;
}

QString cliHelpText()
{
    QCommandLineParser parser;
    setUp(parser);
    // The usage line names the program as it was typed, often a long path.
    QString text = parser.helpText();
    const qsizetype options = text.indexOf(QStringLiteral(" [options]"));
    if (text.startsWith(QStringLiteral("Usage: ")) && options > 0)
        text.replace(7, options - 7, QStringLiteral("brivelle-cli"));
    return text;
}
