#pragma once

#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <memory>

// A run's account of its inputs in a file of JSON lines: one line per input, appended and flushed
// as the input ends, and a last line when the run ends. A later run with the same file leaves out
// what it records as written while that result is still there at its recorded size, and tries the
// rest again. The file is locked while a run holds it, so two runs never write into one.
class Manifest {
public:
    ~Manifest();

    // Opens FILE (made when missing) and reads what earlier runs recorded. Null, with the reason,
    // when the file cannot be read or written or another run holds it.
    static std::unique_ptr<Manifest> open(const QString &path, QString *error);

    // The result an earlier run recorded as written for `input`, when it is still there with the
    // size it had; empty otherwise.
    QString writtenBefore(const QString &input) const;

    // Appends one line and flushes it; false when the file refuses it (a full disk).
    bool append(const QJsonObject &record);

private:
    struct Written {
        QString output;
        qint64 bytes = -1;
    };
    Manifest() = default;

    QFile file;
    qintptr lock = -1;
    QHash<QString, Written> earlier;
};
