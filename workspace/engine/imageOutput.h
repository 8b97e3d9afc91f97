#pragma once

#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace engine {

// The file format of the results.
struct OutputFormat {
    enum class Kind { Png, Jpeg, Webp };
    Kind kind = Kind::Png;
    int quality = -1; // 1 to 100 for JPEG and WebP; -1 leaves it to the encoder

    QString suffix() const;
    // Whether `quality` means anything for this kind: the lossy ones.
    bool takesQuality() const;
    // Every kind the writer can make, in the order a list of them is shown (PNG first); the window's
    // format list is made from this, so a kind added here appears there too.
    static QList<OutputFormat> offered();
    // "png", "jpg" or "jpeg", "webp", in any letter case; nothing for other names.
    static std::optional<OutputFormat> named(const QString &name, int quality = -1);
};

struct WriteResult {
    QString path; // the file written; empty on failure
    QString error;
    QString note; // written, but something the user should know (metadata that could not be copied)
    bool transient = false; // failed for a reason that may pass (a full disk)
    bool ok() const { return !path.isEmpty(); }
};

struct PictureToWrite {
    QImage image;
    bool grey = false; // store grey (an alpha image with equal colour channels, see Upscaler)
    QString folder;
    QString inputPath; // names the result and lends it its metadata
    OutputFormat format;
    std::function<void(int percent)> progress; // on the writing thread, while the pixels are encoded
};

// Writes the picture under the first free name of outputCandidate(folder, inputPath, k, suffix). It
// is encoded, and given the input's metadata, under a hidden temporary name and renamed into place
// whole, by a rename that never replaces, so a file that appears meanwhile (another program, another
// batch) is never overwritten and a result name never holds half a picture; a failed write removes
// what it left. PNG keeps 16 bits, grey and alpha; JPEG and WebP hold 8 bits, and JPEG, which has no
// alpha, gets the picture composed over white.
WriteResult writeNewPicture(const PictureToWrite &picture);

} // namespace engine
