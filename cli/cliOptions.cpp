#include "cli/cliOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <optional>

namespace {

QList<QCommandLineOption> optionList()
{
    return {
        {{QStringLiteral("s"), QStringLiteral("scale")},
         QStringLiteral("Enlarge by 2 or 4 (default 4); with --model, the network's own scale."),
         QStringLiteral("1-4")},
        {{QStringLiteral("d"), QStringLiteral("device")},
         QStringLiteral(
             "Run on the CPU (default), the first GPU, or a GPU of --list-devices by its number N, "
             "its UUID or its PCI address. BRIVELLE_VISIBLE_DEVICES (numbers or UUIDs, comma-"
             "separated) limits the GPUs the program sees."),
         QStringLiteral("cpu|gpu|gpu:N|gpu:UUID|gpu:PCI")},
        {QStringLiteral("precision"),
         QStringLiteral("Compute in this precision. auto (default): bf16 on a CPU that multiplies bf16 "
                        "natively (AVX512_BF16, AMX), 16-bit storage on a GPU that has it, fp32 "
                        "elsewhere; fp32: full precision; bf16 or fp16: forced, refused (exit status 2) "
                        "by a device without it."),
         QStringLiteral("auto|fp32|bf16|fp16")},
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("Write the results into FOLDER (default: the current folder); it is created if "
                        "missing. '-': the one result to standard output."),
         QStringLiteral("FOLDER")},
        {{QStringLiteral("t"), QStringLiteral("tile")},
         QStringLiteral("Tile edge in source pixels, a multiple of 16 (default: from the device's free "
                        "memory)."),
         QStringLiteral("TILE")},
        {{QStringLiteral("m"), QStringLiteral("models")},
         QStringLiteral("Load realesrgan-x2plus/x4plus .param and .bin from FOLDER instead of the "
                        "application's install folder."),
         QStringLiteral("MODEL_FOLDER")},
        {QStringLiteral("model"),
         QStringLiteral("Run this network of the Real-ESRGAN family (FILE.bin beside it) instead of the "
                        "x2plus/x4plus pair; -s, when given, must be its scale (1 to 4)."),
         QStringLiteral("FILE.param")},
        {QStringLiteral("files-from"),
         QStringLiteral("Also read the names of inputs from FILE, one a line ('-': standard input)."),
         QStringLiteral("FILE")},
        {{QStringLiteral("0"), QStringLiteral("null")},
         QStringLiteral("Names in the --files-from list end with a NUL character, not a newline.")},
        {QStringLiteral("skip-existing"),
         QStringLiteral("Leave out inputs whose result an earlier run already wrote into the output "
                        "folder (to resume a stopped run).")},
        {QStringLiteral("keep-tree"),
         QStringLiteral("Mirror the subfolders of input folders under the output folder, instead of "
                        "writing every result into it.")},
        {{QStringLiteral("f"), QStringLiteral("format")},
         QStringLiteral("Write the results as png (default), tif (deflate) or jxl (lossless unless "
                        "--quality is given), which keep 16 bits, grey and alpha, avif (10 bits), jpg or "
                        "webp."),
         QStringLiteral("png|tif|jxl|avif|jpg|webp")},
        {QStringLiteral("quality"),
         QStringLiteral("Quality of jpg, webp, jxl and avif results, 1 (smallest) to 100 (best); "
                        "default: the encoder's (avif: 80; jxl: lossless)."),
         QStringLiteral("N")},
        {QStringLiteral("dpi"),
         QStringLiteral("Print resolution every result states, in dots per inch; default: the "
                        "source's, or none when it states none."),
         QStringLiteral("N")},
        {QStringLiteral("shard"),
         QStringLiteral("Take only part K of N of the inputs (1 <= K <= N), split by a hash of each path "
                        "below the folder named, the same on every machine. Without it, a Slurm array "
                        "task (SLURM_ARRAY_TASK_ID, _MIN, _COUNT) or a Kubernetes indexed job "
                        "(JOB_COMPLETION_INDEX, with --shard-count) names the part."),
         QStringLiteral("K/N")},
        {QStringLiteral("shard-count"),
         QStringLiteral("The number of parts, N, for JOB_COMPLETION_INDEX (or a Slurm array)."),
         QStringLiteral("N")},
        {QStringLiteral("manifest"),
         QStringLiteral("Append one JSON line per input to FILE as it ends, and a last one when the run "
                        "ends; a rerun with the same FILE leaves out what it records as written and "
                        "still there. One run at a time holds FILE."),
         QStringLiteral("FILE")},
        {QStringLiteral("cache-dir"),
         QStringLiteral("Keep the GPU's compiled shaders in FOLDER (default: brivelle in $XDG_CACHE_HOME "
                        "or ~/.cache), so that later runs start sooner; shared by runs at once, and "
                        "only read when it cannot be written."),
         QStringLiteral("FOLDER")},
        {QStringLiteral("max-failures"),
         QStringLiteral("Stop after the N-th input that fails (exit status 1)."), QStringLiteral("N")},
        {QStringLiteral("width"),
         QStringLiteral("Make every result W pixels wide, keeping its aspect ratio; with --height, as "
                        "large as fits inside W x H."),
         QStringLiteral("W")},
        {QStringLiteral("height"),
         QStringLiteral("Make every result H pixels high, keeping its aspect ratio."), QStringLiteral("H")},
        {QStringLiteral("long-side"),
         QStringLiteral("Make the longer side of every result N pixels (3840 for 4K)."), QStringLiteral("N")},
        {QStringLiteral("factor"),
         QStringLiteral("Enlarge by F, a decimal from 1 to 16 (3, 1.5): the network as many times as "
                        "needed, then a Lanczos-3 downscale to the exact size."),
         QStringLiteral("F")},
        {QStringLiteral("strength"),
         QStringLiteral("Detail strength, 0 to 100 (default 100, the network's result): lower values mix "
                        "in a plain enlargement of the picture."),
         QStringLiteral("P")},
        {QStringLiteral("mix"),
         QStringLiteral("Mix the weights of a second network of the same architecture (FILE.bin beside "
                        "it) into the first: (1 - W) x first + W x second, W from 0 to 1."),
         QStringLiteral("FILE.param:W")},
        {{QStringLiteral("j"), QStringLiteral("json")},
         QStringLiteral("Print one JSON object per input on standard output.")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print only errors.")},
        {{QStringLiteral("v"), QStringLiteral("verbose")},
         QStringLiteral("Print every tile, and the messages of the image libraries.")},
        {QStringLiteral("list-devices"), QStringLiteral("List the devices -d accepts, and exit.")},
        {QStringLiteral("fetch-models"),
         QStringLiteral("Download the missing or damaged realesrgan-x2plus/x4plus files from the vendor's "
                        "server into the install folder (or -m's), and exit: 0 all in place, 1 a download "
                        "failed, 2 the folder is unknown or cannot be written.")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help, and exit.")},
        {{QStringLiteral("V"), QStringLiteral("version")}, QStringLiteral("Show the version, and exit.")},
    };
}

void setUp(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Enlarges photos x2 or x4 with the Real-ESRGAN network of Brivelle AI.\n"
        "Every picture becomes NAME.png (or .tif, .jxl, .avif, .jpg, .webp) in the output folder; an\n"
        "existing file is never replaced (NAME(2).png, NAME(3).png, ... instead). Folders are searched with "
        "their\n"
        "subfolders for gif, heif, heic, avif, jxl, jpg, jpeg, png, tif, tiff and webp files, leaving\n"
        "out results of this program; a named file must be one of them too. Of an animation or a\n"
        "multi-page file only the first picture is enlarged. A size (--width, --height, --long-side,\n"
        "--factor) runs the network as often as it needs, then a Lanczos-3 downscale makes it exact.\n"
        "Exit status: 0 every picture written, 1 some failed or standard output was closed, 2 bad\n"
        "usage, models that do not load, an output folder that cannot be written or a manifest in\n"
        "use, 75 every failure was one that a retry may mend (the GPU was lost, memory ran\n"
        "out even with the smallest tiles, the disk was full, an input vanished), 130 stopped by\n"
        "Ctrl-C or SIGTERM (between two layers of the network; nothing of the unfinished picture\n"
        "is written; a second signal also abandons the results being written).\n"
        "Without the model files, brivelle-cli --fetch-models downloads them.\n"
        "File names are bytes: one that is not UTF-8 is read and its result named byte for byte;\n"
        "stderr shows such a byte as \\xNN, and -j records hold it as the escape \\udcXX (U+DC80 to\n"
        "U+DCFF, as Python's os.fsdecode() gives and os.fsencode() takes back)."));
    parser.addOptions(optionList());
    parser.addPositionalArgument(QStringLiteral("FILE_OR_FOLDER"),
                                 QStringLiteral("Pictures, or folders of pictures; '-' alone: one picture on "
                                                "standard input (its result is named stdin)."),
                                 QStringLiteral("FILE_OR_FOLDER..."));
}

