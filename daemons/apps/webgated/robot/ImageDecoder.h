#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

/// Keeps the camera's last raw frame and turns it into a JPEG file on demand.
/// `setImage` and `getJpeg` may be called from different threads.
class ImageDecoder : public QObject {
    Q_OBJECT
public:
    explicit ImageDecoder(QObject* parent = nullptr);

    /// Stores a frame as received: bytes, size in pixels, bytes per line and format name.
    void setImage(const QByteArray& data, unsigned int width, unsigned int height,
                  unsigned int step, const QString& format);

    /// The last frame as a JPEG file: a "jpg" frame unchanged, an "rgb24" frame encoded;
    /// empty for other formats and for an "rgb24" frame whose size does not match.
    QByteArray getJpeg() const;

private:
    QByteArray encodeRgb24() const;

    mutable QMutex m_frameMutex;
    QByteArray m_data;
    unsigned int m_width = 0;
    unsigned int m_height = 0;
    unsigned int m_step = 0;
    QString m_format;
};
