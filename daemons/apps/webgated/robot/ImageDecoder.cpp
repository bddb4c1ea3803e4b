#include "ImageDecoder.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QMutexLocker>
#include <limits>

ImageDecoder::ImageDecoder(QObject* parent) : QObject(parent) {}

void ImageDecoder::setImage(const QByteArray& data, unsigned int width, unsigned int height,
                            unsigned int step, const QString& format) {
    QMutexLocker locker(&m_frameMutex);
    m_data = data;
    m_width = width;
    m_height = height;
    m_step = step;
    m_format = format;
}

QByteArray ImageDecoder::getJpeg() const {
    QMutexLocker locker(&m_frameMutex);
    if (m_format.contains(QLatin1String("jpg"))) return m_data;
    if (m_format.contains(QLatin1String("rgb24"))) return encodeRgb24();
    return QByteArray();
}

QByteArray ImageDecoder::encodeRgb24() const {
    // Bounded and sized in 64 bits: a wrapped 32-bit product would let a short frame through.
    const quint64 lineBytes = quint64(m_width) * 3;
    if (lineBytes > quint64(std::numeric_limits<int>::max()) ||
        m_height > unsigned(std::numeric_limits<int>::max())) {
        return QByteArray();
    }
    if (m_data.isEmpty() || lineBytes * m_height != quint64(m_data.size())) return QByteArray();

    // Lines are packed (width x 3 bytes each); the frame's step is not used.
    const QImage image(reinterpret_cast<const uchar*>(m_data.constData()), int(m_width),
                       int(m_height), int(lineBytes), QImage::Format_RGB888);
    if (image.isNull()) return QByteArray();

    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpg");
    writer.setQuality(-1);
    if (!writer.write(image)) return QByteArray();
    return jpeg;
}
