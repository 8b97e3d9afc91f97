#pragma once

#include "base/problem.h"

#include <QByteArray>
#include <QSize>
#include <QString>

namespace engine {

// What kept an input from being upscaled, as far as the user can act on it.
enum class InputProblem {
    None,
    Missing,       // gone since it was listed
    NoPermission,  // the file may not be read
    NotAnImage,    // no decoder knows it: another kind of file behind an image name
    Damaged,       // a known format whose data does not decode
    PartlyDecoded, // the data stops early (a cut-off download or copy); the rest would be grey
    TooLarge,      // decoding it would need more memory than the decoder may take
};

// The words the completion message gives for a problem: "not a readable image", "damaged image:
// only partly decoded", ...
QString describe(InputProblem problem);

// What decoding may take, in megabytes, when `availableBytes` of memory are free: half of it, so the
// enlarged result still fits, and never less than the 256 MB that any machine can spare.
int decodeLimitMb(quint64 availableBytes);

// Appended to the words of TooLarge: ", it needs 900 MB of memory to decode and 512 MB may be taken".
QString tooLargeDetail(const QSize &declared, int limitMb);

// What enlarging a picture of `declared` pixels by `scale` takes at least, in bytes: the decoded
// picture at `bytesPerPixel` and the result, at 3 bytes a pixel (8 for a deep picture).
qint64 memoryToEnlarge(const QSize &declared, int bytesPerPixel, int scale, bool deep);

// Appended to the words of TooLarge when memory is short: ", it needs 9000 MB of memory to decode
// and enlarge it and 4000 MB are free".
QString memoryShortDetail(qint64 neededBytes, quint64 freeBytes);

// Whether an encoded picture holds all of its data: a JPEG up to its end-of-image marker, a PNG up
// to its closing chunk, a GIF up to its trailer after whole blocks, a TIFF with every field and strip
// of its first page inside the file. Decoders fill what is missing with grey without failing, so a
// cut-off file is found here. Other formats count as complete: their decoders fail on cut-off data.
bool encodedDataComplete(const QByteArray &format, const uchar *data, qint64 size);

// The cause of a failed write in words, from the system's error number of the failing call (errno
// as it was right after it), or the system's own text when the number says nothing: "permission
// denied", "the disk is full", ...
QString writeFailureCause(int systemError, const QString &systemText);

// Whether a write failed for want of space (a full disk or a used-up quota), which may pass.
bool diskFull(int systemError);

// "could not be written: " and the cause.
QString writeFailureReason(int systemError, const QString &systemText);

// Whether new files can be made in a folder, found by creating one exclusively and removing it
// again: permissions, read-only mounts and missing folders all show. CannotWrite with the cause in
// the words of writeFailureCause when they cannot.
Problem folderWriteProblem(const QString &folder);

// Makes a folder with its missing parents and checks that new files can be made in it. When they
// cannot, why not: NotAFolder (a file stands where a folder should be), or CannotWrite with the cause
// in the words of writeFailureCause.
Problem createFolder(const QString &folder);

} // namespace engine
