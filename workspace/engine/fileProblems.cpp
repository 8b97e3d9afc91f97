#include "workspace/engine/fileProblems.h"

#include "workspace/engine/engineText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace engine {

namespace {

quint32 bigEndian32(const uchar *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

// Walks the markers of a JPEG; inside a scan, only stuffed bytes and restart markers may follow 0xFF.
bool jpegComplete(const uchar *data, qint64 size)
{
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8)
        return false;
    qint64 pos = 2;
    while (pos < size) {
        // Stray bytes before a marker are skipped, as the decoder skips them.
        while (pos < size && data[pos] != 0xff)
            ++pos;
        while (pos < size && data[pos] == 0xff)
            ++pos; // fill bytes
        if (pos >= size)
            return false;
        const uchar marker = data[pos++];
        if (marker == 0xd9)
            return true;
        if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01)
            continue; // no length follows
        if (pos + 2 > size)
            return false;
        const qint64 length = qint64(data[pos]) << 8 | data[pos + 1];
        if (length < 2)
            return false;
        pos += length;
        if (marker != 0xda)
            continue;
        // Entropy-coded data of the scan, up to the next real marker.
        while (pos < size) {
            if (data[pos] != 0xff) {
                ++pos;
                continue;
            }
            if (pos + 1 >= size)
                return false;
            const uchar next = data[pos + 1];
            if (next == 0x00 || (next >= 0xd0 && next <= 0xd7))
                pos += 2;
            else if (next == 0xff)
                ++pos;
            else
                break;
        }
    }
    return false;
}

// Walks the chunks of a PNG up to IEND: length, type, data, CRC.
bool pngComplete(const uchar *data, qint64 size)
{
    constexpr qint64 signature = 8;
    qint64 pos = signature;
    while (pos + 12 <= size) {
        const qint64 length = bigEndian32(data + pos);
        if (bigEndian32(data + pos + 4) == 0x49454e44) // "IEND"
            return true;
        pos += 12 + length;
    }
    return false;
}

// Walks the blocks of a GIF: the screen descriptor and its colour table, then extensions and images,
// each a run of sub-blocks closed by an empty one, up to the trailer.
bool gifComplete(const uchar *data, qint64 size)
{
    constexpr qint64 kHeader = 6 + 7;
    if (size < kHeader || std::memcmp(data, "GIF", 3) != 0)
        return false;
    auto colourTable = [](uchar flags) {
        return flags & 0x80 ? qint64(3) << ((flags & 0x07) + 1) : 0;
    };
    qint64 pos = kHeader + colourTable(data[10]);
    // Sub-blocks from pos; false when the data stops inside them.
    auto skipSubBlocks = [&]() {
        while (pos < size) {
            const uchar length = data[pos++];
            if (length == 0)
                return true;
            pos += length;
        }
        return false;
    };
    while (pos < size) {
        const uchar introducer = data[pos++];
        if (introducer == 0x3b)
            return true;
        if (introducer == 0x21) {
            if (++pos > size || !skipSubBlocks()) // the label, then its data
                return false;
        } else if (introducer == 0x2c) {
            constexpr qint64 kDescriptor = 9;
            if (pos + kDescriptor + 1 > size)
                return false;
            pos += kDescriptor + colourTable(data[pos + 8]);
            if (++pos > size || !skipSubBlocks()) // the LZW code size, then the image data
                return false;
        } else {
            return false;
        }
    }
    return false;
}

// Bytes of one value of a TIFF field type.
int valueWidth(qint64 type)
{
    switch (type) {
    case 3: // SHORT
    case 8: // SSHORT
        return 2;
    case 4:  // LONG
    case 9:  // SLONG
    case 11: // FLOAT
    case 13: // IFD
        return 4;
    case 5:  // RATIONAL
    case 10: // SRATIONAL
    case 12: // DOUBLE
        return 8;
    default: // BYTE, ASCII, SBYTE, UNDEFINED and unknown types
        return 1;
    }
}

// The first directory of a TIFF, the one decoded: the values of every field (the colour profile
// among them) and every strip or tile it names must lie inside the file. BigTIFF, which few programs
// write, counts as complete.
bool tiffComplete(const uchar *data, qint64 size)
{
    if (size < 8)
        return false;
    const bool little = data[0] == 'I';
    auto read = [&](qint64 at, int bytes) -> qint64 {
        if (at < 0 || at + bytes > size)
            return -1;
        qint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= qint64(data[at + i]) << (8 * (little ? i : bytes - 1 - i));
        return value;
    };
    if (read(2, 2) == 43)
        return true;
    const qint64 directory = read(4, 4);
    const qint64 entries = read(directory, 2);
    if (entries < 0)
        return false;
    // One field of the directory: where its values are, how many, and their width.
    struct Field {
        qint64 at = -1;
        qint64 count = 0;
        int width = 0;
    };
    Field offsets;
    Field counts;
    for (qint64 i = 0; i < entries; ++i) {
        const qint64 entry = directory + 2 + 12 * i;
        const qint64 tag = read(entry, 2);
        const qint64 type = read(entry + 2, 2);
        if (tag < 0 || type < 0)
            return false;
        Field field;
        field.width = valueWidth(type);
        field.count = read(entry + 4, 4);
        field.at = field.count * field.width <= 4 ? entry + 8 : read(entry + 8, 4);
        if (field.at < 0 || field.at + field.count * field.width > size)
            return false;
        if (tag == 273 || tag == 324)
            offsets = field;
        else if (tag == 279 || tag == 325)
            counts = field;
    }
    if (offsets.at < 0 || counts.at < 0 || offsets.count != counts.count)
        return false;
    for (qint64 i = 0; i < offsets.count; ++i) {
        const qint64 start = read(offsets.at + i * offsets.width, offsets.width);
        const qint64 length = read(counts.at + i * counts.width, counts.width);
        if (start < 0 || length < 0 || start + length > size)
            return false;
    }
    return true;
}

} // namespace

