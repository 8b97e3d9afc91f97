#pragma once

#include <QFile>
#include <QMap>
#include <QString>

#include <exiv2/bmffimage.hpp>
#include <exiv2/exiv2.hpp>

// The library hands out std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Key and value of every EXIF, XMP and IPTC entry of a file, and "thumbnail" with the embedded one's
// size; empty when the library cannot read the file.
inline QMap<QString, QString> metadataOf(const QString &path)
{
    QMap<QString, QString> entries;
    Exiv2::enableBMFF(true); // AVIF and JPEG XL
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        for (const auto &entry : image->exifData())
            entries.insert(QString::fromStdString(entry.key()), QString::fromStdString(entry.toString()));
        for (const auto &entry : image->xmpData())
            entries.insert(QString::fromStdString(entry.key()), QString::fromStdString(entry.toString()));
        for (const auto &entry : image->iptcData())
            entries.insert(QString::fromStdString(entry.key()), QString::fromStdString(entry.toString()));
        entries.insert(QStringLiteral("thumbnail"),
                       QString::number(Exiv2::ExifThumbC(image->exifData()).copy().size_));
    } catch (const Exiv2::AnyError &) {
        entries.clear();
    }
    return entries;
}

#pragma GCC diagnostic pop
