#pragma once

#include <QString>

// Standard input and output as a picture: "-" as the only input, "-o -" for the one result. The
// engine reads and writes files, so a private folder of this run holds the input's bytes (named
// "stdin" with the suffix of the format they hold, so the result is "stdin.png") and receives the
// result, which is then copied to standard output. The folder and what is in it go when the run
// ends, on a stop signal too (removeStreamFilesNow for the last moment).
class StreamFolder {
public:
    StreamFolder() = default;
    ~StreamFolder();
    StreamFolder(const StreamFolder &) = delete;
    StreamFolder &operator=(const StreamFolder &) = delete;

    // Makes the folder under the system's temporary folder; false with the reason.
    bool create(QString *error);
    const QString &path() const { return folder; }

    // Reads standard input to its end into the folder; the file's path, or empty with the reason
    // (nothing came, or not a picture this program reads).
    QString takeStandardInput(QString *error);

    // The one result the engine will write into the folder for `input` (its first free name there,
    // and the folder is empty): named now, so that a stop signal can remove it.
    void expectResult(const QString &resultPath);

    // Copies the result to standard output and removes it; false with the reason.
    bool sendResult(const QString &resultPath, QString *error);

private:
    void remove();
    QString folder;
};

// Removes the stream folder's files and the folder itself with async-signal-safe calls.
void removeStreamFilesNow();