QString describe(InputProblem problem)
{
    switch (problem) {
    case InputProblem::None:
        return QString();
    case InputProblem::Missing:
        return engineText("the file is no longer there");
    case InputProblem::NoPermission:
        return engineText("the file may not be read: permission denied");
    case InputProblem::NotAnImage:
        return engineText("not a readable image");
    case InputProblem::Damaged:
        return engineText("damaged image: it cannot be decoded");
    case InputProblem::PartlyDecoded:
        return engineText("damaged image: only partly decoded");
    case InputProblem::TooLarge:
        return engineText("the image is too large to open");
    }
    return QString();
}

int decodeLimitMb(quint64 availableBytes)
{
    constexpr quint64 kFloorMb = 256;
    // QImageReader takes an int; beyond that the limit is off in practice anyway.
    constexpr quint64 kCeilingMb = 1 << 30;
    return int(std::clamp(availableBytes / 2 / (1024 * 1024), kFloorMb, kCeilingMb));
}

QString tooLargeDetail(const QSize &declared, int limitMb)
{
    if (!declared.isValid() || limitMb <= 0)
        return QString();
    const qint64 neededMb = (qint64(declared.width()) * declared.height() * 4 + (1 << 20) - 1) >> 20;
    return engineText(", it needs %1 MB of memory to decode and %2 MB may be taken now")
        .arg(neededMb)
        .arg(limitMb);
}

qint64 memoryToEnlarge(const QSize &declared, int bytesPerPixel, int scale, bool deep)
{
    if (!declared.isValid())
        return 0;
    const qint64 pixels = qint64(declared.width()) * declared.height();
    return pixels * bytesPerPixel + pixels * scale * scale * (deep ? 8 : 3);
}

QString memoryShortDetail(qint64 neededBytes, quint64 freeBytes)
{
    return engineText(", it needs %1 MB of memory to decode and enlarge it and %2 MB are free")
        .arg((neededBytes + (1 << 20) - 1) >> 20)
        .arg(freeBytes >> 20);
}

bool encodedDataComplete(const QByteArray &format, const uchar *data, qint64 size)
{
    if (format == "gif")
        return gifComplete(data, size);
    if (format == "tiff")
        return tiffComplete(data, size);
    if (format == "jpeg" || format == "jpg")
        return jpegComplete(data, size);
    if (format == "png")
        return pngComplete(data, size);
    return true;
}

QString writeFailureCause(int systemError, const QString &systemText)
{
    switch (systemError) {
    case EACCES:
    case EPERM:
        return engineText("permission denied");
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return engineText("the disk is full");
    case EROFS:
        return engineText("the disk is read-only");
    case EFBIG:
        return engineText("the file would be too large");
    case ENOENT:
    case ENOTDIR:
        return engineText("the folder does not exist");
    case ENAMETOOLONG:
        return engineText("the name is too long");
    default:
        break;
    }
    if (systemText.isEmpty())
        return engineText("unknown error");
    // The system's sentence ("No space left on device") set into ours.
    return systemText.left(1).toLower() + systemText.mid(1);
}

bool diskFull(int systemError)
{
#ifdef EDQUOT
    if (systemError == EDQUOT)
        return true;
#endif
    return systemError == ENOSPC;
}

QString writeFailureReason(int systemError, const QString &systemText)
{
    return engineText("could not be written: %1").arg(writeFailureCause(systemError, systemText));
}

Problem folderWriteProblem(const QString &folder)
{
    if (!QFileInfo(folder).isDir())
        return {Problem::Code::CannotWrite, writeFailureCause(ENOENT, QString())};
    // A hidden name that no result takes; the template makes it new each time.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".brivelle-write-test-XXXXXX")));
    errno = 0;
    if (!probe.open())
        return {Problem::Code::CannotWrite, writeFailureCause(errno, probe.errorString())};
    probe.close();
    if (!probe.remove())
        return {Problem::Code::CannotWrite, writeFailureCause(errno, probe.errorString())};
    return {};
}

Problem createFolder(const QString &folder)
{
    const QString absolute = QFileInfo(folder).absoluteFilePath();
    // The nearest part of the path that exists decides why the rest cannot be made.
    QString existing = absolute;
    while (!QFileInfo::exists(existing) && !QFileInfo(existing).isSymLink() && !QDir(existing).isRoot())
        existing = QFileInfo(existing).absolutePath();
    if (!QFileInfo(existing).isDir())
        return {Problem::Code::NotAFolder,
                engineText("%1 is not a folder").arg(QDir::toNativeSeparators(existing))};
    if (existing != absolute && !QDir().mkpath(absolute)) {
        const Problem problem = folderWriteProblem(existing);
        return problem ? problem : Problem(Problem::Code::CannotWrite, engineText("it cannot be created"));
    }
    return folderWriteProblem(absolute);
}

} // namespace engine
