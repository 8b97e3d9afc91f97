#pragma once

#include "base/problem.h"

#include <QHash>
#include <QImage>
#include <QString>

namespace engine {

// Every result carries a mark in its PNG text: which input it was made from. Folder walks leave
// marked files alone, so a rerun over a folder that also receives results enlarges only the
// photos, and a resumed run finds what an earlier one already wrote.
void markAsResult(QImage &image, const QString &inputPath);

// JPEG, WebP and TIFF keep no picture text: their results carry the image's mark in XMP, written into
// the encoded file at `path`; done too when the image has no mark.
// JPEG XL and AVIF results get it from their encoder, which embeds resultMarkOf(image) in their XMP.
Problem carryMarkInto(const QImage &image, const QString &path);
QString resultMarkOf(const QImage &image);

// Whether a file is a marked result; reads only the file's header.
bool isMarkedResult(const QString &path);

// The marked results in one folder, by the input each was made from.
class ResultIndex {
public:
    explicit ResultIndex(const QString &folder);
    // The result made from this input, or an empty string when there is none.
    QString resultOf(const QString &inputPath) const;

private:
    QHash<QString, QString> bySource;
};

} // namespace engine
