#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The pictures named on the command line, in order and each once: a file as it is, a folder walked as
// the application's add-folder walks it (pictures of the listed formats at any depth).
struct InputList {
    QStringList pictures;
    QStringList missing; // arguments that are neither a file nor a folder
    QStringList emptyFolders;
};

InputList collectInputs(const QStringList &arguments);
