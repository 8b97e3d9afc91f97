#include "base/nativeName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace NativeName {

namespace {

constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

#if defined(Q_OS_UNIX)
// The length of the valid UTF-8 sequence at bytes[i], or 0. Overlong forms, encoded surrogates and
// code points above U+10FFFF are not valid: their bytes are escaped one by one.
int sequenceAt(const QByteArray &bytes, qsizetype i, char32_t *code)
{
    const auto byte = [&](qsizetype k) {
        return quint8(bytes.at(k));
    };
    const quint8 lead = byte(i);
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (byte(i + k) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}
#endif

} // namespace

QString decode(const QByteArray &bytes)
{
#if defined(Q_OS_UNIX)
    QString name;
    name.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        char32_t code = 0;
        const int length = sequenceAt(bytes, i, &code);
        if (length == 0) {
            name += QChar(char16_t(0xDC00 + quint8(bytes.at(i))));
            ++i;
            continue;
        }
        const char32_t one[1] = {code};
        name += QString::fromUcs4(one, 1);
        i += length;
    }
    return name;
#else
    return QFile::decodeName(bytes);
#endif
}

QByteArray encode(const QString &name)
{
#if defined(Q_OS_UNIX)
    if (!hasEscapes(name))
        return name.toUtf8();
    QByteArray bytes;
    bytes.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            bytes += QString(name.mid(i, 2)).toUtf8();
            ++i;
        } else if (const int byte = escapedByte(c); byte >= 0) {
            bytes += char(byte);
        } else {
            bytes += QString(c).toUtf8();
        }
    }
    return bytes;
#else
    return QFile::encodeName(name);
#endif
}

int escapedByte(QChar c)
{
    return c.unicode() >= kFirstEscape && c.unicode() <= kLastEscape ? int(c.unicode() - 0xDC00) : -1;
}

bool hasEscapes(const QString &name)
{
    // A pair whose low half lies in the range is a character of its own, not an escape.
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name.at(i).isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
        else if (escapedByte(name.at(i)) >= 0)
            return true;
    }
    return false;
}

QStringList arguments(int argc, char **argv)
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << decode(QByteArray(argv[i]));
    return list;
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path);
}

QString relativeTo(const QString &folder, const QString &path)
{
    const QString top = absolute(folder);
    const QString inside = absolute(path);
    if (inside == top)
        return QLatin1String("");
    const QString prefix = top.endsWith(QLatin1Char('/')) ? top : top + QLatin1Char('/');
    return inside.startsWith(prefix) ? inside.mid(prefix.size()) : QString();
}

qint64 fileSize(const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat info {};
    if (path.isEmpty() || ::stat(encode(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return qint64(info.st_size);
#else
    const QFileInfo info(path);
    return info.isFile() ? info.size() : -1;
#endif
}

Kind kindOf(const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat info {};
    if (path.isEmpty() || ::stat(encode(path).constData(), &info) != 0)
        return Kind::Missing;
    return S_ISDIR(info.st_mode) ? Kind::Folder : S_ISREG(info.st_mode) ? Kind::File : Kind::Other;
#else
    const QFileInfo info(path);
    return !info.exists()  ? Kind::Missing
           : info.isDir()  ? Kind::Folder
           : info.isFile() ? Kind::File
                           : Kind::Other;
#endif
}

bool exists(const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat info {};
    return !path.isEmpty() && ::lstat(encode(path).constData(), &info) == 0;
#else
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
#endif
}

bool isLink(const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat info {};
    return !path.isEmpty() && ::lstat(encode(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
#else
    return QFileInfo(path).isSymLink();
#endif
}

QString reachable(const QString &path)
{
#if defined(Q_OS_UNIX)
    if (!hasEscapes(path))
        return path;
    static std::mutex mutex;
    static std::unique_ptr<QTemporaryDir> links;
    static QHash<QString, QString> made;
    const std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = made.constFind(path); found != made.cend())
        return *found;
    if (!links)
        links = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/brivelle-names-XXXXXX"));
    if (!links->isValid())
        return path;
    // The last suffix is kept: readers pick their format by it.
    const QString name = QFileInfo(path).fileName();
    const QString suffix = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1);
    const bool plain = name.contains(QLatin1Char('.')) && !suffix.isEmpty() && suffix.size() <= 16 &&
                       !hasEscapes(suffix) && !suffix.contains(QLatin1Char('/'));
    const QString link =
        links->filePath(QString::number(made.size()) + (plain ? QLatin1Char('.') + suffix : QString()));
    if (::symlink(encode(absolute(path)).constData(), QFile::encodeName(link).constData()) != 0)
        return path;
    made.insert(path, link);
    return link;
#else
    return path;
#endif
}

QStringList entries(const QString &folder)
{
    QStringList names;
#if defined(Q_OS_UNIX)
    DIR *dir = ::opendir(encode(folder).constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << decode(name);
    }
    ::closedir(dir);
#else
    names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
#endif
    return names;
}

int renameNoReplace(const QString &from, const QString &to)
{
#if defined(Q_OS_UNIX)
    const QByteArray source = encode(from);
    const QByteArray target = encode(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link never replaces either.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    ::unlink(source.constData());
    return 0;
#else
    if (QFileInfo::exists(to))
        return EEXIST;
    return QFile::rename(from, to) ? 0 : EIO;
#endif
}

} // namespace NativeName
