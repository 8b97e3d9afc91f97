// Feeds arbitrary bytes to the batch's decoding entry, loadInputImage: format detection, the header's
// size check, frame counting, the decoders of every format the program reads (our own HEIF, AVIF and
// JPEG XL plugins among them), the orientation and the cut-off checks of its own parsers. Any refusal
// is fine, a crash is not.
#include "imageformats/imageFormats.h"
#include "workspace/engine/imageInput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>

#include <cstddef>
#include <memory>

namespace {

QString inputPath;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Qt finds its image plugins through the application object.
    static QCoreApplication app(*argc, *argv);
    registerImageFormats();
    // Pictures a few megabytes large at most: the fuzzer's memory limit stays far away.
    QImageReader::setAllocationLimit(16);
    // Without a suffix: the format is found from the bytes, as for a misnamed file.
    inputPath = QDir::temp().filePath(
        QStringLiteral("brivelle-fuzz-image-%1").arg(QCoreApplication::applicationPid()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    {
        QFile file(inputPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            return 0;
    }
    const engine::LoadedImage loaded = engine::loadInputImage(inputPath, 4);
    (void)loaded;
    (void)engine::pngStoresGrey(
        QByteArray(reinterpret_cast<const char *>(data), int(qMin<size_t>(size, 64))));
    return 0;
}
