#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// File names are bytes on Linux, and not every name is UTF-8. Qt decodes names as UTF-8 and turns
// what does not decode into U+FFFD, so such a file can be neither named nor found through Qt. Here
// a name maps to a QString and back without loss: UTF-8 decodes as usual, and each byte that is not
// part of valid UTF-8 becomes a lone low surrogate U+DC80..U+DCFF (the byte plus 0xDC00, the
// "surrogate escape" of Python's os.fsdecode), which no valid UTF-8 decodes to. Such a string works
// everywhere a path is only text (joining, naming, comparing, JSON with "\udcXX"); the functions
// below are the points where it meets the system. A name without escapes takes Qt's ordinary road.
// On Windows names are UTF-16 and these are Qt's own conversions.
namespace NativeName {

QString decode(const QByteArray &bytes);
QByteArray encode(const QString &name);

// Whether the name holds an escaped byte, that Qt's file classes cannot reach.
bool hasEscapes(const QString &name);
// The byte an escape stands for, or -1 for any other character.
int escapedByte(QChar c);

// The arguments of main(), decoded as above.
QStringList arguments(int argc, char **argv);

// The path made absolute against the current folder and cleaned, as text only: QFileInfo's own
// absolute paths lose the escapes.
QString absolute(const QString &path);
// The path of `path` below `folder` ("" for the folder itself), or a null string when it is not inside.
QString relativeTo(const QString &folder, const QString &path);

enum class Kind { Missing, Folder, File, Other };
// What the path names, links followed (Other: a pipe, a device, a socket).
Kind kindOf(const QString &path);
// The size of the regular file the path names, links followed; -1 for anything else.
qint64 fileSize(const QString &path);
// Whether anything, even a dangling link, has this name.
bool exists(const QString &path);
bool isLink(const QString &path);

// A path through which Qt's file classes read the same file: the path itself without escapes,
// otherwise a link with the same last suffix in a folder of this process, removed at exit. Any thread.
QString reachable(const QString &path);

// The names in a folder (not "." and ".."), or an empty list when it cannot be read.
QStringList entries(const QString &folder);

// Renames `from` to `to` unless `to` exists; 0, or the system's error number (EEXIST when taken).
int renameNoReplace(const QString &from, const QString &to);

} // namespace NativeName
