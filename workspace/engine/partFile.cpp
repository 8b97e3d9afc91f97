#include "workspace/engine/partFile.h"

#include "base/platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace engine {

namespace {

const QString kPrefix = QStringLiteral(".brivelle-");
const QString kSuffix = QStringLiteral(".part");

// The names of the part files being written, for a signal handler: it may read only lock-free atomics
// and plain memory that no one changes while it is marked ready.
struct Slot {
    std::atomic<bool> claimed{false};
    std::atomic<bool> ready{false};
    char path[4096] = {};
};
std::array<Slot, 16> writing;
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

int registerName(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    for (int i = 0; i < int(writing.size()); ++i) {
        bool expected = false;
        if (!writing[i].claimed.compare_exchange_strong(expected, true))
            continue;
        if (size_t(encoded.size()) >= sizeof writing[i].path) {
            writing[i].claimed = false;
            return -1;
        }
        std::memcpy(writing[i].path, encoded.constData(), size_t(encoded.size()) + 1);
        writing[i].ready = true;
        return i;
    }
    // More writers than slots: their part files are left to the next run's clean-up.
    return -1;
}

void unregisterName(int slot)
{
    if (slot < 0)
        return;
    writing[slot].ready = false;
    writing[slot].claimed = false;
}

} // namespace

PartFile::~PartFile()
{
    unregisterName(slot);
    Platform::unlockFile(lock);
}

int PartFile::create(QFile &file, const QString &folder, const QString &extension)
{
    int systemError = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        file.setFileName(
            folder + QLatin1Char('/') + kPrefix +
            QStringLiteral("%1.").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')) +
            extension + kSuffix);
        errno = 0;
        // Created like any new file (not as a private temporary one), so the result gets the usual
        // permissions.
        const bool opened = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        systemError = errno;
        if (!opened) {
            if (QFileInfo::exists(file.fileName()))
                continue; // the random name was taken
            return systemError ? systemError : EIO;
        }
        // Locked through a descriptor of its own, which stays open while the writer closes the file
        // before renaming it. A clean-up that found the file before the lock may have removed it.
        lock = Platform::lockFile(file.fileName(), true);
        if (lock >= 0 && QFileInfo::exists(file.fileName())) {
            slot = registerName(file.fileName());
            return 0;
        }
        Platform::unlockFile(lock);
        lock = -1;
        file.close();
        file.remove();
    }
    return systemError ? systemError : EEXIST;
}

int removeStalePartFiles(const QString &folder)
{
    int removed = 0;
    const QStringList names = QDir(folder).entryList({kPrefix + QLatin1Char('*') + kSuffix},
                                                     QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = QDir(folder).filePath(name);
        // Held by a running writer: not stale.
        const qintptr lock = Platform::lockFile(path, false);
        if (lock < 0)
            continue;
        // Removed while locked, so a writer that created it meanwhile sees it gone and starts anew.
        if (QFile::remove(path))
            ++removed;
        Platform::unlockFile(lock);
    }
    return removed;
}

void removePartFilesNow()
{
    for (Slot &slot : writing) {
        if (slot.ready.load())
            Platform::removeFileNow(slot.path);
    }
}

} // namespace engine
