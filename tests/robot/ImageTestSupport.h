#pragma once

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>

#include "E2e.h"
#include "robot/ImageHandler.h"

namespace imagetest {

/// The bytes of a file of the source tree (empty when missing).
inline QByteArray sourceFile(const QString& path) {
    QFile file(testsupport::sourceDir() + QLatin1Char('/') + path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// The bytes of tests/data/image/`name`.
inline QByteArray testData(const QString& name) {
    return sourceFile(QStringLiteral("tests/data/image/") + name);
}

/// A 2 x 2 frame of four colours that share their chroma and differ in brightness, so that
/// JPEG's chroma subsampling keeps every pixel recognisable: rows top to bottom, red first.
inline QByteArray rgb24Frame2x2() {
    const unsigned char pixels[12] = {70,  40,  30,  250, 220, 210,  // top: darkest, lightest
                                      190, 160, 150, 130, 100, 90};  // bottom: light, dark
    return QByteArray(reinterpret_cast<const char*>(pixels), sizeof(pixels));
}

/// An image handler whose last frame can be made older without waiting.
class AgeableImageHandler : public ImageHandler {
public:
    using ImageHandler::ageLastFrame;
};

}  // namespace imagetest
