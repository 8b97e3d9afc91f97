#pragma once

#include <QFile>
#include <QString>

namespace engine {

// A result being encoded under a hidden name in its folder, ".brivelle-<random>.<extension>.part",
// until it is renamed into place. While it exists its process holds a lock on it, so another run can
// tell a part file that is still being written from one that a killed process left behind, and the
// name is registered so that a process stopped at once can remove it on its way out.
class PartFile {
public:
    PartFile() = default;
    ~PartFile(); // unlocks; the file itself is renamed or removed by its writer before
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Creates a new part file in the folder, opened for writing into `file`. Returns 0, or the
    // system's error number of the failing call.
    int create(QFile &file, const QString &folder, const QString &extension);

private:
    qintptr lock = -1;
    int slot = -1;
};

// Removes the part files in a folder that no running process is writing. Returns how many.
int removeStalePartFiles(const QString &folder);

// Removes every part file this process is writing, at once; safe in a signal handler.
void removePartFilesNow();

} // namespace engine
