#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>

// What the program needs of the operating system. This folder is the only place that knows which
// system it runs on; one implementation per system, chosen by the build.
// Every function reads the system again on each call and may be called from any thread, except
// openAddress, which belongs to the GUI thread.
namespace Platform {

// The folder the installer named, exactly as stored. When nothing is stored, a per-user data
// folder that exists after the call (created on first use), never the root of a drive.
QString installFolder();

// The user's Pictures folder, or an empty string when the system names none.
QString picturesFolder();

// Physical memory available to a new allocation right now, in bytes; 0 when unknown.
quint64 availablePhysicalMemory();

// The processors this process may keep busy: those its affinity allows, and no more than its
// control group's CPU quota (a container limited to 2 processors on a 64-core machine gets 2). At
// least 1.
int usableProcessors();

// An exclusive lock on a file that other processes can test for, held until unlockFile or until the
// process ends, however it ends (the system drops it then). A handle, or -1 when the file cannot be
// opened or, with wait false, another process holds the lock.
qintptr lockFile(const QString &path, bool wait);
void unlockFile(qintptr handle);

// Removes a file, or an empty folder, by its name as the system encodes it; safe in a signal handler.
void removeFileNow(const char *encodedPath);
void removeEmptyFolderNow(const char *encodedPath);

// The system the program runs on, as the about box names it: "Windows 11", "Linux".
QString systemName();

// Hands an address to the default browser. Returns whether the system took it.
bool openAddress(const QUrl &url);

} // namespace Platform
