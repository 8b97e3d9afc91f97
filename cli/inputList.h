#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// An argument that yields no picture, and why.
struct RefusedInput {
    QString path;
    QString reason;
};

// The pictures named on the command line, in order and each once. One rule decides what is a
// picture, for named files and folder walks alike: a regular file with a listed image suffix (the
// window's rule). Folders are walked as the window's add-folder walks them, leaving out results of
// this program. Nothing here opens a picture, so a pipe or device is refused before it can block.
struct InputList {
    QStringList pictures;
    // Per picture: its folder below the input folder it was found in ("" when named itself), relative
    // and clean whatever the spelling of the input folder, so never outside a folder it is put under.
    QStringList subfolders;
    QList<RefusedInput> refused; // missing, not a regular file, not a picture, a folder without any
    // Pictures named again, or found again by a walk, after they were listed: enlarged once.
    QList<RefusedInput> repeated;
};

InputList collectInputs(const QStringList &arguments);

// The names of a --files-from list: one a line, or each ended by a NUL; empty names are left out.
QStringList splitFileList(const QByteArray &bytes, bool nulSeparated);