// A decimal from `lowest` to `highest`, or nothing.
std::optional<double> decimalIn(const QString &text, double lowest, double highest)
{
    static const QRegularExpression decimal(QStringLiteral("^\\d{1,6}(\\.\\d{1,6})?$"));
    if (!decimal.match(text).hasMatch())
        return std::nullopt;
    const double value = text.toDouble();
    return value >= lowest && value <= highest ? std::optional<double>(value) : std::nullopt;
}

// --width, --height, --long-side, --factor, --strength and --mix into options; the error, or nothing.
QString parseResultOptions(const QCommandLineParser &parser, CliOptions &options)
{
    using Form = engine::OutputSize::Form;
    engine::OutputSize &size = options.finishing.size;
    const auto side = [&](const QString &name, int *into) {
        bool number = false;
        *into = parser.value(name).toInt(&number);
        return number && *into >= 1 && *into <= 1000000;
    };
    const bool width = parser.isSet(QStringLiteral("width"));
    const bool height = parser.isSet(QStringLiteral("height"));
    const bool longSide = parser.isSet(QStringLiteral("long-side"));
    const bool factor = parser.isSet(QStringLiteral("factor"));
    if (int(width || height) + int(longSide) + int(factor) > 1)
        return QStringLiteral(
            "--width/--height, --long-side and --factor are ways to give the size; give one");
    if ((width && !side(QStringLiteral("width"), &size.width)) ||
        (height && !side(QStringLiteral("height"), &size.height)) ||
        (longSide && !side(QStringLiteral("long-side"), &size.width)))
        return QStringLiteral("a size must be a whole number of pixels from 1 to 1000000");
    size.form = width && height ? Form::Fit
                : width         ? Form::Width
                : height        ? Form::Height
                : longSide      ? Form::LongSide
                                : Form::NetworkScale;
    if (factor) {
        const std::optional<double> value =
            decimalIn(parser.value(QStringLiteral("factor")), 1, engine::kLargestFactor);
        if (!value)
            return QStringLiteral("the factor must be a decimal from 1 to 16, not \"%1\"")
                .arg(parser.value(QStringLiteral("factor")));
        size.form = Form::Factor;
        size.factor = *value;
    }
    if (parser.isSet(QStringLiteral("strength"))) {
        bool number = false;
        options.finishing.strength = parser.value(QStringLiteral("strength")).toInt(&number);
        if (!number || options.finishing.strength < 0 || options.finishing.strength > 100)
            return QStringLiteral("the strength must be a whole number from 0 to 100, not \"%1\"")
                .arg(parser.value(QStringLiteral("strength")));
    }
    if (parser.isSet(QStringLiteral("mix"))) {
        const QString mix = parser.value(QStringLiteral("mix"));
        const qsizetype colon = mix.lastIndexOf(QLatin1Char(':'));
        const std::optional<double> weight = colon > 0 ? decimalIn(mix.mid(colon + 1), 0, 1) : std::nullopt;
        if (!weight || !mix.left(colon).endsWith(QStringLiteral(".param")))
            return QStringLiteral("--mix takes FILE.param:W with W from 0 to 1, not \"%1\"").arg(mix);
        options.mixParam = mix.left(colon);
        options.mixWeight = float(*weight);
    }
    return {};
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

    if (parser.isSet(QStringLiteral("fetch-models"))) {
        if (parser.isSet(QStringLiteral("model")) || !parser.positionalArguments().isEmpty())
            return failed(QStringLiteral("--fetch-models takes no pictures and no --model, only -m FOLDER"));
        options.action = CliOptions::Action::FetchModels;
        options.modelFolder = parser.value(QStringLiteral("models"));
        options.verbosity = parser.isSet(QStringLiteral("quiet")) ? CliOptions::Verbosity::Quiet
                                                                  : CliOptions::Verbosity::Normal;
        return options;
    }

    // Any network of the family: its own description says the scale, which -s may only confirm.
    if (parser.isSet(QStringLiteral("model"))) {
        options.modelParam = parser.value(QStringLiteral("model"));
        if (parser.isSet(QStringLiteral("models")))
            return failed(QStringLiteral("--model and -m both name networks; give one of them"));
        if (!options.modelParam.endsWith(QStringLiteral(".param")))
            return failed(
                QStringLiteral("--model must name a .param file, not \"%1\"").arg(options.modelParam));
    }
    if (parser.isSet(QStringLiteral("scale"))) {
        const QString scale = parser.value(QStringLiteral("scale"));
        const bool anyNetwork = !options.modelParam.isEmpty();
        static const QRegularExpression allowed(QStringLiteral("^[24]$")),
            allowedAny(QStringLiteral("^[1-4]$"));
        if (!(anyNetwork ? allowedAny : allowed).match(scale).hasMatch())
            return failed(
                QStringLiteral("the scale must be %1, not \"%2\"")
                    .arg(anyNetwork ? QStringLiteral("1, 2, 3 or 4") : QStringLiteral("2 or 4"), scale));
        options.scale = scale.toInt();
    }
    if (parser.isSet(QStringLiteral("device"))) {
        const QString device = parser.value(QStringLiteral("device")).toLower();
        static const QRegularExpression gpuN(QStringLiteral("^gpu:(\\d{1,3})$"));
        // A UUID (dashes optional) or a PCI address with or without its domain.
        static const QRegularExpression gpuId(QStringLiteral(
            "^gpu:((?:[0-9a-f]-?){31}[0-9a-f]|(?:[0-9a-f]{4}:)?[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7])$"));
        const QRegularExpressionMatch match = gpuN.match(device);
        const QRegularExpressionMatch identity = gpuId.match(device);
        if (device == QLatin1String("cpu"))
            options.device = engine::Device::cpu();
        else if (device == QLatin1String("gpu"))
            options.device = engine::Device::gpu(0);
        else if (match.hasMatch())
            options.device = engine::Device::gpu(match.captured(1).toInt());
        else if (identity.hasMatch()) {
            options.device = engine::Device::gpu(0);
            options.gpuIdentity = identity.captured(1);
        } else
            return failed(
                QStringLiteral("the device must be cpu, gpu, gpu:N, gpu:UUID or gpu:PCI, not \"%1\"")
                    .arg(parser.value(QStringLiteral("device"))));
    }
    if (parser.isSet(QStringLiteral("precision"))) {
        const std::optional<engine::Precision> precision =
            engine::precisionNamed(parser.value(QStringLiteral("precision")));
        if (!precision)
            return failed(QStringLiteral("the precision must be auto, fp32, bf16 or fp16, not \"%1\"")
                              .arg(parser.value(QStringLiteral("precision"))));
        options.precision = *precision;
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
            return failed(
                QStringLiteral("the format must be png, tif, jxl, avif, jpg or webp, not \"%1\"").arg(name));
        options.format = *format;
        if (parser.isSet(QStringLiteral("quality"))) {
            bool number = false;
            const int quality = parser.value(QStringLiteral("quality")).toInt(&number);
            if (!number || quality < 1 || quality > 100)
                return failed(QStringLiteral("the quality must be a number from 1 to 100, not \"%1\"")
                                  .arg(parser.value(QStringLiteral("quality"))));
            if (!options.format.takesQuality())
                return failed(
                    QStringLiteral("--quality is for jpg, webp, jxl and avif results; %1 is lossless")
                        .arg(name.toLower()));
            options.format.quality = quality;
        }
    }
    if (parser.isSet(QStringLiteral("dpi"))) {
        bool number = false;
        const double dpi = parser.value(QStringLiteral("dpi")).toDouble(&number);
        if (!number || !(dpi >= 1 && dpi <= 100000))
            return failed(QStringLiteral("the resolution must be a number of dots per inch from 1 to 100000, "
                                         "not \"%1\"")
                              .arg(parser.value(QStringLiteral("dpi"))));
        options.format.dpi = dpi;
    }
    options.shard = parser.value(QStringLiteral("shard"));
    if (parser.isSet(QStringLiteral("shard-count"))) {
        bool number = false;
        options.shardCount = parser.value(QStringLiteral("shard-count")).toInt(&number);
        if (!number || options.shardCount < 1)
            return failed(QStringLiteral("--shard-count must be a number from 1, not \"%1\"")
                              .arg(parser.value(QStringLiteral("shard-count"))));
    }
    options.manifest = parser.value(QStringLiteral("manifest"));
    options.cacheFolder = parser.value(QStringLiteral("cache-dir"));
    if (parser.isSet(QStringLiteral("max-failures"))) {
        bool number = false;
        options.maxFailures = parser.value(QStringLiteral("max-failures")).toInt(&number);
        if (!number || options.maxFailures < 1)
            return failed(QStringLiteral("--max-failures must be a number from 1, not \"%1\"")
                              .arg(parser.value(QStringLiteral("max-failures"))));
    }
    if (const QString problem = parseResultOptions(parser, options); !problem.isEmpty())
        return failed(problem);
    options.outputFolder = parser.value(QStringLiteral("output"));
    options.modelFolder = parser.value(QStringLiteral("models"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.skipExisting = parser.isSet(QStringLiteral("skip-existing"));
    options.keepTree = parser.isSet(QStringLiteral("keep-tree"));
    options.filesFrom = parser.value(QStringLiteral("files-from"));
    options.nulSeparated = parser.isSet(QStringLiteral("null"));
    if (options.nulSeparated && options.filesFrom.isEmpty())
        return failed(QStringLiteral("-0 is for the --files-from list"));
    const bool quiet = parser.isSet(QStringLiteral("quiet"));
    const bool verbose = parser.isSet(QStringLiteral("verbose"));
    if (quiet && verbose)
        return failed(QStringLiteral("-q and -v do not go together"));
    options.verbosity = quiet     ? CliOptions::Verbosity::Quiet
                        : verbose ? CliOptions::Verbosity::Verbose
                                  : CliOptions::Verbosity::Normal;
    options.inputs = parser.positionalArguments();
    if (options.inputs.isEmpty() && options.filesFrom.isEmpty())
        return failed(QStringLiteral("no file or folder given"));
    if (options.inputs.contains(QStringLiteral("-")) &&
        (options.inputs.size() > 1 || !options.filesFrom.isEmpty()))
        return failed(QStringLiteral("'-' (a picture on standard input) must be the only input"));
    if (options.writesStandardOutput() && options.json)
        return failed(QStringLiteral("-o - writes the picture to standard output, where -j would put its "
                                     "records too"));
    if (options.writesStandardOutput() && (options.skipExisting || options.keepTree))
        return failed(QStringLiteral("-o - has no output folder for --skip-existing or --keep-tree"));
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
